// Two FileTransferServices wired back to back in one process, and one service fed forged messages.
#include <gtest/gtest.h>

#include <QTimer>

#include <filesystem>
#include <sys/stat.h>

#include "FileTransferTestSupport.h"
#include "core/FileTransferWire.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;

namespace veltrix {
namespace {
namespace fs = std::filesystem;
using filetransfer::SubType;
using filetransfer::WireWriter;

constexpr std::uint64_t kCap = 104857600;

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

class FileTransferServiceTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    fs::path served, saved, outside;

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root (the transfers run as the user nobody)";
        const test::TransferFolders folders(root.path());
        served = folders.served;
        saved = folders.saved;
        outside = root.path() / "outside";
        fs::create_directories(outside);
        fs::permissions(outside, fs::perms(0755));
        test::writeFile(outside / "secret.txt", "secret");
    }

    // Everything in `outside`, to show that nothing there was written.
    std::vector<fs::path> outsideEntries() const {
        std::vector<fs::path> entries;
        for (const auto& entry : fs::recursive_directory_iterator(outside)) entries.push_back(entry.path());
        std::sort(entries.begin(), entries.end());
        return entries;
    }
};

// One service whose sends are recorded, for forged conversations; on the shared side unless told.
struct Probe {
    QList<QByteArray> sent;
    bool sendWorks = true;
    std::uint64_t buffered = 0;
    FileTransferService service;
    test::TransferRecord record;

    explicit Probe(FileTransferService::Side side = FileTransferService::Side::Shared)
        : service(
              [this](const QByteArray& m) {
                  if (sendWorks) sent << m;
                  return sendWorks;
              },
              [this] { return buffered; }, side) {
        record.attach(service);
    }
    void feed(const QByteArray& message) {
        service.handleFileTransferMessage(reinterpret_cast<const std::uint8_t*>(message.constData()),
                                          std::size_t(message.size()));
    }
    // The text of every TRANSFER_ERROR sent.
    QStringList transferErrors() const {
        QStringList texts;
        for (const QByteArray& m : sent) {
            if (m.isEmpty() || SubType(m[0]) != SubType::TransferError) continue;
            filetransfer::WireReader reader(reinterpret_cast<const std::uint8_t*>(m.constData()) + 1, std::size_t(m.size() - 1));
            texts << reader.string();
        }
        return texts;
    }
};

QByteArray chunk(SubType type, const QByteArray& bytes) { return WireWriter(type).u32(0).raw(bytes.constData(), bytes.size()).take(); }

TEST_F(FileTransferServiceTest, FilesOfEverySizeUpToTheCapCrossBothWaysIntact) {
    for (const std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(65537), std::size_t(kCap)}) {
        SCOPED_TRACE(size);
        test::BackToBack link;
        const QByteArray content = test::patternBytes(size, std::uint32_t(size));
        const fs::path source = served / ("file-" + std::to_string(size));
        test::writeFile(source, content);

        const fs::path downloaded = saved / ("down-" + std::to_string(size));
        link.local->requestDownload(q(source), q(downloaded));
        ASSERT_TRUE(test::waitUntil([&] { return !link.localRecord.downloadsComplete.isEmpty(); }, 60s))
            << link.localRecord.errors.join("; ").toStdString();
        EXPECT_EQ(link.localRecord.downloadsComplete, QStringList{q(downloaded)});
        EXPECT_EQ(test::sha256(test::readFile(downloaded)), test::sha256(content));
        ASSERT_FALSE(link.localRecord.downloadProgress.isEmpty());
        EXPECT_EQ(link.localRecord.downloadProgress.first(), 0) << "an accepted download is announced before its data";
        EXPECT_EQ(link.localRecord.downloadProgress.count(100), 1);
        EXPECT_EQ(link.localRecord.downloadProgress.last(), 100) << "100 comes only with DOWNLOAD_DONE";

        const fs::path uploaded = served / ("up-" + std::to_string(size));
        link.local->sendFile(q(downloaded), q(uploaded));
        EXPECT_EQ(link.localRecord.uploadsComplete, 1);
        ASSERT_TRUE(test::waitUntil([&] { return link.toRemote.pending == 0 && link.toRemote.messagesSent > 0; }, 60s));
        EXPECT_EQ(test::sha256(test::readFile(uploaded)), test::sha256(content));
        EXPECT_EQ(fs::status(uploaded).permissions() & fs::perms::others_write, fs::perms::none);
        struct stat info {};
        ASSERT_EQ(::stat(uploaded.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, test::kNobody) << "the file is written as the interactive user";
        EXPECT_TRUE(link.localRecord.errors.isEmpty()) << link.localRecord.errors.join("; ").toStdString();
        EXPECT_TRUE(link.remoteRecord.errors.isEmpty());
        fs::remove(source), fs::remove(downloaded), fs::remove(uploaded);
    }
}

