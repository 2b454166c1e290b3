// A session manager against a partner played by the test through a transport it drives by hand:
// the partner proved the password and nothing more, and tries what a hostile one would. Also a
// backend that answers oddly.
#include <gtest/gtest.h>

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <filesystem>
#include <memory>

#include "FileTransferTestSupport.h"
#include "core/ApiClient.h"
#include "core/FileTransferService.h"
#include "core/FileTransferWire.h"
#include "crypto/EcdhKeyExchange.h"
#include "crypto/Spake2.h"
#include "support/HostilePartner.h"
#include "support/LogCapture.h"
#include "support/RawAomStream.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using filetransfer::SubType;
using filetransfer::WireReader;
using filetransfer::WireWriter;
using test::HostilePartner;

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

// A backend that accepts connections and never answers, so that the test alone says what the
// backend replied.
class SilentBackend {
public:
    SilentBackend() {
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) socket->setParent(&server_);
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("https://127.0.0.1:%1").arg(server_.serverPort())); }

private:
    QTcpServer server_;
};

// The sub-type and the text of a TRANSFER_ERROR, or of any other message its sub-type only.
QString describe(const QByteArray& message) {
    if (message.isEmpty()) return "empty";
    if (SubType(message[0]) != SubType::TransferError) return QStringLiteral("sub-type %1").arg(int(message[0]));
    WireReader reader(reinterpret_cast<const std::uint8_t*>(message.constData()) + 1, std::size_t(message.size() - 1));
    return "TRANSFER_ERROR " + reader.string();
}

QByteArray chunk(SubType type, const QByteArray& bytes) {
    return WireWriter(type).u32(0).raw(bytes.constData(), bytes.size()).take();
}

class HostilePartnerTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    test::LogCapture log;
    SilentBackend backend;
    ApiClient api{backend.url()};
    SessionManager victim{&api, nullptr};
    HostilePartner partner{victim};
    QStringList errors;
    int authFailures = 0;
    QStringList silentPartners;

    void SetUp() override {
        QObject::connect(&victim, &SessionManager::sessionError, [this](const QString& e) { errors << e; });
        QObject::connect(&victim, &SessionManager::sessionAuthFailed, [this] { ++authFailures; });
        QObject::connect(&victim, &SessionManager::partnerSilent, [this](const QString& e) { silentPartners << e; });
    }
    void TearDown() override { QObject::disconnect(&victim, nullptr, nullptr, nullptr); }

    // The victim views the partner; `record` follows its file transfers.
    void connectAsViewer(test::TransferRecord* record = nullptr) {
        ASSERT_TRUE(partner.connectVictimAsMaster()) << int(victim.state());
        ASSERT_NE(victim.fileTransferService(), nullptr);
        if (record) record->attach(*victim.fileTransferService());
        partner.takeControl();  // the key-frame requests
    }
};

// The machine being viewed asks the viewer for its files: every request is refused, logged, and
// no file of the viewer is read, listed, written or made.
TEST_F(HostilePartnerTest, TheViewingSideServesNoFilesToThePartner) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (file access runs as the user nobody)";
    const test::TransferFolders folders(root.path());
    test::writeFile(folders.served / "secret.txt", "viewer's secret");
    ::chown((folders.served / "secret.txt").c_str(), test::kNobody, test::kNobody);
    connectAsViewer();

    partner.sendFileTransfer(WireWriter(SubType::List).string("/").take());
    partner.sendFileTransfer(WireWriter(SubType::List).string(q(folders.served)).take());
    partner.sendFileTransfer(WireWriter(SubType::DownloadRequest).string(q(folders.served / "secret.txt")).take());
    partner.sendFileTransfer(WireWriter(SubType::UploadStart).string(q(folders.served / "planted.txt")).u64(6).take());
    partner.sendFileTransfer(chunk(SubType::UploadChunk, "planted"));
    partner.sendFileTransfer(WireWriter(SubType::UploadDone).string(q(folders.served / "planted.txt")).take());
    partner.sendFileTransfer(WireWriter(SubType::MakeDirectory).string(q(folders.served / "made")).take());

    QStringList replies;
    for (const QByteArray& message : partner.takeFileTransfer()) replies << describe(message);
    const QString denied = "TRANSFER_ERROR Access denied: the viewing side serves no files";
    EXPECT_EQ(replies, QStringList(6, denied)) << replies.join("; ").toStdString();
    EXPECT_FALSE(fs::exists(folders.served / "planted.txt"));
    EXPECT_FALSE(fs::exists(folders.served / "made"));
    EXPECT_TRUE(log.contains("FileTransfer: refused the partner's DOWNLOAD_REQUEST '" +
                             (folders.served / "secret.txt").string() + "': the viewing side serves no files"));
    EXPECT_EQ(victim.state(), SessionState::Connected);
}

