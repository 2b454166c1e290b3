#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/ProcessInfo.h"
#include "platform/ServiceUnits.h"
#include "service/CrashFilter.h"
#include "service/ServiceIdentity.h"
#include "service/ServiceInstaller.h"
#include "service/ServiceLogging.h"
#include "service/ServiceStatusReporter.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

void touch(const fs::path& path, std::chrono::system_clock::time_point written) {
    std::ofstream(path) << "x";
    fs::last_write_time(path, std::chrono::file_clock::from_sys(written));
}

TEST(CleanupOldLogsTest, DeletesOldLogFilesOnly) {
    test::TempInstanceRoot root;
    test::LogCapture logs;
    const fs::path folder = root.path() / "logs";
    fs::create_directories(folder / "x.log");
    const auto now = std::chrono::system_clock::now();
    const auto old = now - 181 * 24h;
    const auto young = now - 179 * 24h;
    touch(folder / "service.log.1", old);
    touch(folder / "old.log.txt", old);
    touch(folder / "service.log", young);
    touch(folder / "notes.txt", old);  // does not match "*.log*"
    fs::last_write_time(folder / "x.log", std::chrono::file_clock::from_sys(old));

    EXPECT_EQ(service::cleanupOldLogs(folder, now), 2);
    EXPECT_FALSE(fs::exists(folder / "service.log.1"));
    EXPECT_FALSE(fs::exists(folder / "old.log.txt"));
    EXPECT_TRUE(fs::exists(folder / "service.log"));
    EXPECT_TRUE(fs::exists(folder / "notes.txt"));
    EXPECT_TRUE(fs::is_directory(folder / "x.log"));
    EXPECT_TRUE(logs.contains("Cleaned up 2 log file(s) older than 180 days"));
}

TEST(CleanupOldLogsTest, NothingToDeleteLogsNothingAndAMissingFolderIsFine) {
    test::TempInstanceRoot root;
    test::LogCapture logs;
    touch(root.path() / "service.log", std::chrono::system_clock::now());
    EXPECT_EQ(service::cleanupOldLogs(root.path()), 0);
    EXPECT_EQ(service::cleanupOldLogs(root.path() / "missing"), 0);
    EXPECT_FALSE(logs.contains("Cleaned up"));
}

TEST(ServiceInstallerTest, InstallThenInstallAgainThenUninstallTwice) {
    test::TempInstanceRoot root;
    std::ostringstream out, err;
    ASSERT_TRUE(service::installService(out, err)) << err.str();
    EXPECT_EQ(out.str(), "Service 'VeltrixService' installed successfully.\n");
    EXPECT_EQ(err.str(), "");
    const fs::path unit = platform::service::unitFilePath(service::kServiceName);
    ASSERT_TRUE(fs::exists(unit));
    EXPECT_TRUE(fs::is_symlink(platform::service::unitFilePath("x").parent_path() / "multi-user.target.wants" /
                               "VeltrixService.service"));

    std::ostringstream out2, err2;
    EXPECT_TRUE(service::installService(out2, err2));
    EXPECT_EQ(out2.str(), "");
    EXPECT_EQ(err2.str(), "Service already exists.\n");

    std::ostringstream out3, err3;
    EXPECT_TRUE(service::uninstallService(out3, err3));
    EXPECT_EQ(out3.str(), "Service 'VeltrixService' uninstalled successfully.\n");
    EXPECT_FALSE(fs::exists(unit));

    std::ostringstream out4, err4;
    EXPECT_TRUE(service::uninstallService(out4, err4));
    EXPECT_EQ(err4.str(), "Service does not exist.\n");
}

TEST(ServiceInstallerTest, AnUnwritableUnitFolderFailsWithTheAdministratorHint) {
    if (geteuid() == 0) GTEST_SKIP() << "root may write anywhere";
    test::TempInstanceRoot root;
    fs::create_directories(root.path() / "units");
    fs::permissions(root.path() / "units", fs::perms::owner_read | fs::perms::owner_exec);
    std::ostringstream out, err;
    EXPECT_FALSE(service::installService(out, err));
    EXPECT_NE(err.str().find("OpenSCManager failed (error "), std::string::npos);
    EXPECT_NE(err.str().find("). Run as Administrator.\n"), std::string::npos);
}

