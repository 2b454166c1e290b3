#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

#include <memory>
#include <thread>

#include "RelayNode.h"
#include "RelayProtocol.h"
#include "RelayTestClient.h"
#include "TlsServerConfig.h"
#include "support/TestCertificates.h"

using namespace std::chrono_literals;
using veltrix::backend::RelayLimits;
using veltrix::backend::RelayNode;
using veltrix::test::RelayTestClient;

namespace {

class RelayNodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.isValid());
        certificates_ = veltrix::test::makeTestCertificates(folder_.path().toStdString());
        limits_.joinTimeout = 400ms;
        limits_.partnerWait = 3000ms;
    }

    void start(RelayNode::Admission admission = {}) {
        const auto tls = veltrix::backend::loadServerTls(QString::fromStdString(certificates_.serverCertificate.string()),
                                                         QString::fromStdString(certificates_.serverKey.string()));
        ASSERT_TRUE(tls.has_value());
        node_ = std::make_unique<RelayNode>(*tls, limits_, std::move(admission));
        ASSERT_TRUE(node_->listen(QHostAddress::LocalHost, 0));
    }

    std::unique_ptr<RelayTestClient> joined(const QString& session, const QString& token = "t") {
        auto client = std::make_unique<RelayTestClient>(certificates_.caCertificate);
        EXPECT_TRUE(client->connectTo(node_->port()));
        client->sendJoin(session, token);
        return client;
    }

    QTemporaryDir folder_;
    veltrix::test::TestCertificates certificates_;
    RelayLimits limits_;
    std::unique_ptr<RelayNode> node_;
};

TEST_F(RelayNodeTest, FramesSentBeforeThePartnerJoinsArriveAfterItJoinsInOrderWithoutTheJoin) {
    start();
    auto first = joined("s1");
    first->sendFrame(0, "key-frame request");
    first->sendFrame(1, QByteArray());
    first->sendFrame(1, QByteArray(70000, 'v'));
    veltrix::test::waitUntil([] { return false; }, 200ms);  // the frames reach the node while it is alone

    auto second = joined("s1");
    ASSERT_TRUE(second->waitForFrames(3));
    ASSERT_EQ(second->frames.size(), 3);
    EXPECT_EQ(second->frames[0].channel, 0);
    EXPECT_EQ(second->frames[0].payload, "key-frame request");
    EXPECT_EQ(second->frames[1].channel, 1);
    EXPECT_TRUE(second->frames[1].payload.isEmpty());
    EXPECT_EQ(second->frames[2].payload, QByteArray(70000, 'v'));

    second->sendFrame(1, "picture");
    ASSERT_TRUE(first->waitForFrames(1));
    EXPECT_EQ(first->frames[0].payload, "picture");
    veltrix::test::waitUntil([] { return false; }, 100ms);
    EXPECT_EQ(first->frames.size(), 1) << "the partner's join must not be forwarded";
}

// The burst is larger than the node holds for a lone joiner, so reading from the first client
// pauses while it waits and has to resume when the partner joins.
TEST_F(RelayNodeTest, ABurstOfLargeFramesSentBeforeThePartnerJoinsCrossesIntactAndInOrder) {
    limits_.heldBytesLimit = 4 << 20;
    start();
    auto a = joined("big");
    QByteArray largest(int(veltrix::backend::relay::kMaxPayload), '\0');
    for (int i = 0; i < largest.size(); i += 4093) largest[i] = char(i / 4093);
    for (int i = 0; i < 6; ++i) a->sendFrame(1, QByteArray(1 << 20, char('a' + i)));
    a->sendFrame(1, largest);
    auto b = joined("big");
    b->sendFrame(0, "back");
    ASSERT_TRUE(b->waitForFrames(7, 30s)) << b->frames.size() << " frames arrived";
    for (int i = 0; i < 6; ++i) EXPECT_EQ(b->frames[i].payload, QByteArray(1 << 20, char('a' + i)));
    EXPECT_EQ(b->frames[6].payload, largest);
    ASSERT_TRUE(a->waitForFrames(1));
    EXPECT_EQ(a->frames[0].payload, "back");
}