TEST_F(FileTransferServiceTest, OneByteOverTheCapIsRefusedInEachDirection) {
    const fs::path big = served / "big";
    test::writeFile(big, {});
    fs::resize_file(big, kCap + 1);
    test::BackToBack link;
    link.local->requestDownload(q(big), q(saved / "big"));
    ASSERT_TRUE(test::waitUntil([&] { return !link.localRecord.errors.isEmpty(); }));
    EXPECT_EQ(link.localRecord.errors.first(), "File too large (max 100 MB): " + q(big));
    link.local->sendFile(q(big), q(served / "copy"));
    EXPECT_EQ(link.localRecord.errors.last(), "File too large (max 100 MB): " + q(big));
    EXPECT_FALSE(fs::exists(saved / "big"));

    Probe probe;
    probe.feed(WireWriter(SubType::UploadStart).string(q(served / "forged")).u64(kCap + 1).take());
    EXPECT_EQ(probe.transferErrors(), QStringList{"Upload too large (max 100 MB)"});
    probe.feed(WireWriter(SubType::DownloadRequest).string({}).take());  // keeps the probe honest: it answers
    probe.service.requestDownload(q(served / "x"), q(saved / "x"));
    probe.feed(WireWriter(SubType::DownloadStart).u8(0).u64(kCap + 1).take());
    EXPECT_EQ(probe.record.errors.last(), "Remote file too large: 104857601 bytes (max 104857600)");
}

TEST_F(FileTransferServiceTest, ListingShowsFoldersThenFilesWithoutCaseAndLeavesLinksOut) {
    test::writeFile(served / "b.txt", "bb");
    test::writeFile(served / "A.txt", "a");
    fs::create_directory(served / "zdir");
    fs::create_directory(served / "Cdir");
    fs::create_symlink(outside, served / "link");
    test::BackToBack link;
    link.local->requestListing(q(served));
    link.local->requestListing("/");
    link.local->requestListing(q(served / "missing"));
    ASSERT_TRUE(test::waitUntil([&] { return link.localRecord.listings.size() == 2 && !link.localRecord.errors.isEmpty(); }));

    const auto& [path, entries] = link.localRecord.listings[0];
    EXPECT_EQ(path, q(served));
    ASSERT_EQ(entries.size(), 4);
    const QStringList names{entries[0].name, entries[1].name, entries[2].name, entries[3].name};
    EXPECT_EQ(names, (QStringList{"Cdir", "zdir", "A.txt", "b.txt"}));
    EXPECT_TRUE(entries[0].isDir && entries[1].isDir && !entries[2].isDir);
    EXPECT_EQ(entries[0].size, 0);
    EXPECT_EQ(entries[3].size, 2);
    // The top of the tree stands in for a drive list.
    EXPECT_EQ(link.localRecord.listings[1].first, "/");
    const auto& top = link.localRecord.listings[1].second;
    EXPECT_TRUE(std::any_of(top.begin(), top.end(), [](const FileEntry& e) { return e.name == "tmp" && e.isDir; }));
    EXPECT_EQ(link.localRecord.errors, QStringList{"Directory does not exist: " + q(served / "missing")});
}

