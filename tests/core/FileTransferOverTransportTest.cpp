// Chat and file transfer between two session ends over real transports on loopback: two
// RelayTransports meeting at the local backend's relay node (started by scripts/backend), and two
// P2PTransports, each end sealing its control messages with the session cipher.
#include <gtest/gtest.h>

#include <QDateTime>

#include <filesystem>
#include <memory>

#include "FileTransferTestSupport.h"
#include "support/LoopbackP2PPair.h"
#include "support/RunningBackend.h"
#include "support/SessionServicesEnd.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"
#include "transport/P2PTransport.h"
#include "transport/RelayTransport.h"

using namespace std::chrono_literals;

namespace veltrix {
namespace {
namespace fs = std::filesystem;

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

class FileTransferOverTransportTest : public ::testing::TestWithParam<const char*> {
protected:
    test::TempInstanceRoot root;
    std::unique_ptr<test::RunningBackend> backend;
    std::unique_ptr<ITransport> masterTransport, targetTransport;
    std::unique_ptr<test::SessionServicesEnd> master, target;
    test::TransferRecord masterRecord;
    fs::path served, saved;

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root (the transfers run as the user nobody)";
        const test::TransferFolders folders(root.path());
        served = folders.served;
        saved = folders.saved;
        if (std::string(GetParam()) == "relay") connectThroughRelay();
        else connectPeerToPeer();
        if (HasFatalFailure()) return;
        master = std::make_unique<test::SessionServicesEnd>(*masterTransport, SessionRole::Master);
        target = std::make_unique<test::SessionServicesEnd>(*targetTransport, SessionRole::Target);
        masterRecord.attach(master->files);
    }

    void connectThroughRelay() {
        backend = std::make_unique<test::RunningBackend>(QStringList{"--no-turn", "--instance", q(root.path()), "--",
                                                                     "--relay-any-token"});
        ASSERT_TRUE(backend->start()) << backend->output().toStdString();
        for (auto* transport : {&masterTransport, &targetTransport}) {
            auto relay = std::make_unique<RelayTransport>();
            relay->setSessionId("file-transfer-test");
            *transport = std::move(relay);
        }
        masterTransport->connect("127.0.0.1", backend->relayPort());
        targetTransport->connect("127.0.0.1", backend->relayPort());
        ASSERT_TRUE(test::waitUntil([&] { return masterTransport->isConnected() && targetTransport->isConnected(); }, 45s));
    }

    void connectPeerToPeer() {
        std::ofstream(root.path() / "instance.ini", std::ios::app) << "[stun]\nhost=\n\n[p2p]\nlocalAddresses=127.0.0.1\n";
        auto offerer = std::make_unique<P2PTransport>();
        auto answerer = std::make_unique<P2PTransport>();
        // Both ends share the test's thread, which also writes and hashes the 100 MiB files: a
        // peer that is silent for a few seconds is not gone here.
        for (P2PTransport* end : {offerer.get(), answerer.get()}) end->setLiveness({1000ms, 30000ms});
        ASSERT_TRUE(test::connectLoopbackP2PPair(*offerer, *answerer, 45s));
        masterTransport = std::move(offerer);
        targetTransport = std::move(answerer);
    }
};

TEST_P(FileTransferOverTransportTest, ChatCrossesBothWays) {
    QStringList atMaster, atTarget;
    QObject::connect(&master->chat, &ChatService::messageReceived, [&](const QString& t) { atMaster << t; });
    QObject::connect(&target->chat, &ChatService::messageReceived, [&](const QString& t) { atTarget << t; });
    ASSERT_TRUE(master->chat.sendMessage("hello target"));
    ASSERT_TRUE(target->chat.sendMessage(QString(70000, 'x')));
    ASSERT_TRUE(test::waitUntil([&] { return atMaster.size() == 1 && atTarget.size() == 1; }, 20s));
    EXPECT_EQ(atTarget[0], "hello target");
    EXPECT_EQ(atMaster[0], QString(65535, 'x'));
}

TEST_P(FileTransferOverTransportTest, FilesOfEverySizeCrossBothWaysWithEqualDigests) {
    for (const std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(65537), std::size_t(100) << 20}) {
        SCOPED_TRACE(size);
        const QByteArray content = test::patternBytes(size, std::uint32_t(size) + 3);
        const fs::path remote = served / ("file-" + std::to_string(size));
        test::writeFile(remote, content);
        const fs::path local = saved / ("down-" + std::to_string(size));
        masterRecord.downloadsComplete.clear();
        master->files.requestDownload(q(remote), q(local));
        ASSERT_TRUE(test::waitUntil([&] { return !masterRecord.downloadsComplete.isEmpty() || !masterRecord.errors.isEmpty(); }, 60s));
        ASSERT_TRUE(masterRecord.errors.isEmpty()) << masterRecord.errors.join("; ").toStdString();
        const QByteArray digest = test::sha256(content);
        EXPECT_EQ(test::sha256(test::readFile(local)), digest);

        const fs::path uploaded = served / ("up-" + std::to_string(size));
        master->files.sendFile(q(local), q(uploaded));
        ASSERT_EQ(masterRecord.uploadsComplete, 1) << masterRecord.errors.join("; ").toStdString();
        masterRecord.uploadsComplete = 0;
        ASSERT_TRUE(test::waitUntil([&] { return fs::exists(uploaded); }, 60s));
        EXPECT_EQ(test::sha256(test::readFile(uploaded)), digest);
        fs::remove(remote), fs::remove(local), fs::remove(uploaded);
    }
}

TEST_P(FileTransferOverTransportTest, ASessionDroppedMidDownloadLeavesNoFileAndReportsTheFailure) {
    const fs::path remote = served / "large";
    test::writeFile(remote, test::patternBytes(64u << 20));
    const fs::path local = saved / "large";
    int percent = 0;
    QObject::connect(&master->files, &FileTransferService::fileDownloadProgress, [&](const QString&, int p) { percent = p; });
    master->files.requestDownload(q(remote), q(local));
    ASSERT_TRUE(test::waitUntil([&] { return percent >= 5; }, 30s));
    // The partner's service goes away; the session manager sees its transport drop and ends the session.
    target.reset();
    targetTransport->disconnect();
    targetTransport.reset();
    master->files.endSession();
    test::runEventsFor(200ms);
    EXPECT_EQ(masterRecord.errors, QStringList{"Download of " + q(remote) + " failed: the session ended"});
    EXPECT_TRUE(masterRecord.downloadsComplete.isEmpty());
    EXPECT_FALSE(fs::exists(local));
    EXPECT_TRUE(fs::is_empty(saved)) << "no temporary file is left either";
}

INSTANTIATE_TEST_SUITE_P(Transports, FileTransferOverTransportTest, ::testing::Values("relay", "p2p"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace veltrix
