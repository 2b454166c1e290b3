// A log file is the process's own: no program it starts may inherit it and write lines into it,
// neither the file opened at start nor the one each rotation opens.
#include <gtest/gtest.h>

#include <spdlog/spdlog.h>

#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "shared/Logging.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {

namespace fs = std::filesystem;

// The descriptor flags of every descriptor this process holds on `path`.
std::vector<int> descriptorFlagsOn(const fs::path& path) {
    std::vector<int> flags;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", ec)) {
        if (fs::read_symlink(entry.path(), ec) != path) continue;
        flags.push_back(fcntl(std::stoi(entry.path().filename().string()), F_GETFD));
    }
    return flags;
}

TEST(LogFileInheritance, TheLogIsCloseOnExecAtStartAndAfterEveryRotation) {
    test::TempInstanceRoot root;
    const fs::path rotating = root.path() / "rotating.log";
    ASSERT_TRUE(logging::initialize(logging::RotatingFile{rotating, 400, 2}));
    for (int line = 0; line < 40; ++line) {
        spdlog::info("line {} of a log that rotates every few lines", line);
        const auto flags = descriptorFlagsOn(rotating);
        ASSERT_EQ(flags.size(), 1u) << "line " << line;
        EXPECT_TRUE(flags[0] & FD_CLOEXEC) << "line " << line;
    }
    EXPECT_TRUE(fs::exists(root.path() / "rotating.1.log"));

    const fs::path truncated = root.path() / "truncated.log";
    ASSERT_TRUE(logging::initialize(logging::TruncatedFile{truncated}));
    const auto flags = descriptorFlagsOn(truncated);
    ASSERT_EQ(flags.size(), 1u);
    EXPECT_TRUE(flags[0] & FD_CLOEXEC);
    logging::initializeConsole();
}

}  // namespace
}  // namespace veltrix