TEST_F(FileTransferServiceTest, ThePeerCannotReachOrWriteAnythingOutsideThroughAnyPath) {
    fs::create_directory_symlink(outside, served / "dirlink");
    fs::create_symlink(outside / "secret.txt", served / "filelink");
    ASSERT_EQ(::mkfifo((served / "fifo").c_str(), 0666), 0);
    const fs::path rootOnly = root.path() / "root-only";
    fs::create_directories(rootOnly);
    fs::permissions(rootOnly, fs::perms::owner_all);
    test::writeFile(rootOnly / "private.txt", "private");

    const QString invalid = "Access denied: invalid path";
    const QString invalidUpload = "Access denied: invalid upload path";
    struct Case {
        QString path;
        QString downloadError;  // what the requester hears for a download, and for an upload
        QString uploadError;
    };
    const QString s = q(served);
    const Case cases[] = {
        {s + "/../outside/secret.txt", invalid, invalidUpload},
        {"outside/secret.txt", invalid, invalidUpload},
        {s + "/dirlink/secret.txt", invalid, invalidUpload},
        {s + "/filelink", invalid, invalidUpload},
        {s + "/fifo", "Cannot open file: " + s + "/fifo", "Cannot write file: " + s + "/fifo"},
        {"/dev/zero", "Cannot open file: /dev/zero", "Cannot write file: /dev/zero"},
        {q(rootOnly / "private.txt"), "Cannot open file: " + q(rootOnly / "private.txt"),
         "Cannot write file: " + q(rootOnly / "private.txt")},
        {"C:secret.txt", invalid, invalidUpload},
        {"C:", invalid, invalidUpload},
        {"\\\\server\\share\\secret.txt", invalid, invalidUpload},
        {"//server/share/secret.txt", invalid, invalidUpload},
        {s + "/con.txt", invalid, invalidUpload},
        {s + "/LPT9 .", invalid, invalidUpload},
        {s + "/a|b", invalid, invalidUpload},
        {s + "/a" + QChar(0) + "b", invalid, invalidUpload},
    };
    const auto before = outsideEntries();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        test::BackToBack link;
        link.local->requestDownload(c.path, q(saved / "got"));
        ASSERT_TRUE(test::waitUntil([&] { return !link.localRecord.errors.isEmpty(); }, 5s));
        EXPECT_EQ(link.localRecord.errors.first(), c.downloadError);
        EXPECT_FALSE(fs::exists(saved / "got"));
        EXPECT_TRUE(link.localRecord.downloadProgress.isEmpty()) << "no byte was served";

        test::writeFile(saved / "payload", "payload");
        link.local->sendFile(q(saved / "payload"), c.path);
        ASSERT_TRUE(test::waitUntil([&] { return link.localRecord.errors.size() >= 2; }, 5s));
        EXPECT_EQ(link.localRecord.errors[1], c.uploadError);
        EXPECT_EQ(outsideEntries(), before);
        EXPECT_EQ(test::readFile(outside / "secret.txt"), "secret");
        EXPECT_EQ(test::readFile(rootOnly / "private.txt"), "private");
        EXPECT_TRUE(fs::is_symlink(served / "filelink"));
    }
}