// The shared side still serves: the refusal belongs to the viewing side only.
TEST_F(HostilePartnerTest, TheSharedSideServesItsPartnersRequests) {
    ASSERT_TRUE(partner.connectVictimAsTarget());
    partner.takeControl();
    partner.sendFileTransfer(WireWriter(SubType::List).string("/").take());
    const auto replies = partner.takeFileTransfer();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(SubType(replies[0][0]), SubType::Listing);
}

// A download ends at the partner's error for it: what the partner sends for it afterwards is
// not written anywhere and not reported complete. An error of a listing leaves it running.
TEST_F(HostilePartnerTest, ADownloadEndsAtItsTransferErrorAndUnaskedDataIsDropped) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (file access runs as the user nobody)";
    const test::TransferFolders folders(root.path());
    test::TransferRecord record;
    connectAsViewer(&record);
    FileTransferService* files = victim.fileTransferService();
    const fs::path target = folders.saved / "old-target";
    const auto sendWholeFile = [&](const QByteArray& content) {
        partner.sendFileTransfer(WireWriter(SubType::DownloadStart).u8(0).u64(std::uint64_t(content.size())).take());
        partner.sendFileTransfer(chunk(SubType::DownloadChunk, content));
        partner.sendFileTransfer(WireWriter(SubType::DownloadDone).take());
    };

    files->requestDownload("/remote/file", q(target));
    partner.sendFileTransfer(WireWriter(SubType::TransferError).string("Cannot open file: /remote/file").take());
    sendWholeFile("unasked");
    EXPECT_EQ(record.errors, QStringList{"Cannot open file: /remote/file"});
    EXPECT_TRUE(record.downloadsComplete.isEmpty());
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(log.contains("FileTransfer: DOWNLOAD_START with no requested download — dropping"));

    // Data with no download asked for at all is dropped the same way.
    sendWholeFile("never asked");
    EXPECT_FALSE(fs::exists(target));

    files->requestDownload("/remote/file", q(target));
    partner.sendFileTransfer(WireWriter(SubType::TransferError).string("Directory does not exist: /elsewhere").take());
    sendWholeFile("asked for");
    EXPECT_EQ(record.downloadsComplete, QStringList{q(target)});
    EXPECT_EQ(test::readFile(target), "asked for");
}

// A listing of a million empty names is cut to what the pipe and a window can take, and the
// user is told; a listing nobody asked for is dropped.
TEST_F(HostilePartnerTest, AHugeListingIsCutWithAStatusAndAnUnaskedOneIsDropped) {
    test::TransferRecord record;
    connectAsViewer(&record);
    FileTransferService* files = victim.fileTransferService();

    const auto listing = [](const QString& path, std::uint32_t announced, int entries, int nameBytes) {
        WireWriter writer(SubType::Listing, 16 + entries * (13 + nameBytes));
        writer.string(path).u32(announced);
        const QString name(nameBytes, QChar(u'n'));
        for (int i = 0; i < entries; ++i) writer.u8(0).u64(1).string(name);
        return writer.take();
    };
    files->requestListing("/big");
    partner.sendFileTransfer(listing("/big", 0xFFFFFFFFu, 1'000'000, 0));
    ASSERT_EQ(record.listings.size(), 1);
    EXPECT_EQ(record.listings[0].second.size(), filetransfer::kMaxListingEntries);
    EXPECT_EQ(record.errors,
              QStringList{"Cannot list directory: /big (too large; only its first 10000 entries are shown)"});

    // Long names fill the listing's budget of name bytes before its entry count does.
    files->requestListing("/long");
    partner.sendFileTransfer(listing("/long", 5000, 5000, 1000));
    ASSERT_EQ(record.listings.size(), 2);
    EXPECT_EQ(record.listings[1].second.size(), int(filetransfer::kMaxListingNameBytes / 1000));
    EXPECT_EQ(record.errors.size(), 2);

    partner.sendFileTransfer(listing("/never-asked", 3, 3, 4));
    files->requestListing("/small");
    partner.sendFileTransfer(listing("/small", 3, 3, 4));
    ASSERT_EQ(record.listings.size(), 3);
    EXPECT_EQ(record.listings[2].first, "/small");
    EXPECT_EQ(record.listings[2].second.size(), 3);
    EXPECT_EQ(record.errors.size(), 2);
    EXPECT_TRUE(log.contains("FileTransfer: listing for '/never-asked' that was never requested — dropping"));
}

