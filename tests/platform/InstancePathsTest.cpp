#include <gtest/gtest.h>

#include <fstream>

#include "platform/InstanceConfig.h"
#include "platform/InstancePaths.h"
#include "support/TempInstanceRoot.h"

namespace veltrix::platform {
namespace {

TEST(InstancePaths, EveryLocationLiesUnderTheRoot) {
    test::TempInstanceRoot root;
    const auto r = root.path().string();
    for (const auto& p : {paths::runDir(), paths::commonDataDir(), paths::machineConfigDir(), paths::userConfigDir(),
                          paths::userDataDir(), paths::pasteStagingDir(), paths::serviceUnitDir(),
                          paths::pipePath("\\\\.\\pipe\\VeltrixService"), paths::mutexPath("Global\\VeltrixClientMutex", 1000)}) {
        EXPECT_EQ(p.string().rfind(r, 0), 0u) << p;
    }
    EXPECT_EQ(paths::pipePath("\\\\.\\pipe\\VeltrixService").filename(), "VeltrixService");
    EXPECT_EQ(paths::mutexPath("Global\\VeltrixClientMutex", 1000),
              paths::runDir() / "users" / "1000" / "VeltrixClientMutex.lock");
    // A Unix socket path holds at most 107 bytes.
    EXPECT_LT(paths::pipePath("\\\\.\\pipe\\VeltrixService").string().size(), 108u);
}

TEST(InstancePaths, TwoRootsNeverShareASection) {
    std::string first, second;
    {
        test::TempInstanceRoot a;
        first = paths::sectionPath("Global\\VeltrixFrame").string();
        test::TempInstanceRoot b;
        second = paths::sectionPath("Global\\VeltrixFrame").string();
    }
    EXPECT_NE(first, second);
    EXPECT_EQ(first.rfind("/dev/shm/veltrix.", 0), 0u);
    EXPECT_EQ(paths::objectBaseName("Global\\VeltrixFrame"), "VeltrixFrame");
}

TEST(InstancePaths, WithoutARootTheSystemLocationsAreUsed) {
    const char* old = std::getenv(paths::kRootVariable);
    const std::string saved = old ? old : "";
    unsetenv(paths::kRootVariable);
    EXPECT_EQ(paths::instanceTag(), "sys");
    EXPECT_EQ(paths::runDir(), "/run/veltrix");
    EXPECT_EQ(paths::commonDataDir(), "/var/lib");
    EXPECT_EQ(paths::sectionPath("Global\\VeltrixCapture"), "/dev/shm/veltrix.sys.VeltrixCapture");
    if (old) setenv(paths::kRootVariable, saved.c_str(), 1);
}

TEST(InstanceConfig, ReadsTheInstanceFileOfTheRoot) {
    test::TempInstanceRoot root;
    EXPECT_FALSE(config::value("backend/api_url"));
    std::ofstream(root.path() / "instance.ini") << "[backend]\napi_url=https://127.0.0.1:8443\n";
    EXPECT_EQ(config::value("backend/api_url").value_or(""), "https://127.0.0.1:8443");
    EXPECT_FALSE(config::value("backend/other"));
}

TEST(InstancePaths, EnsureDirectoryCreatesParents) {
    test::TempInstanceRoot root;
    const auto dir = root.path() / "a" / "b" / "c";
    EXPECT_TRUE(paths::ensureDirectory(dir, 0700));
    EXPECT_TRUE(std::filesystem::is_directory(dir));
    EXPECT_TRUE(paths::ensureDirectory(dir));
}

}  // namespace
}  // namespace veltrix::platform
