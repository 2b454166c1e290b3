// The peer-to-peer transport against an independent WebRTC implementation: Debian's aiortc,
// driven by tests/transport/aiortc_peer.py in a child process. The test relays descriptions and
// candidates between the two, as signaling would.
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"
#include "transport/P2PTestSupport.h"
#include "transport/P2PTransport.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <iostream>
#include <vector>

using namespace std::chrono_literals;

namespace veltrix {
namespace {

using test::patternMessage;
using test::Received;
using test::sendBytes;
using test::waitUntil;

constexpr const char* kPython = "/usr/bin/python3";  // Debian's, which has python3-aiortc
constexpr std::uint64_t kAiortcMaxMessageSize = 65536;  // what aiortc's descriptions announce

QString sha256(const QByteArray& data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

// The aiortc peer process and its line protocol.
class AiortcPeer {
public:
    explicit AiortcPeer(const char* role) {
        process_.setProcessChannelMode(QProcess::SeparateChannels);
        QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] {
            while (process_.canReadLine()) {
                const QJsonDocument line = QJsonDocument::fromJson(process_.readLine());
                if (line.isObject()) events_.push_back(line.object());
            }
        });
        process_.start(kPython, {QString(VELTRIX_TEST_SOURCE_DIR) + "/tests/transport/aiortc_peer.py", role});
    }
    ~AiortcPeer() {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(3000)) {
            process_.kill();
            process_.waitForFinished(3000);
        }
    }