// The partner ends the session while this side's upload waits for the transport: the upload
// reports its failure, though its service is deleted inside the send.
TEST_F(HostilePartnerTest, AnUploadCutByTheSessionsEndReportsItsFailure) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (file access runs as the user nobody)";
    const test::TransferFolders folders(root.path());
    test::TransferRecord record;
    connectAsViewer(&record);
    QPointer<FileTransferService> files(victim.fileTransferService());
    test::writeFile(folders.saved / "upload.bin", test::patternBytes(4 * 65536));
    // A transport that holds much keeps the send waiting in the event loop.
    partner.transport()->buffered = 8u << 20;
    QTimer::singleShot(50ms, [&] { partner.sendCommand("disconnect"); });
    files->sendFile(q(folders.saved / "upload.bin"), "/remote/upload.bin");
    EXPECT_EQ(victim.state(), SessionState::Idle);
    EXPECT_EQ(record.errors, QStringList{"Upload of " + q(folders.saved / "upload.bin") + " failed: the session ended"});
    EXPECT_EQ(record.uploadsComplete, 0);
}

// The backend's create reply may come after the Target's acknowledgement: an acknowledgement
// held meanwhile is applied only to the session it names; one of an earlier session (its keys
// are another session's) is dropped, before the reply and after it.
TEST_F(HostilePartnerTest, AHeldAcknowledgementAppliesOnlyToTheSessionItNames) {
    victim.initiateSession("123456789", "pass-1");
    ASSERT_EQ(victim.state(), SessionState::Initiating);
    // A stale acknowledgement of an earlier session, with keys of its own, and this session's.
    EcdhKeyExchange staleKeys;
    const Spake2 staleSpake("pass-1", SessionRole::Target);
    const QString staleKey = QString::fromStdString(staleKeys.publicKeyBase64());
    const QString staleOffer = QString::fromStdString(staleSpake.elementHex());
    victim.onHandshakeAck("earlier-session", "accepted", staleKey, staleOffer);
    EXPECT_FALSE(partner.answerAsTarget("pass-1", "new-session")) << "held until the reply";
    victim.onHandshakeAck("earlier-session", "accepted", staleKey, staleOffer);
    EXPECT_EQ(victim.state(), SessionState::Initiating);

    emit api.sessionCreated(nlohmann::json{{"session_id", "new-session"}});
    EXPECT_TRUE(log.contains("Dropping a handshake ACK held for session earlier-session"));
    ASSERT_TRUE(partner.finishConnecting());
    int monitors = 0;
    QObject::connect(&victim, &SessionManager::monitorCountReceived, [&](int n) { monitors = n; });
    partner.sendCommand("monitor_count:2");
    EXPECT_EQ(monitors, 2) << "the session runs on the keys of its own partner";
    EXPECT_EQ(authFailures, 0);
}

// While handshaking, an acknowledgement that names another session is ignored as well.
TEST_F(HostilePartnerTest, AnAcknowledgementOfAnotherSessionIsIgnoredWhileHandshaking) {
    victim.initiateSession("123456789", "pass-1");
    emit api.sessionCreated(nlohmann::json{{"session_id", "new-session"}});
    ASSERT_EQ(victim.state(), SessionState::Handshaking);
    EcdhKeyExchange staleKeys;
    const Spake2 staleSpake("pass-1", SessionRole::Target);
    victim.onHandshakeAck("earlier-session", "accepted", QString::fromStdString(staleKeys.publicKeyBase64()),
                          QString::fromStdString(staleSpake.elementHex()));
    EXPECT_EQ(victim.state(), SessionState::Handshaking);
    EXPECT_TRUE(log.contains("Handshake ACK for session earlier-session ignored (this session is new-session)"));
    ASSERT_TRUE(partner.answerAsTarget("pass-1", "new-session"));
}

// A backend reply to this session's request counts whether or not it repeats the session id; a
// reply to a request this session did not make, or one that names another session, does not.
TEST_F(HostilePartnerTest, BackendRepliesCountForTheRequestThatProducedThem) {
    connectAsViewer();
    const std::string id = HostilePartner::kSessionId;
    const QString complete = QStringLiteral("/sessions/%1/complete").arg(id.c_str());
    emit api.sessionUpdated(nlohmann::json{{"state", "closed"}}, "/sessions/earlier-session/close");
    emit api.sessionUpdated(nlohmann::json{{"state", "failed"}}, "/sessions/earlier-session/complete");
    emit api.sessionUpdated(nlohmann::json{{"session_id", "other"}, {"state", "failed"}}, complete);
    emit api.sessionUpdated(nlohmann::json::array(), "/sessions/" + QString::fromStdString(id) + "/close");
    EXPECT_EQ(victim.state(), SessionState::Connected);
    // The reply to this session's completion, without a session id, as the backend may send it.
    emit api.sessionUpdated(nlohmann::json{{"state", "failed"}}, complete);
    EXPECT_EQ(victim.state(), SessionState::Failed);
    EXPECT_TRUE(log.contains("Session ended by server: failed"));
}