// The node's event loop is stuck past a connection's join deadline (here: a handler that sleeps),
// and the join reaches the socket just before the expired deadline is handled: the node must read
// the join that is there instead of closing the connection as silent.
TEST_F(RelayNodeTest, AJoinThatArrivedWhileTheNodeWasBusyIsNotTakenForSilence) {
    start();
    RelayTestClient a(certificates_.caCertificate);
    ASSERT_TRUE(a.connectTo(node_->port()));
    veltrix::test::waitUntil([] { return false; }, 100ms);  // the node accepts and starts the deadline

    int wake[2];
    ASSERT_EQ(::pipe(wake), 0);
    QSocketNotifier woken(wake[0], QSocketNotifier::Read);
    bool sent = false;
    QObject::connect(&woken, &QSocketNotifier::activated, [&] {
        woken.setEnabled(false);
        a.sendJoin("busy", "t");
        a.flush();
        sent = true;
    });
    QTimer::singleShot(0, [&] {
        ASSERT_EQ(::write(wake[1], "x", 1), 1);
        std::this_thread::sleep_for(limits_.joinTimeout + 200ms);
    });
    veltrix::test::waitUntil([&] { return sent; });
    ::close(wake[0]);
    ::close(wake[1]);

    auto b = joined("busy");
    a.sendFrame(0, "still here");
    ASSERT_TRUE(b->waitForFrames(1, 5s));
    EXPECT_EQ(b->frames[0].payload, "still here");
    EXPECT_TRUE(a.isOpen());
}

struct BadHeader {
    const char* name;
    QByteArray bytes;
};

TEST_F(RelayNodeTest, ABadFrameHeaderClosesTheSenderAndItsPartner) {
    const BadHeader cases[] = {
        {"channel 2", QByteArray::fromHex("0200000001") + "x"},
        {"length 16 MiB + 1", QByteArray::fromHex("0101000001")},
        {"length 0xffffffff", QByteArray::fromHex("00ffffffff")},
    };
    start();
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.name);
        const QString session = QString("bad-") + bad.name;
        auto a = joined(session);
        auto b = joined(session);
        a->sendFrame(0, "fine");
        ASSERT_TRUE(b->waitForFrames(1));
        a->sendRaw(bad.bytes);
        EXPECT_TRUE(a->waitForClose(5s));
        EXPECT_TRUE(b->waitForClose(5s));
        EXPECT_EQ(b->frames.size(), 1) << "no part of the bad frame is forwarded";
    }
}

TEST_F(RelayNodeTest, ConnectionsWithoutAValidJoinAreClosed) {
    start();
    RelayTestClient silent(certificates_.caCertificate);
    ASSERT_TRUE(silent.connectTo(node_->port()));
    EXPECT_TRUE(silent.waitForClose(3s));

    const QByteArray notJoins[] = {"{}", "not json", R"({"type":"relay_join"})", R"({"type":"hello","session_id":"s"})",
                                   R"({"type":"relay_join","session_id":7})", R"({"type":"relay_join","session_id":"s","relay_token":1})"};
    for (const auto& payload : notJoins) {
        SCOPED_TRACE(payload.toStdString());
        RelayTestClient client(certificates_.caCertificate);
        ASSERT_TRUE(client.connectTo(node_->port()));
        client.sendFrame(0, payload);
        EXPECT_TRUE(client.waitForClose(3s));
    }
    RelayTestClient videoFirst(certificates_.caCertificate);
    ASSERT_TRUE(videoFirst.connectTo(node_->port()));
    videoFirst.sendFrame(1, R"({"relay_token":"t","session_id":"s","type":"relay_join"})");
    EXPECT_TRUE(videoFirst.waitForClose(3s));
}

TEST_F(RelayNodeTest, WhenOneSideLeavesThePartnerIsClosedAfterItsQueuedFrames) {
    start();
    auto a = joined("drop");
    auto b = joined("drop");
    a->sendFrame(1, "last words");
    ASSERT_TRUE(b->waitForFrames(1));
    a->close();
    EXPECT_TRUE(b->waitForClose(5s));
    EXPECT_EQ(b->frames[0].payload, "last words");

    // The session can be joined again afterwards (the devices reconnect and join anew).
    auto c = joined("drop");
    auto d = joined("drop");
    c->sendFrame(0, "again");
    ASSERT_TRUE(d->waitForFrames(1));
}

TEST_F(RelayNodeTest, RefusedTokensAndThirdJoinersAreClosed) {
    start([](const QString& session, const QString& token) { return token == "good-" + session; });
    auto wrong = joined("s", "guess");
    EXPECT_TRUE(wrong->waitForClose(3s));

    auto a = joined("s", "good-s");
    auto b = joined("s", "good-s");
    a->sendFrame(0, "hi");
    ASSERT_TRUE(b->waitForFrames(1));
    auto third = joined("s", "good-s");
    EXPECT_TRUE(third->waitForClose(3s));
    EXPECT_TRUE(a->isOpen());
    EXPECT_TRUE(b->isOpen());
}

TEST_F(RelayNodeTest, ALoneJoinerIsClosedWhenThePartnerWaitEnds) {
    limits_.partnerWait = 500ms;
    start();
    auto lone = joined("alone");
    veltrix::test::waitUntil([] { return false; }, 300ms);
    EXPECT_TRUE(lone->isOpen());
    EXPECT_TRUE(lone->waitForClose(3s));
}

}  // namespace