TEST(ServiceUnitTextTest, TheProgramPathIsQuotedSoABlankCannotRunAnotherProgram) {
    test::TempInstanceRoot root;
    platform::service::ServiceDefinition definition;
    definition.name = "VeltrixService";
    definition.displayName = "Veltrix Remote Access Service";
    definition.description = "Description.";
    definition.programPath = "/opt/Veltrix Remote/bin \"x\"/Veltrix$Service%";
    definition.dependencies = {"Tcpip"};
    definition.failureResetPeriodSeconds = 86400;
    definition.failureActions = {{5000, true}, {30000, true}, {0, false}};
    const std::string text = platform::service::unitFileText(definition);

    EXPECT_NE(text.find("ExecStart=\"/opt/Veltrix Remote/bin \\\"x\\\"/Veltrix$$Service%%\"\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Description=Veltrix Remote Access Service\n"), std::string::npos);
    EXPECT_NE(text.find("After=network-online.target\n"), std::string::npos);
    // 5 s before the first restart, 30 s before the second, then none.
    EXPECT_NE(text.find("Restart=on-failure\nRestartSec=5000ms\nRestartSteps=1\nRestartMaxDelaySec=30000ms\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("StartLimitIntervalSec=86400\nStartLimitBurst=3\n"), std::string::npos);
    EXPECT_NE(text.find("Environment=\"VELTRIX_SERVICE_MANAGER=1\"\n"), std::string::npos);
    EXPECT_NE(text.find("Environment=\"VELTRIX_ROOT=" + root.path().string() + "\"\n"), std::string::npos);
    EXPECT_NE(text.find("Type=notify\n"), std::string::npos);
}

TEST(ServiceStatusReporterTest, CheckPointsCountPendingReportsOnly) {
    service::ServiceStatusReporter status;  // no handle: reports are recorded only
    status.reportStartPending(10000);
    EXPECT_EQ(status.current().checkPoint, 0u);
    EXPECT_EQ(status.current().waitHint, 10000u);
    EXPECT_EQ(status.current().controlsAccepted, 0u);
    status.reportCurrentAgain();  // a control while starting: a fresh check point, wait hint 0
    EXPECT_EQ(status.current().checkPoint, 1u);
    EXPECT_EQ(status.current().waitHint, 0u);
    status.reportRunning();
    EXPECT_EQ(status.current().controlsAccepted, 0x85u);
    EXPECT_EQ(status.current().checkPoint, 0u);
    status.reportStopPending();
    EXPECT_EQ(status.current().checkPoint, 2u);
    EXPECT_EQ(status.current().waitHint, 5000u);
    const auto reports = status.reportCount();
    status.reportCurrentAgain();  // nothing once stopping
    EXPECT_EQ(status.reportCount(), reports);
    status.reportStopped();
    status.reportCurrentAgain();
    EXPECT_EQ(status.reportCount(), reports + 1);
    EXPECT_EQ(status.current().currentState, platform::service::kStopped);
}

// The crash line reaches the log file before the signal's default action ends the process.
TEST(CrashFilterDeathTest, ACrashIsLoggedThenTheProcessEndsByItsSignal) {
    // Forked, so the child logs into this test's instance root.
    GTEST_FLAG_SET(death_test_style, "fast");
    test::TempInstanceRoot root;
    const fs::path log = service::logFolder() / "service.log";
    EXPECT_EXIT(
        {
            service::setupLogging();
            platform::crash::installCrashHandler(&service::crashFilter);
            volatile std::uintptr_t nowhere = 0x10;
            *reinterpret_cast<volatile int*>(nowhere) = 1;
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    std::ifstream file(log);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_NE(text.str().find("CRASH: exception 0x0000000B at address 0x"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("  Access violation writing address 0x0000000000000010"), std::string::npos);
}

}  // namespace
}  // namespace veltrix
