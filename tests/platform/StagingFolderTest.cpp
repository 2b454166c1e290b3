#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/InstancePaths.h"
#include "platform/StagingFolder.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"

namespace veltrix::platform {
namespace {

namespace fs = std::filesystem;
using std::chrono::hours;
using std::chrono::seconds;
using std::chrono::system_clock;

void writeFile(const fs::path& path, const std::string& text = "data") { std::ofstream(path) << text; }

// Sets the modification time of `path` itself (a link's own time, not its target's).
void setModified(const fs::path& path, system_clock::time_point when) {
    const auto since = when.time_since_epoch();
    const auto secs = std::chrono::duration_cast<seconds>(since);
    const timespec time{secs.count(), static_cast<long>((since - secs) / std::chrono::nanoseconds(1))};
    const timespec times[2] = {time, time};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

class StagingFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(paths::ensureDirectory(paste, 0777));
        fs::create_directories(outside / "folder");
        writeFile(outside / "secret.txt", "keep me");
        writeFile(outside / "folder" / "inside.txt", "keep me too");
    }

    // Every entry of the outside folder is still there.
    void expectOutsideUntouched() const {
        EXPECT_TRUE(fs::exists(outside / "secret.txt"));
        EXPECT_TRUE(fs::exists(outside / "folder" / "inside.txt"));
    }

    test::TempInstanceRoot root;
    const fs::path paste = paths::pasteStagingDir();
    const fs::path outside = root.path() / "outside";
    const system_clock::time_point now = system_clock::now();
    const system_clock::time_point old = now - hours(2);
};

TEST_F(StagingFolderTest, RemovesStaleSubfoldersWithTheirTreesAndKeepsTheRest) {
    fs::create_directories(paste / "stale" / "nested" / "deeper");
    writeFile(paste / "stale" / "a.txt");
    writeFile(paste / "stale" / "nested" / "deeper" / "b.txt");
    fs::create_directory(paste / "young");
    writeFile(paste / "young" / "c.txt");
    writeFile(paste / "loose.txt");
    setModified(paste / "stale", old);
    setModified(paste / "loose.txt", old);
    setModified(paste / "young", now - seconds(3500));

    const auto result = staging::purgeStaleSubfolders(paste, seconds(3600), now);

    EXPECT_EQ(result.removed, 1);
    EXPECT_EQ(result.failed, 0);
    EXPECT_FALSE(fs::exists(paste / "stale"));
    EXPECT_TRUE(fs::exists(paste / "young" / "c.txt"));
    EXPECT_TRUE(fs::exists(paste / "loose.txt"));
}

// Links planted by another account: at the top they are not sub-folders and stay; inside a stale
// sub-folder they are removed as links. Nothing they point at is touched.
TEST_F(StagingFolderTest, PlantedLinksAreNeverFollowed) {
    fs::create_directory_symlink(outside / "folder", paste / "top-link");
    fs::create_directories(paste / "stale" / "sub");
    fs::create_directory_symlink(outside / "folder", paste / "stale" / "folder-link");
    fs::create_symlink(outside / "secret.txt", paste / "stale" / "file-link");
    fs::create_directory_symlink(outside, paste / "stale" / "sub" / "root-link");
    fs::create_symlink(paste / "stale" / "missing", paste / "stale" / "dangling");
    setModified(paste / "top-link", old);
    setModified(paste / "stale", old);

    const auto result = staging::purgeStaleSubfolders(paste, seconds(3600), now);

    EXPECT_EQ(result.removed, 1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(paste / "stale")));
    EXPECT_TRUE(fs::is_symlink(paste / "top-link"));
    expectOutsideUntouched();
}

// The staging folder itself replaced by a link (its parent is writable for more than the
// service): the link's target is not purged.
TEST_F(StagingFolderTest, AStagingFolderThatIsALinkIsNotPurged) {
    fs::create_directory(outside / "stale-there");
    setModified(outside / "stale-there", old);
    fs::remove(paste);
    fs::create_directory_symlink(outside, paste);

    const auto result = staging::purgeStaleSubfolders(paste, seconds(3600), now);

    EXPECT_EQ(result.removed, 0);
    EXPECT_TRUE(fs::exists(outside / "stale-there"));
    expectOutsideUntouched();
}

TEST_F(StagingFolderTest, AMissingFolderIsNothingToPurge) {
    fs::remove(paste);
    const auto result = staging::purgeStaleSubfolders(paste, seconds(3600), now);
    EXPECT_EQ(result.removed + result.failed, 0);
}

// A chain of folders built to exhaust descriptors is cut at the depth limit and reported.
TEST_F(StagingFolderTest, ANestingBeyondTheLimitIsLeftAndReported) {
    test::LogCapture log;
    fs::path deep = paste / "stale";
    for (int i = 0; i < 80; ++i) deep /= "d";
    fs::create_directories(deep);
    setModified(paste / "stale", old);

    const auto result = staging::purgeStaleSubfolders(paste, seconds(3600), now);

    EXPECT_EQ(result.removed, 0);
    EXPECT_EQ(result.failed, 1);
    EXPECT_TRUE(log.contains("nested too deep, left in place"));
}

}  // namespace
}  // namespace veltrix::platform
