// The rotating log file when a rotation cannot be made: the lines go on into the open file and
// none is lost. Each case runs in a forked child, which installs the log as its default logger.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <spdlog/spdlog.h>

#include "platform/Impersonation.h"
#include "shared/Logging.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {
namespace fs = std::filesystem;

constexpr std::size_t kFileBytes = 1024;
constexpr std::size_t kFilesKept = 3;
constexpr int kLines = 50;  // about 3 KiB: a few rotations, none of them dropping an old file

class RotatingFileSinkTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    fs::path folder, log;

    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "fast");
        folder = root.path() / "logs";
        fs::create_directories(folder);
        fs::permissions(root.path(), fs::perms(0755));
        fs::permissions(folder, fs::perms(0755));  // the service's folder: others may not write in it
        log = folder / "service.log";
    }

    static constexpr const char* kOldFiles[] = {"service.1.log", "service.2.log", "service.3.log"};

    void startLog() const {
        if (!logging::initialize(logging::RotatingFile{log, kFileBytes, kFilesKept})) std::_Exit(2);
    }

    static bool actAsNobody() {
        platform::SystemError error;
        return platform::impersonation::impersonateLoggedOnUser({65534, 65534, {65534}, "nobody"}, error);
    }

    void removeBlockers() const {
        std::error_code ec;
        for (const char* name : kOldFiles) fs::remove_all(folder / name, ec);
    }

    // Lines "line <i>" for i in [from, to).
    static void logLines(int from, int to) {
        for (int i = from; i < to; ++i) spdlog::info("line {} of the rotating log", i);
    }

    // The numbers of the lines found in the files, oldest file first (service.3.log ... service.log).
    std::vector<int> linesFound() const {
        std::vector<int> found;
        for (std::size_t index = kFilesKept + 1; index-- > 0;) {
            std::ifstream file(index == 0 ? log : folder / ("service." + std::to_string(index) + ".log"));
            for (std::string line; std::getline(file, line);) {
                const auto at = line.find("line ");
                if (at != std::string::npos) found.push_back(std::stoi(line.substr(at + 5)));
            }
        }
        return found;
    }

    static std::vector<int> allLines() {
        std::vector<int> lines(kLines);
        for (int i = 0; i < kLines; ++i) lines[std::size_t(i)] = i;
        return lines;
    }

    // Every file of the log belongs to the service.
    void expectFilesOfTheService() const {
        for (const auto& entry : fs::directory_iterator(folder)) {
            struct stat info {};
            ASSERT_EQ(::lstat(entry.path().c_str(), &info), 0);
            if (S_ISREG(info.st_mode)) EXPECT_EQ(info.st_uid, geteuid()) << entry.path();
        }
    }
};

// A thread that acts as a user cannot rename or create anything in the service's log folder; the
// rotation waits until the thread is the service again.
TEST_F(RotatingFileSinkTest, ALineLoggedWhileImpersonatingNeitherRotatesNorIsLost) {
    EXPECT_EXIT(
        {
            startLog();
            logLines(0, 10);
            if (!actAsNobody()) std::_Exit(3);
            logLines(10, 40);
            platform::SystemError error;
            if (!platform::impersonation::revertToSelf(error)) std::_Exit(4);
            logLines(40, kLines);
            logging::flush();
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(linesFound(), allLines());
    EXPECT_TRUE(fs::exists(folder / "service.1.log"));
    expectFilesOfTheService();
}

// A rename that fails (folders with content in the way of the old files) keeps the current file
// and its lines; once the way is free, the next rotation goes through.
TEST_F(RotatingFileSinkTest, ARotationThatFailsKeepsTheOpenFileAndItsLines) {
    for (const char* name : kOldFiles) fs::create_directories(folder / name / "x");
    EXPECT_EXIT(
        {
            startLog();
            logLines(0, 30);
            removeBlockers();
            logLines(30, kLines);
            logging::flush();
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(linesFound(), allLines());
    EXPECT_TRUE(fs::is_regular_file(folder / "service.1.log"));
}

}  // namespace
}  // namespace veltrix
