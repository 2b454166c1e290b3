// What the serving side of a file transfer does with the interactive user's rights: a replaced file
// keeps its mode (and owner where the user may keep it), and a service that does not run as root
// either has nothing to switch or refuses cleanly.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "FileTransferTestSupport.h"
#include "core/FileTransferWire.h"
#include "support/LogCapture.h"
#include "support/SessionsFile.h"
#include "support/TempInstanceRoot.h"
#include "support/UnprivilegedChild.h"

namespace veltrix {
namespace {
namespace fs = std::filesystem;
using filetransfer::SubType;
using filetransfer::WireWriter;

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

// A service whose messages to the peer are kept, fed the peer's requests directly.
struct ServingEnd {
    QList<QByteArray> sent;
    FileTransferService service{[this](const QByteArray& m) {
                                    sent << m;
                                    return true;
                                },
                                [] { return std::uint64_t(0); },
                                FileTransferService::Side::Shared};

    void feed(const QByteArray& message) {
        service.handleFileTransferMessage(reinterpret_cast<const std::uint8_t*>(message.constData()),
                                          std::size_t(message.size()));
    }
    void upload(const fs::path& path, const QByteArray& content) {
        feed(WireWriter(SubType::UploadStart).string(q(path)).u64(std::uint64_t(content.size())).take());
        feed(WireWriter(SubType::UploadChunk).u32(0).raw(content.constData(), content.size()).take());
        feed(WireWriter(SubType::UploadDone).string(q(path)).take());
    }
    // The answer to the last request: the names listed, or the error's text.
    std::string lastAnswer() const {
        if (sent.isEmpty()) return "nothing";
        const QByteArray& m = sent.last();
        const auto* body = reinterpret_cast<const std::uint8_t*>(m.constData()) + 1;
        const std::size_t size = std::size_t(m.size() - 1);
        if (SubType(m[0]) == SubType::TransferError)
            return "error: " + filetransfer::WireReader(body, size).string().toStdString();
        std::string names = "listed:";
        for (const FileEntry& entry : filetransfer::parseListing(body, size).entries) names += " " + entry.name.toStdString();
        return names;
    }
};

class FileTransferAsUserTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    fs::path served;

    void SetUp() override {
        const test::TransferFolders folders(root.path());
        served = folders.served;
    }
};

// A replaced file keeps its permission bits: a private file is not turned readable by everybody,
// an executable stays executable. The owner stays the user's; a file of another account in the
// user's folder becomes the user's own (the user cannot give a file away), never that account's.
TEST_F(FileTransferAsUserTest, AFileReplacedByAnUploadKeepsItsModeAndIsNeverGivenAway) {
    struct Case {
        const char* name;
        mode_t mode;
        uid_t owner;
        uid_t ownerAfter;
    } cases[] = {
        {"private", 0600, test::kNobody, test::kNobody},
        {"program", 0755, test::kNobody, test::kNobody},
        {"shared", 0664, test::kNobody, test::kNobody},
        {"others", 0640, 1, test::kNobody},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = served / c.name;
        test::writeFile(file, "old content");
        ASSERT_EQ(::chown(file.c_str(), c.owner, c.owner), 0);
        ASSERT_EQ(::chmod(file.c_str(), c.mode), 0);

        ServingEnd end;
        end.upload(file, "new content");
        EXPECT_EQ(test::readFile(file), "new content");
        struct stat info {};
        ASSERT_EQ(::stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.mode);
        EXPECT_EQ(info.st_uid, c.ownerAfter);
    }
}

// The file-system calls run as the user, the logging around them as the service: a line written
// as the user would fail to rotate the service's log. Every path of both sides, accepted or not.
TEST_F(FileTransferAsUserTest, NothingIsLoggedWhileTheThreadActsAsTheUser) {
    test::LogCapture log;
    const fs::path file = served / "file.txt", refused = served / "sub/../file.txt", missing = served / "none" / "x";
    const fs::path rootOnly = root.path() / "root-only";
    fs::create_directories(rootOnly);
    fs::permissions(rootOnly, fs::perms(0700));
    test::writeFile(file, "content");

    ServingEnd end;
    for (const fs::path& path : {served, refused, missing}) end.feed(WireWriter(SubType::List).string(q(path)).take());
    for (const fs::path& path : {file, refused, missing}) end.feed(WireWriter(SubType::DownloadRequest).string(q(path)).take());
    for (const fs::path& path : {served / "up.txt", refused, missing, rootOnly / "x"}) end.upload(path, "bytes");
    for (const fs::path& path : {served / "made", refused, rootOnly / "made"})
        end.feed(WireWriter(SubType::MakeDirectory).string(q(path)).take());
    for (const fs::path& path : {file, refused, missing}) end.service.sendFile(q(path), "/remote/x");
    for (const fs::path& path : {served / "down.txt", rootOnly / "down.txt"}) {
        end.service.requestDownload("/remote/x", q(path));
        end.feed(WireWriter(SubType::DownloadStart).u8(0).u64(4).raw("data", 4).take());
    }

    EXPECT_TRUE(fs::exists(served / "up.txt") && fs::exists(served / "made") && fs::exists(served / "down.txt"));
    EXPECT_GT(log.lines().size(), 20u);
    EXPECT_TRUE(log.contains("FileTransfer: path traversal attempt blocked"));
    EXPECT_TRUE(log.contains("FileTransfer: writing '" + (rootOnly / "down.txt").string()));
    EXPECT_EQ(log.linesLoggedAsAUser(), std::vector<std::string>{});
}

// The service may run as an ordinary account: impersonating that same account changes nothing,
// and another account's files are refused cleanly instead of ending the process.
TEST_F(FileTransferAsUserTest, AServiceThatDoesNotRunAsRootListsAsItselfAndRefusesOtherAccounts) {
    test::writeFile(served / "mine.txt", "x");
    const struct {
        std::vector<uid_t> interactiveUser;
        std::string answer;
    } cases[] = {
        {{test::kNobody}, "listed: mine.txt"},
        {{1}, "error: Access denied: no interactive user session"},
    };
    for (const auto& c : cases) {
        test::writeSessions(c.interactiveUser);
        test::UnprivilegedChild service([&] {
            ServingEnd end;
            end.feed(WireWriter(SubType::List).string(q(served)).take());
            return end.lastAnswer();
        });
        EXPECT_EQ(service.result(), c.answer);
    }
}

}  // namespace
}  // namespace veltrix
