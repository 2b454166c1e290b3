#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <future>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/Impersonation.h"
#include "platform/InstancePaths.h"
#include "platform/TerminalSessions.h"
#include "support/TempInstanceRoot.h"

namespace veltrix::platform {
namespace {

constexpr uid_t kNobody = 65534;

std::vector<gid_t> currentGroups() {
    std::vector<gid_t> groups(static_cast<std::size_t>(getgroups(0, nullptr)));
    groups.resize(static_cast<std::size_t>(getgroups(static_cast<int>(groups.size()), groups.data())));
    std::sort(groups.begin(), groups.end());
    return groups;
}

class ImpersonationTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    SystemError error;

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root";
        paths::ensureDirectory(paths::runDir());
        std::ofstream(sessions::sessionsFilePath())
            << R"({"sessions": [{"id": 1, "user": "nobody", "uid": 65534, "state": "active", "console": true},
                               {"id": 2, "user": "ghost", "uid": 3999999, "state": "active"},
                               {"id": 3, "user": "", "uid": 65534, "state": "connected"}]})";
    }
};

TEST_F(ImpersonationTest, TheTokenNamesTheSessionsUser) {
    const auto token = impersonation::queryUserToken(1, error);
    ASSERT_TRUE(token);
    EXPECT_EQ(token->uid, kNobody);
    EXPECT_EQ(token->userName, "nobody");
    EXPECT_NE(std::find(token->groups.begin(), token->groups.end(), token->gid), token->groups.end());
    EXPECT_EQ(impersonation::userIdText(*token), "65534");

    EXPECT_FALSE(impersonation::queryUserToken(7, error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_FALSE(impersonation::queryUserToken(2, error));
    EXPECT_EQ(error.code, ESRCH);
    // The log-on screen: nobody to act as.
    EXPECT_FALSE(impersonation::queryUserToken(3, error));
    EXPECT_EQ(error.code, ENOENT);
}

// The user's groups reach the impersonating thread only, and leave it on revert.
TEST_F(ImpersonationTest, GroupsChangeOnTheImpersonatingThreadOnly) {
    const auto token = impersonation::queryUserToken(1, error);
    ASSERT_TRUE(token);
    const auto processGroups = currentGroups();
    auto userGroups = token->groups;
    std::sort(userGroups.begin(), userGroups.end());
    ASSERT_NE(userGroups, processGroups);

    std::vector<gid_t> during, after, mainThreadDuring;
    bool impersonated = false, reverted = false, flagDuring = false;
    std::promise<void> impersonating, checkedHere;
    std::thread worker([&] {
        SystemError e;
        impersonated = impersonation::impersonateLoggedOnUser(*token, e);
        flagDuring = impersonation::isImpersonating();
        during = currentGroups();
        impersonating.set_value();
        checkedHere.get_future().wait();
        reverted = impersonation::revertToSelf(e);
        after = currentGroups();
    });
    // While the worker acts as the user, this thread keeps the process's groups: a process-wide
    // change of the group list would show here.
    impersonating.get_future().wait();
    mainThreadDuring = currentGroups();
    checkedHere.set_value();
    worker.join();
    EXPECT_EQ(mainThreadDuring, processGroups);
    EXPECT_TRUE(impersonated);
    EXPECT_TRUE(flagDuring);
    EXPECT_TRUE(reverted);
    EXPECT_EQ(during, userGroups);
    EXPECT_EQ(after, processGroups);
    EXPECT_EQ(currentGroups(), processGroups);
    EXPECT_FALSE(impersonation::isImpersonating());
    EXPECT_TRUE(impersonation::revertToSelf(error)) << "nothing to revert";
}

}  // namespace
}  // namespace veltrix::platform