TEST_F(FileTransferServiceTest, AForgedOrShortDownloadLeavesNothingAtTheTargetName) {
    const fs::path target = saved / "target";
    const QString remote = q(served / "remote");
    struct Case {
        const char* name;
        std::function<void(Probe&)> conversation;
        QString error;
    };
    const Case cases[] = {
        {"done without a download", [](Probe& p) { p.feed(WireWriter(SubType::DownloadDone).take()); }, {}},
        {"done before the start",
         [&](Probe& p) {
             p.service.requestDownload(remote, q(target));
             p.feed(WireWriter(SubType::DownloadDone).take());
         },
         {}},
        {"short",
         [&](Probe& p) {
             p.service.requestDownload(remote, q(target));
             p.feed(WireWriter(SubType::DownloadStart).u8(0).u64(10).take());
             p.feed(chunk(SubType::DownloadChunk, "1234"));
             p.feed(WireWriter(SubType::DownloadDone).take());
         },
         "Remote file transfer incomplete: 4 of 10 bytes"},
        {"longer than announced",
         [&](Probe& p) {
             p.service.requestDownload(remote, q(target));
             p.feed(WireWriter(SubType::DownloadStart).u8(0).u64(3).take());
             p.feed(chunk(SubType::DownloadChunk, "1234"));
             p.feed(WireWriter(SubType::DownloadDone).take());
         },
         "Remote file exceeded the allowed transfer size"},
        {"refused by the peer",
         [&](Probe& p) {
             p.service.requestDownload(remote, q(target));
             p.feed(WireWriter(SubType::DownloadStart).u8(1).u64(3).take());
             p.feed(WireWriter(SubType::DownloadDone).take());
         },
         "Remote file download failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Probe probe;
        c.conversation(probe);
        EXPECT_FALSE(fs::exists(target));
        EXPECT_TRUE(probe.record.downloadsComplete.isEmpty());
        EXPECT_FALSE(probe.record.downloadProgress.contains(100));
        EXPECT_EQ(probe.record.errors, c.error.isEmpty() ? QStringList{} : QStringList{c.error});
    }
}

TEST_F(FileTransferServiceTest, AnUploadIsWrittenOnlyWhenExactlyTheAnnouncedBytesArrived) {
    const fs::path target = served / "upload";
    const QString path = q(target);
    struct Case {
        const char* name;
        QList<QByteArray> messages;
        QStringList errors;
        bool written;
    };
    const Case cases[] = {
        {"exact", {WireWriter(SubType::UploadStart).string(path).u64(4).take(), chunk(SubType::UploadChunk, "12"),
                   chunk(SubType::UploadChunk, "34"), WireWriter(SubType::UploadDone).string(path).take()}, {}, true},
        {"done without a start", {WireWriter(SubType::UploadDone).string(path).take()},
         {"Upload aborted: no valid upload in progress"}, false},
        {"more than announced", {WireWriter(SubType::UploadStart).string(path).u64(3).take(), chunk(SubType::UploadChunk, "1234"),
                                 WireWriter(SubType::UploadDone).string(path).take()},
         {"Upload exceeded size cap", "Upload aborted: no valid upload in progress"}, false},
        {"short", {WireWriter(SubType::UploadStart).string(path).u64(10).take(), chunk(SubType::UploadChunk, "1234"),
                   WireWriter(SubType::UploadDone).string(path).take()},
         {"Upload incomplete: received 4 of 10 bytes"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(target);
        Probe probe;
        for (const QByteArray& m : c.messages) probe.feed(m);
        EXPECT_EQ(probe.transferErrors(), c.errors);
        EXPECT_EQ(fs::exists(target), c.written);
        if (c.written) {
            EXPECT_EQ(test::readFile(target), "1234");
        }
    }
}

TEST_F(FileTransferServiceTest, AFailedSendStopsTheUploadAndIsReported) {
    test::writeFile(saved / "file", test::patternBytes(10 * 65536));
    Probe probe;
    int chunks = 0;
    QObject::connect(&probe.service, &FileTransferService::fileUploadProgress, [&] {
        if (++chunks == 3) probe.sendWorks = false;
    });
    probe.service.sendFile(q(saved / "file"), q(served / "file"));
    EXPECT_EQ(probe.record.uploadsComplete, 0);
    EXPECT_EQ(probe.record.errors, QStringList{"Upload of " + q(saved / "file") + " stopped: the session is not connected"});
    EXPECT_EQ(probe.sent.size(), 4) << "the start and three chunks, nothing after the failure";
}

TEST_F(FileTransferServiceTest, NoTransferStartsInsideAnothersPacingWaitAndAStalledTransportTimesOut) {
    test::writeFile(saved / "file", test::patternBytes(3 * 65536));
    Probe probe;
    probe.service.setPacingTimeout(300ms);
    probe.buffered = 8u << 20;  // a stalled transport
    test::LogCapture logs;
    QTimer::singleShot(50ms, [&] {
        probe.service.sendFile(q(saved / "file"), q(served / "second"));
        probe.feed(WireWriter(SubType::DownloadRequest).string(q(saved / "file")).take());
    });
    probe.service.sendFile(q(saved / "file"), q(served / "first"));
    EXPECT_EQ(probe.record.errors, QStringList{"Another file transfer is in progress"});
    EXPECT_EQ(probe.transferErrors(), QStringList{"Another file transfer is in progress"});
    EXPECT_EQ(probe.record.uploadsComplete, 1) << "the first upload goes on after each time-out";
    EXPECT_EQ(logs.count("send buffer drain wait timed out at 8388608 bytes queued"), 3u);
    EXPECT_FALSE(probe.service.isSending());
}

TEST_F(FileTransferServiceTest, ASendOverATransportThatKeepsUpStillLetsTheEventLoopRun) {
    test::writeFile(saved / "file", test::patternBytes(4 * 65536));
    Probe probe;  // its transport never holds anything back
    bool ranDuringSend = false;
    QTimer::singleShot(0, [&] { ranDuringSend = probe.service.isSending(); });
    probe.service.sendFile(q(saved / "file"), q(served / "file"));
    EXPECT_TRUE(ranDuringSend) << "timers and received messages get a turn while a file is sent";
    EXPECT_EQ(probe.record.uploadsComplete, 1);
}

TEST_F(FileTransferServiceTest, DeletingTheServiceDuringAPacingWaitEndsTheSendSafely) {
    test::writeFile(saved / "file", test::patternBytes(3 * 65536));
    QList<QByteArray> sent;
    auto* service = new FileTransferService([&](const QByteArray& m) { return sent << m, true; },
                                            [] { return std::uint64_t(8u << 20); }, FileTransferService::Side::Viewing);
    QTimer::singleShot(50ms, [&] { delete service; });
    service->sendFile(q(saved / "file"), q(served / "file"));
    EXPECT_EQ(sent.size(), 1) << "only UPLOAD_START went out";
}

TEST_F(FileTransferServiceTest, TheSessionsEndFailsTheDownloadInProgressAndStopsTheUpload) {
    Probe probe;
    const fs::path target = saved / "target";
    probe.service.requestDownload(q(served / "remote"), q(target));
    probe.feed(WireWriter(SubType::DownloadStart).u8(0).u64(10).take());
    probe.feed(chunk(SubType::DownloadChunk, "1234"));
    probe.feed(WireWriter(SubType::UploadStart).string(q(served / "incoming")).u64(10).take());
    probe.feed(chunk(SubType::UploadChunk, "1234"));
    probe.service.endSession();
    EXPECT_EQ(probe.record.errors, QStringList{"Download of " + q(served / "remote") + " failed: the session ended"});
    probe.feed(chunk(SubType::DownloadChunk, "567890"));
    probe.feed(WireWriter(SubType::DownloadDone).take());
    probe.feed(chunk(SubType::UploadChunk, "567890"));
    probe.feed(WireWriter(SubType::UploadDone).take());
    EXPECT_FALSE(fs::exists(target));
    EXPECT_FALSE(fs::exists(served / "incoming"));
    EXPECT_TRUE(probe.record.downloadsComplete.isEmpty());

    test::writeFile(saved / "file", test::patternBytes(3 * 65536));
    const qsizetype before = probe.sent.size();
    probe.service.sendFile(q(saved / "file"), q(served / "file"));
    EXPECT_EQ(probe.sent.size(), before) << "nothing is sent after the session's end";
    EXPECT_EQ(probe.record.errors.last(), "Upload of " + q(saved / "file") + " stopped: the session is not connected");
}

TEST_F(FileTransferServiceTest, MadeDirectoriesAreRememberedAndThePasteFolderIsThisInstances) {
    const fs::path paste = test::makeUserFolder(platform::paths::pasteStagingDir());
    Probe probe;
    probe.feed(WireWriter(SubType::MakeDirectory).string("/home/Public/Veltrix/Paste/batch/inner").take());
    probe.feed(WireWriter(SubType::MakeDirectory).string(q(served / "made")).take());
    probe.feed(WireWriter(SubType::MakeDirectory).string(q(served / "../outside/made")).take());
    EXPECT_TRUE(fs::is_directory(paste / "batch" / "inner"));
    EXPECT_TRUE(fs::is_directory(served / "made"));
    EXPECT_FALSE(fs::exists(outside / "made"));
    EXPECT_EQ(probe.transferErrors(), QStringList{"Access denied: invalid directory path"});
    EXPECT_TRUE(probe.service.isCreatedDirectory("/home/Public/Veltrix/Paste/batch/inner"));
    EXPECT_TRUE(probe.service.isCreatedDirectory(q(paste / "batch" / "inner")));
    EXPECT_TRUE(probe.service.isCreatedDirectory(q(served / "made") + "/"));
    EXPECT_FALSE(probe.service.isCreatedDirectory("/home/Public/Veltrix/Paste/batch"));
    EXPECT_FALSE(probe.service.isCreatedDirectory({}));
}

}  // namespace
}  // namespace veltrix
