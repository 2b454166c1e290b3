#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/NoFollowFiles.h"
#include "support/TempInstanceRoot.h"

namespace veltrix::platform::files {
namespace {
namespace fs = std::filesystem;

class NoFollowFilesTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    fs::path dir, outside;

    void SetUp() override {
        dir = root.path() / "served";
        outside = root.path() / "outside";
        fs::create_directories(dir / "sub");
        fs::create_directories(outside);
        write(dir / "sub" / "file.txt", "inside");
        write(outside / "secret.txt", "secret");
        fs::create_directory_symlink(outside, dir / "dirlink");
        fs::create_symlink(outside / "secret.txt", dir / "filelink");
        ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    }

    static void write(const fs::path& file, const std::string& content) { std::ofstream(file) << content; }
    static std::string read(const fs::path& file) {
        std::ifstream in(file);
        return {std::istreambuf_iterator<char>(in), {}};
    }
};

TEST_F(NoFollowFilesTest, ProbeSeesLinksAnywhereWithoutFollowingThem) {
    struct Case {
        fs::path path;
        PathState state;
    };
    const Case cases[] = {
        {dir / "sub" / "file.txt", PathState::RegularFile}, {dir / "sub", PathState::Directory},
        {dir / "dirlink", PathState::Link},                 {dir / "dirlink" / "secret.txt", PathState::Link},
        {dir / "filelink", PathState::Link},                {dir / "fifo", PathState::Other},
        {dir / "new" / "deeper", PathState::Missing},       {dir / "sub" / "file.txt" / "x", PathState::Unreachable},
        {"/dev/null", PathState::Other},                    {"/", PathState::Directory},
    };
    for (const Case& c : cases) {
        SystemError error;
        EXPECT_EQ(probePath(c.path.string(), error), c.state) << c.path;
    }
}

TEST_F(NoFollowFilesTest, OnlyRegularFilesReachedWithoutLinksOpen) {
    SystemError error;
    const auto file = openRegularFileForReading((dir / "sub" / "file.txt").string(), error);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->size, 6u);
    char buffer[16];
    EXPECT_EQ(readSome(file->fd, buffer, sizeof buffer, error), 6);

    const std::pair<fs::path, int> refused[] = {
        {dir / "dirlink" / "secret.txt", ELOOP}, {dir / "filelink", ELOOP}, {dir / "fifo", EINVAL},
        {"/dev/zero", EINVAL}, {dir / "sub", EINVAL}, {"relative/file", EINVAL}, {dir / "sub" / ".." / "sub" / "file.txt", EINVAL},
    };
    for (const auto& [path, code] : refused) {
        error = {};
        EXPECT_FALSE(openRegularFileForReading(path.string(), error)) << path;
        EXPECT_EQ(error.code, code) << path;
    }
}

TEST_F(NoFollowFilesTest, ListingKeepsDirectoriesAndRegularFilesOnly) {
    write(dir / ".hidden", "h");
    SystemError error;
    const auto entries = listDirectory(dir.string(), error);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 1u);  // links, the FIFO and hidden entries are left out
    EXPECT_EQ((*entries)[0].name, "sub");
    EXPECT_TRUE((*entries)[0].isDirectory);
    EXPECT_FALSE(listDirectory((dir / "dirlink").string(), error));
    EXPECT_EQ(error.code, ELOOP);
}

TEST_F(NoFollowFilesTest, WritingReplacesTheTargetWholeAndNeverThroughALink) {
    const fs::path target = dir / "sub" / "file.txt";
    SystemError error;
    ASSERT_TRUE(writeFileReplacing(target.string(), "replaced", 8, error));
    EXPECT_EQ(read(target), "replaced");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "sub"), {}), 1) << "no temporary file is left";

    EXPECT_FALSE(writeFileReplacing((dir / "dirlink" / "new.txt").string(), "x", 1, error));
    EXPECT_EQ(error.code, ELOOP);
    EXPECT_FALSE(fs::exists(outside / "new.txt"));
    // A link or a FIFO at the target name is left as it is, and so is what the link points to.
    EXPECT_FALSE(writeFileReplacing((dir / "filelink").string(), "mine", 4, error));
    EXPECT_EQ(error.code, ELOOP);
    EXPECT_TRUE(fs::is_symlink(dir / "filelink"));
    EXPECT_EQ(read(outside / "secret.txt"), "secret");
    EXPECT_FALSE(writeFileReplacing((dir / "fifo").string(), "mine", 4, error));
    EXPECT_EQ(error.code, EINVAL);
    EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
    // A directory at the target name stays, and no temporary file is left beside it.
    EXPECT_FALSE(writeFileReplacing((dir / "sub").string(), "x", 1, error));
    EXPECT_TRUE(fs::is_directory(dir / "sub"));
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos) << entry.path();
}

// Run with the right to (as root), the replacement keeps the old file's owner and group too; the
// set-user and set-group bits go, as a write to the old file would have cleared them.
TEST_F(NoFollowFilesTest, AReplacedFileKeepsItsModeOwnerAndGroup) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to hand files to other accounts";
    const struct {
        mode_t mode, modeAfter;
        uid_t owner;
        gid_t group;
    } cases[] = {{0600, 0600, 65534, 65534}, {0755, 0755, 1, 1}, {0640, 0640, 0, 65534}, {04755, 0755, 65534, 0}};
    const fs::path target = dir / "sub" / "file.txt";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        ASSERT_EQ(::chown(target.c_str(), c.owner, c.group), 0);
        ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
        SystemError error;
        ASSERT_TRUE(writeFileReplacing(target.string(), "replaced", 8, error)) << error.text();
        struct stat info {};
        ASSERT_EQ(::stat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.modeAfter);
        EXPECT_EQ(info.st_uid, c.owner);
        EXPECT_EQ(info.st_gid, c.group);
    }
}

TEST_F(NoFollowFilesTest, MakingDirectoriesCreatesParentsButStopsAtALink) {
    SystemError error;
    EXPECT_TRUE(makeDirectories((dir / "a" / "b" / "c").string(), error));
    EXPECT_TRUE(fs::is_directory(dir / "a" / "b" / "c"));
    EXPECT_TRUE(makeDirectories((dir / "a" / "b").string(), error)) << "an existing directory is fine";
    EXPECT_FALSE(makeDirectories((dir / "dirlink" / "made").string(), error));
    EXPECT_EQ(error.code, ELOOP);
    EXPECT_FALSE(fs::exists(outside / "made"));
}

}  // namespace
}  // namespace veltrix::platform::files
