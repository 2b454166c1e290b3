#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QtEndian>

#include "core/ClipboardSharing.h"
#include "support/LogCapture.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;

namespace veltrix {
namespace {

QByteArray clipboardMessage(const QByteArray& text, std::uint8_t tag = 0x04, std::optional<std::uint32_t> length = {}) {
    QByteArray message(5, '\0');
    message[0] = char(tag);
    qToLittleEndian(length.value_or(std::uint32_t(text.size())), message.data() + 1);
    return message + text;
}

class ClipboardSharingTest : public ::testing::Test {
protected:
    QClipboard* clipboard = QGuiApplication::clipboard();
    ClipboardSharing sharing;
    QList<QByteArray> sent;
    test::LogCapture logs;

    void SetUp() override {
        clipboard->setText("before");
        QObject::connect(&sharing, &ClipboardSharing::clipboardDataReady, [this](const QByteArray& m) { sent << m; });
        sharing.start();
        ASSERT_TRUE(sharing.isActive());
    }
};

TEST_F(ClipboardSharingTest, LocalChangesAreSentAndTheRemoteTextIsAppliedWithoutEcho) {
    clipboard->setText(QString::fromUtf8("copied \xC3\xA9"));
    ASSERT_TRUE(test::waitUntil([&] { return sent.size() == 1; }, 5s));
    EXPECT_EQ(sent[0], clipboardMessage("copied \xC3\xA9"));

    sharing.onRemoteClipboardData(clipboardMessage("from the partner"));
    test::runEventsFor(100ms);
    EXPECT_EQ(clipboard->text(), "from the partner");
    EXPECT_EQ(sent.size(), 1) << "the partner's text is not sent back";
    EXPECT_TRUE(logs.contains("ClipboardSharing: ignoring self-triggered clipboard change"));

    clipboard->setText("next copy");
    ASSERT_TRUE(test::waitUntil([&] { return sent.size() == 2; }, 5s)) << "only one change was swallowed";
    EXPECT_EQ(sent[1], clipboardMessage("next copy"));

    sharing.stop();
    clipboard->setText("after stop");
    test::runEventsFor(100ms);
    EXPECT_EQ(sent.size(), 2);
}

TEST_F(ClipboardSharingTest, RemoteTextAppliedWhileStoppedDoesNotSwallowTheFirstCopyAfterStart) {
    sharing.stop();
    sharing.onRemoteClipboardData(clipboardMessage("while stopped"));
    EXPECT_EQ(clipboard->text(), "while stopped");
    sharing.start();
    clipboard->setText("the user's copy");
    ASSERT_TRUE(test::waitUntil([&] { return sent.size() == 1; }, 5s));
    EXPECT_EQ(sent[0], clipboardMessage("the user's copy"));
}

TEST_F(ClipboardSharingTest, TenMebibytesPassAndOneByteMoreIsSkipped) {
    const QByteArray largest(10485760, 'x');
    clipboard->setText(QString::fromLatin1(largest));
    ASSERT_TRUE(test::waitUntil([&] { return sent.size() == 1; }, 10s));
    EXPECT_EQ(sent[0].size(), 5 + 10485760);
    clipboard->setText(QString::fromLatin1(largest + "y"));
    test::runEventsFor(200ms);
    EXPECT_EQ(sent.size(), 1);
    EXPECT_TRUE(logs.contains("local clipboard text too large (10485761 bytes, max 10485760 bytes) — skipping"));

    sharing.onRemoteClipboardData(clipboardMessage(largest));
    EXPECT_EQ(clipboard->text().size(), 10485760);
    sharing.onRemoteClipboardData(clipboardMessage("y", 0x04, 10485761));
    EXPECT_TRUE(logs.contains("remote clipboard text too large (10485761 bytes, max 10485760 bytes) — ignoring"));
}

TEST_F(ClipboardSharingTest, MalformedRemoteMessagesAreDroppedWithTheirWarning) {
    struct Case {
        QByteArray message;
        const char* warning;
    };
    const Case cases[] = {
        {QByteArray("\x04\x00\x00", 3), "received message too small (3 bytes, minimum 5)"},
        {clipboardMessage("text", 0x05), "unexpected message type tag 0x05, expected 0x04"},
        {clipboardMessage("abc", 0x04, 4), "message truncated — expected 9 bytes, got 8"},
        {clipboardMessage({}), "received empty clipboard text — ignoring"},
    };
    for (const Case& c : cases) {
        logs.clear();
        sharing.onRemoteClipboardData(c.message);
        EXPECT_EQ(clipboard->text(), "before");
        EXPECT_TRUE(logs.contains(c.warning)) << c.warning;
    }
    test::runEventsFor(50ms);
    EXPECT_TRUE(sent.isEmpty());
}

}  // namespace
}  // namespace veltrix