    bool started() { return process_.waitForStarted(5000); }
    void command(const QJsonObject& object) { process_.write(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n'); }
    std::vector<QJsonObject> events(const QString& type) const {
        std::vector<QJsonObject> found;
        for (const QJsonObject& event : events_)
            if (event["type"].toString() == type) found.push_back(event);
        return found;
    }
    QString errors() { return QString::fromUtf8(process_.readAllStandardError()); }

private:
    QProcess process_;
    std::vector<QJsonObject> events_;
};

class AiortcInteropTest : public ::testing::Test {
protected:
    void SetUp() override { test::writeLoopbackP2PConfig(root_.path()); }

    // Connects our transport (offerer or answerer) with an aiortc peer in the other role.
    void connect(bool weOffer) {
        peer_ = std::make_unique<AiortcPeer>(weOffer ? "answer" : "offer");
        ASSERT_TRUE(peer_->started()) << "cannot run " << kPython;
        got_.attach(ours_);
        QObject::connect(&ours_, &IP2PTransport::localDescriptionReady, [this](const QString& sdp, const QString& type) {
            peer_->command({{"type", type}, {"sdp", sdp}});
        });
        QObject::connect(&ours_, &IP2PTransport::localCandidateReady, [this](const QString& candidate, const QString& mid) {
            peer_->command({{"type", "candidate"}, {"candidate", candidate}, {"mid", mid}});
        });
        bool described = false;
        if (weOffer) {
            ours_.startAsOfferer();
        } else {
            ours_.startAsAnswerer();
        }
        const auto up = [&] {
            // aiortc puts its candidates in its description: nothing else to relay.
            const auto descriptions = peer_->events(weOffer ? "answer" : "offer");
            if (!described && !descriptions.empty()) {
                described = true;
                ours_.setRemoteDescription(descriptions.front()["sdp"].toString(), weOffer ? "answer" : "offer");
            }
            return ours_.isConnected() && peer_->events("open").size() == 2;
        };
        const bool connected = waitUntil(up, 30s);
        if (!connected) {
            for (const std::string& line : log_.lines()) std::cerr << "  log: " << line << '\n';
            std::cerr << "  aiortc: " << peer_->errors().toStdString() << '\n';
        }
        ASSERT_TRUE(connected);
    }

    // Our messages reach aiortc's application whole and in order, and nothing else does; aiortc's
    // messages reach ours likewise, and its text messages are ignored.
    void exchange() {
        // Both channels as the offerer opened them: ordered and reliable, no subprotocol.
        for (const QJsonObject& open : peer_->events("open")) {
            EXPECT_TRUE(open["ordered"].toBool()) << open["channel"].toString().toStdString();
            EXPECT_TRUE(open["maxRetransmits"].isNull());
            EXPECT_TRUE(open["maxPacketLifeTime"].isNull());
            EXPECT_EQ(open["protocol"].toString(), "");
        }

        struct Sent {
            QString channel;
            QString digest;
            qint64 size;
        };
        std::vector<Sent> expected;
        std::uint32_t seed = 0;
        for (const ChannelType channel : {ChannelType::Control, ChannelType::Video}) {
            const QString label = channel == ChannelType::Control ? "control" : "video";
            for (const std::size_t size : {std::size_t{1}, std::size_t{0}, std::size_t{64 * 1024}}) {
                const QByteArray message = patternMessage(size, seed++);
                ASSERT_TRUE(sendBytes(ours_, channel, message)) << size;
                expected.push_back({label, sha256(message), message.size()});
            }
            // Above what aiortc announces it takes: refused here, never sent.
            for (const std::size_t size : {std::size_t{kAiortcMaxMessageSize + 1}, std::size_t{1024 * 1024}})
                EXPECT_FALSE(sendBytes(ours_, channel, patternMessage(size, seed++))) << size;
        }
        EXPECT_TRUE(log_.contains("P2PTransport::send failed: message of 65537 bytes exceeds the peer's limit of 65536"));

        struct Order {
            const char* channel;
            int size;
            bool text;
        };
        const std::vector<Order> theirs = {
            {"control", 1, false},       {"control", 64 * 1024, false}, {"control", 1024 * 1024, false},
            {"control", 4, true},        {"control", 0, false},         {"video", 1, false},
            {"video", 64 * 1024, false}, {"video", 0, true},            {"video", 1024 * 1024, false},
            {"video", 16 * 1024 * 1024, false},
        };
        int theirSeed = 100;
        for (const Order& order : theirs)
            peer_->command({{"type", "send"}, {"channel", order.channel}, {"size", order.size}, {"seed", theirSeed++},
                            {"text", order.text}});

        ASSERT_TRUE(waitUntil([&] { return peer_->events("message").size() >= expected.size(); }, 20s));
        ASSERT_TRUE(waitUntil([&] { return got_.control.size() == 4 && got_.video.size() == 4; }, 30s));
        test::runEventsFor(1500ms);  // room for anything else to show up

        const auto delivered = peer_->events("message");
        ASSERT_EQ(delivered.size(), expected.size());
        for (const QString label : {"control", "video"}) {
            std::vector<Sent> want;
            std::vector<QJsonObject> have;
            for (const Sent& sent : expected)
                if (sent.channel == label) want.push_back(sent);
            for (const QJsonObject& message : delivered)
                if (message["channel"].toString() == label) have.push_back(message);
            ASSERT_EQ(have.size(), want.size()) << label.toStdString();
            for (std::size_t i = 0; i < want.size(); ++i) {
                EXPECT_TRUE(have[i]["binary"].toBool());
                EXPECT_EQ(have[i]["size"].toInteger(), want[i].size);
                EXPECT_EQ(have[i]["sha256"].toString(), want[i].digest) << label.toStdString() << " message " << i;
            }
        }

        std::vector<QJsonObject> binarySent;
        for (const QJsonObject& sent : peer_->events("sent"))
            if (!sent["text"].toBool()) binarySent.push_back(sent);
        ASSERT_EQ(binarySent.size(), 8u);
        std::size_t control = 0;
        std::size_t video = 0;
        for (const QJsonObject& sent : binarySent) {
            const bool onControl = sent["channel"].toString() == "control";
            const QByteArray& message = onControl ? got_.control[control++] : got_.video[video++];
            EXPECT_EQ(message.size(), sent["size"].toInteger());
            EXPECT_EQ(sha256(message), sent["sha256"].toString());
        }
        EXPECT_TRUE(ours_.isConnected());
    }

    test::TempInstanceRoot root_;
    test::LogCapture log_;
    P2PTransport ours_;
    Received got_;
    std::unique_ptr<AiortcPeer> peer_;
};

TEST_F(AiortcInteropTest, OurOffererWithTheirAnswerer) {
    connect(true);
    exchange();
    // Our side closes: aiortc's channels close.
    ours_.disconnect();
    EXPECT_TRUE(waitUntil([&] { return peer_->events("channel-closed").size() == 2; }, 10s));
}

TEST_F(AiortcInteropTest, TheirOffererWithOurAnswerer) {
    connect(false);
    EXPECT_TRUE(log_.contains("P2PTransport: 'control' data channel open (answerer)"));
    exchange();
    // Their side closes: ours reports it.
    peer_->command({{"type", "close"}});
    EXPECT_TRUE(waitUntil([&] { return got_.disconnectedCount == 1; }, 10s));
    EXPECT_FALSE(ours_.isConnected());
}

}  // namespace
}  // namespace veltrix
