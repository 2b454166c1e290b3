// The log-in autostart entry as the settings dialog reads it: it counts only when it starts this
// very program with "--minimized".
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/LogonTask.h"
#include "support/TempInstanceRoot.h"

namespace veltrix::platform {
namespace {

TEST(LogonTaskTest, TheEntryCountsOnlyWhenItStartsTheGivenProgram) {
    test::TempInstanceRoot root;
    const std::filesystem::path program = "/opt/Veltrix Client/bin/\"odd\" $name%1";
    EXPECT_FALSE(logon::taskStartsProgram(program));

    SystemError error;
    ASSERT_TRUE(logon::createTask(program, error)) << error.text();
    EXPECT_TRUE(logon::taskStartsProgram(program));
    EXPECT_FALSE(logon::taskStartsProgram("/opt/Veltrix Client/bin/other"));

    // An entry edited by hand to start the program without "--minimized" is not the task.
    std::ofstream(logon::entryPath()) << "[Desktop Entry]\nType=Application\nExec=/usr/bin/true\n";
    EXPECT_TRUE(logon::taskExists());
    EXPECT_FALSE(logon::taskStartsProgram("/usr/bin/true"));

    // A folder in the entry's place reads as no task rather than blocking or failing.
    ASSERT_TRUE(logon::deleteTask(error)) << error.text();
    std::filesystem::create_directories(logon::entryPath());
    EXPECT_FALSE(logon::taskStartsProgram(program));
}

}  // namespace
}  // namespace veltrix::platform
