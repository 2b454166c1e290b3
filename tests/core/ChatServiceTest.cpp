#include <gtest/gtest.h>

#include <QtEndian>

#include "core/ChatService.h"
#include "support/LogCapture.h"

namespace veltrix {
namespace {

QByteArray payload(std::uint16_t length, const QByteArray& text, std::uint64_t timestamp = 1700000000123) {
    QByteArray bytes(10, '\0');
    qToLittleEndian(timestamp, bytes.data());
    qToLittleEndian(length, bytes.data() + 8);
    return bytes + text;
}

struct Received {
    QStringList texts;
    QList<QDateTime> times;
};

void feed(ChatService& chat, const QByteArray& bytes) {
    chat.handleMessage(reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()));
}

TEST(ChatService, ReceivedPayloadsAreDecodedOrDroppedWithTheirWarning) {
    struct Case {
        const char* name;
        QByteArray bytes;
        std::optional<QString> text;
        const char* warning;
    };
    const Case cases[] = {
        {"ten bytes, length 0", payload(0, {}), QString(), nullptr},
        {"nine bytes", payload(0, {}).left(9), std::nullopt, "ChatService: message too short (9 bytes)"},
        {"length 5, four text bytes", payload(5, "abcd"), std::nullopt, "ChatService: message truncated (expected 10 + 5 bytes)"},
        {"text with trailing bytes", payload(2, "hi there"), QString("hi"), nullptr},
        {"UTF-8", payload(6, "gr\xC3\xBC\xC3\x9F"), QString::fromUtf8("gr\xC3\xBC\xC3\x9F"), nullptr},
        {"empty", {}, std::nullopt, "ChatService: message too short (0 bytes)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture logs;
        ChatService chat([](const QByteArray&) { return true; });
        Received got;
        QObject::connect(&chat, &ChatService::messageReceived, [&](const QString& t, const QDateTime& when) {
            got.texts << t;
            got.times << when;
        });
        feed(chat, c.bytes);
        if (c.text) {
            ASSERT_EQ(got.texts.size(), 1);
            EXPECT_EQ(got.texts[0], *c.text);
            EXPECT_EQ(got.times[0].toMSecsSinceEpoch(), 1700000000123);
        } else {
            EXPECT_TRUE(got.texts.isEmpty());
        }
        if (c.warning) {
            EXPECT_TRUE(logs.contains(c.warning)) << (logs.lines().empty() ? "" : logs.lines()[0]);
        }
    }
}

TEST(ChatService, LongTextIsCutAt65535BytesOnACharacterBoundary) {
    struct Case {
        QString text;
        qsizetype bytes;
    };
    const Case cases[] = {
        {QString(70000, 'a'), 65535},
        {QString(65535, 'a'), 65535},
        // 65534 ASCII bytes then a two-byte character: keeping it would need 65536 bytes.
        {QString(65534, 'a') + QChar(0xFC), 65534},
        // Three-byte characters: 21845 of them fill exactly 65535 bytes.
        {QString(30000, QChar(0x20AC)), 65535},
    };
    for (const Case& c : cases) {
        const QByteArray sent = ChatService::encode(c.text, QDateTime::fromMSecsSinceEpoch(42));
        EXPECT_EQ(sent.size(), 10 + c.bytes);
        EXPECT_EQ(qFromLittleEndian<std::uint16_t>(sent.constData() + 8), c.bytes);
        EXPECT_EQ(qFromLittleEndian<std::uint64_t>(sent.constData()), 42u);
        const QByteArray text = sent.mid(10);
        EXPECT_TRUE(c.text.toUtf8().startsWith(text));
        EXPECT_EQ(QString::fromUtf8(text).toUtf8(), text) << "the cut leaves valid UTF-8";
    }
}

TEST(ChatService, TwoServicesBackToBackChatBothWays) {
    ChatService* a = nullptr;
    ChatService* b = nullptr;
    const auto deliverTo = [](ChatService*& to) {
        return [&to](const QByteArray& m) {
            feed(*to, m);
            return true;
        };
    };
    ChatService first(deliverTo(b)), second(deliverTo(a));
    a = &first;
    b = &second;
    QStringList atA, atB;
    QObject::connect(a, &ChatService::messageReceived, [&](const QString& t) { atA << t; });
    QObject::connect(b, &ChatService::messageReceived, [&](const QString& t) { atB << t; });
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    QDateTime when;
    QObject::connect(b, &ChatService::messageReceived, [&](const QString&, const QDateTime& t) { when = t; });
    EXPECT_TRUE(a->sendMessage("hello"));
    EXPECT_TRUE(b->sendMessage(QString::fromUtf8("hej \xF0\x9F\x98\x80")));
    EXPECT_EQ(atB, QStringList{"hello"});
    EXPECT_EQ(atA, QStringList{QString::fromUtf8("hej \xF0\x9F\x98\x80")});
    EXPECT_GE(when.toMSecsSinceEpoch(), before);
    EXPECT_LE(when.toMSecsSinceEpoch(), QDateTime::currentMSecsSinceEpoch());

    ChatService unsent([](const QByteArray&) { return false; });
    EXPECT_FALSE(unsent.sendMessage("lost")) << "a failed send is reported";
}

}  // namespace
}  // namespace veltrix