// Create replies that lack the session id or are no object at all, also late ones of a session
// already ended, are read without reaching outside the document.
TEST_F(HostilePartnerTest, CreateRepliesWithoutASessionIdAreReadSafely) {
    for (const nlohmann::json& reply : {nlohmann::json{{"relay_token", "t"}}, nlohmann::json::array({1, 2}),
                                        nlohmann::json(), nlohmann::json{{"session_id", 7}}}) {
        SCOPED_TRACE(reply.dump());
        victim.initiateSession("123456789", "pass-1");
        victim.endSession("user_disconnect");
        emit api.sessionCreated(reply);  // late: its session is gone
        EXPECT_EQ(victim.state(), SessionState::Idle);
        errors.clear();
        victim.initiateSession("123456789", "pass-1");
        emit api.sessionCreated(reply);
        EXPECT_EQ(victim.state(), SessionState::Failed);
        EXPECT_EQ(errors, QStringList{"Server returned invalid session data"});
    }
}

// A partner that connects with the right keys and then sends nothing is its own failure, not a
// wrong password; the key frames asked for meanwhile leave the decoder as it is.
TEST_F(HostilePartnerTest, ASilentPartnerIsNoWrongPasswordAndKeyFrameRequestsKeepTheDecoder) {
    victim.setPacketOpenTimeout(300ms);
    victim.setKeyFrameRetryInterval(20ms);
    connectAsViewer();
    ASSERT_TRUE(HostilePartner::runUntil([&] { return victim.state() != SessionState::Connected; }, 10s));
    EXPECT_EQ(victim.state(), SessionState::Failed);
    EXPECT_EQ(authFailures, 0);
    const QString text = "Remote side sent nothing — its screen cannot be shared right now";
    EXPECT_EQ(errors, QStringList{text});
    EXPECT_EQ(silentPartners, QStringList{text});

    // A key frame, then pictures that do not decode: the fifth asks for a key frame, and the
    // next picture, which builds on the key frame, still decodes.
    std::vector<std::shared_ptr<DecodedFrame>> frames;
    QObject::connect(&victim, &SessionManager::frameDecoded, [&](std::shared_ptr<DecodedFrame> f) { frames.push_back(f); });
    victim.setPacketOpenTimeout(30s);
    ASSERT_TRUE(partner.connectVictimAsMaster());
    const auto packets = test::encodeUniformFrames({64, 64}, {{60, 128, 128}, {180, 128, 128}});
    ASSERT_EQ(packets.size(), 2u);
    partner.sendVideo(packets[0]);
    ASSERT_EQ(frames.size(), 1u);
    partner.takeControl();
    for (int i = 0; i < 5; ++i) partner.sendVideo(std::vector<std::uint8_t>(40, 0xee));
    const auto requests = partner.takeControl();
    EXPECT_NE(std::find(requests.begin(), requests.end(), QByteArray(1, char(MSG_KEY_FRAME_REQUEST))), requests.end());
    partner.sendVideo(packets[1]);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_NEAR(frames[1]->y[frames[1]->y.size() / 2], 180, 3);
}

// Texts the partner chooses reach the log cut and escaped: no forged line, no flood.
TEST_F(HostilePartnerTest, PartnerTextReachesTheLogCutAndEscaped) {
    connectAsViewer();
    std::string forged;
    while (forged.size() < 300'000) forged += "monitor_count:1\n[error] forged line\r\n";
    partner.sendCommand(forged);
    partner.sendFileTransfer(WireWriter(SubType::MakeDirectory).string("/tmp/a\nb").take());
    partner.sendFileTransfer(WireWriter(SubType::TransferError).string(QString(100'000, QChar(u'e')) + "\n").take());
    partner.sendControl(MSG_CLIPBOARD_FILES, std::string("\0\0\0\0\x05\0\0\0/x\ny\x1b", 13));
    for (const std::string& line : log.lines()) {
        EXPECT_EQ(line.find('\n'), std::string::npos) << line.substr(0, 200);
        EXPECT_EQ(line.find('\r'), std::string::npos) << line.substr(0, 200);
        EXPECT_LT(line.size(), 1024u) << line.substr(0, 200);
    }
    EXPECT_TRUE(log.contains("Session command received: monitor_count:1\\n[error] forged line\\r\\n"));
    EXPECT_TRUE(log.contains("more bytes)"));
    EXPECT_TRUE(log.contains("'/tmp/a\\nb'"));
    EXPECT_TRUE(log.contains("refused unknown staging root '/x\\ny\\x1b'"));
}

}  // namespace
}  // namespace veltrix
