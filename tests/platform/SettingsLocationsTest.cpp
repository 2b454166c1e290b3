#include <gtest/gtest.h>

#include <QSettings>

#include <sys/stat.h>

#include "platform/InstancePaths.h"
#include "platform/SettingsLocations.h"
#include "support/TempInstanceRoot.h"

namespace veltrix::platform {
namespace {

mode_t modeOf(const std::filesystem::path& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(SettingsLocations, StoresLieInTheirScopesFolderUnderTheRoot) {
    test::TempInstanceRoot root;
    EXPECT_EQ(settings::storePath(settings::Scope::Machine, "Veltrix", "VeltrixService"),
              paths::machineConfigDir() / "Veltrix" / "VeltrixService.ini");
    EXPECT_EQ(settings::storePath(settings::Scope::User, "Veltrix", "VeltrixClient"),
              paths::userConfigDir() / "Veltrix" / "VeltrixClient.ini");
    EXPECT_NE(paths::machineConfigDir(), paths::userConfigDir());
}

// The machine store is readable by every account and writable by its creator only, also after
// QSettings has rewritten it; the user store is private.
TEST(SettingsLocations, StoreFilesGetTheirScopesMode) {
    test::TempInstanceRoot root;
    const mode_t previousMask = umask(0);
    for (const auto& [scope, fileMode, dirMode] :
         {std::tuple{settings::Scope::Machine, 0644u, 0755u}, std::tuple{settings::Scope::User, 0600u, 0700u}}) {
        auto store = settings::openStore(scope, "Veltrix", "Test");
        store->setValue("group/key", 42);
        store->sync();
        EXPECT_EQ(store->status(), QSettings::NoError);
        const auto file = settings::storePath(scope, "Veltrix", "Test");
        EXPECT_EQ(modeOf(file), fileMode);
        EXPECT_EQ(modeOf(file.parent_path()), dirMode);
        EXPECT_EQ(settings::openStore(scope, "Veltrix", "Test")->value("group/key").toInt(), 42);
    }
    umask(previousMask);
}

// The folder that holds every account's settings folder stays reachable: the first account to
// open its store (often the service) must not lock the others out of theirs.
TEST(SettingsLocations, AUserStoreKeepsTheFolderOfAllUsersOpen) {
    test::TempInstanceRoot root;
    const mode_t previousMask = umask(0);
    settings::openStore(settings::Scope::User, "Veltrix", "VeltrixClient");
    EXPECT_EQ(modeOf(paths::userConfigDir().parent_path()), 0755u);
    EXPECT_EQ(modeOf(paths::userConfigDir()), 0700u);
    umask(previousMask);
}

}  // namespace
}  // namespace veltrix::platform
