#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "core/ImpersonationScope.h"
#include "platform/InstancePaths.h"
#include "platform/TerminalSessions.h"
#include "shared/Logging.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {
namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;  // the console session's user
constexpr uid_t kDaemon = 1;      // the user of the agent's (non-console) session

bool canOpen(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

class ImpersonationScopeTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    test::LogCapture logs;
    fs::path rootOnly, nobodyFile, daemonFile;

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root";
        if (!getpwuid(kNobody) || !getpwuid(kDaemon)) GTEST_SKIP() << "needs the users nobody and daemon";
        // The users must be able to reach the files.
        fs::permissions(root.path(), fs::perms(0755));
        rootOnly = makeFile("root-only", 0);
        nobodyFile = makeFile("nobody", kNobody);
        daemonFile = makeFile("daemon", kDaemon);
        writeSessions(R"([{"id": 1, "user": "nobody", "uid": 65534, "state": "active", "console": true},
                          {"id": 2, "user": "daemon", "uid": 1, "state": "active"}])");
        ASSERT_TRUE(canOpen(rootOnly) && canOpen(nobodyFile) && canOpen(daemonFile));
    }

    void TearDown() override { clearAgentSessionId(); }

    fs::path makeFile(const char* name, uid_t owner) {
        const fs::path file = root.path() / name;
        std::ofstream(file) << name;
        fs::permissions(file, fs::perms(0600));
        EXPECT_EQ(::chown(file.c_str(), owner, static_cast<gid_t>(-1)), 0);
        return file;
    }

    static void writeSessions(const std::string& list) {
        platform::paths::ensureDirectory(platform::paths::runDir());
        std::ofstream(platform::sessions::sessionsFilePath()) << R"({"sessions": )" << list << "}";
    }
};

TEST_F(ImpersonationScopeTest, TheScopeActsAsTheConsoleUserOnItsOwnThreadOnly) {
    std::promise<void> impersonated, checkedElsewhere;
    struct {
        bool active = false, rootFile = true, ownFile = false, rootFileAfter = false;
    } seen;
    std::thread worker([&] {
        {
            ImpersonationScope scope;
            seen.active = scope.isImpersonating();
            seen.rootFile = canOpen(rootOnly);
            seen.ownFile = canOpen(nobodyFile);
            impersonated.set_value();
            checkedElsewhere.get_future().wait();
        }
        seen.rootFileAfter = canOpen(rootOnly);
    });
    impersonated.get_future().wait();
    // While the worker impersonates, this thread is still the service.
    EXPECT_TRUE(canOpen(rootOnly));
    EXPECT_TRUE(canOpen(daemonFile));
    checkedElsewhere.set_value();
    worker.join();

    EXPECT_TRUE(seen.active);
    EXPECT_FALSE(seen.rootFile) << "a root-only file must not open as the user";
    EXPECT_TRUE(seen.ownFile);
    EXPECT_TRUE(seen.rootFileAfter) << "the scope's end gives the service its rights back";
}

TEST_F(ImpersonationScopeTest, TheAgentsSessionUserWinsOverTheConsoleUser) {
    setAgentSessionId(2);
    EXPECT_EQ(agentSessionId(), 2u);
    std::thread([&] {
        ImpersonationScope scope;
        EXPECT_TRUE(scope.isImpersonating());
        EXPECT_TRUE(canOpen(daemonFile));
        EXPECT_FALSE(canOpen(nobodyFile));
        EXPECT_FALSE(canOpen(rootOnly));
    }).join();
    clearAgentSessionId();
    std::thread([&] {
        ImpersonationScope scope;
        EXPECT_TRUE(canOpen(nobodyFile));
        EXPECT_FALSE(canOpen(daemonFile));
    }).join();
}

TEST_F(ImpersonationScopeTest, ClosingEarlyRunsTheRestAsTheService) {
    std::thread([&] {
        ImpersonationScope scope;
        ASSERT_TRUE(scope.isImpersonating());
        const int fd = ::open(nobodyFile.c_str(), O_RDONLY | O_CLOEXEC);
        scope.close();
        EXPECT_FALSE(scope.isImpersonating());
        EXPECT_GE(fd, 0);
        if (fd >= 0) ::close(fd);
        EXPECT_TRUE(canOpen(rootOnly));
    }).join();
}

TEST_F(ImpersonationScopeTest, WithoutAnInteractiveUserTheScopeFails) {
    const struct {
        const char* sessions;
        std::uint32_t agent;
        const char* log;
    } cases[] = {
        {R"([])", 0, "Impersonation: no active console session"},
        {R"([{"id": 1, "user": "nobody", "uid": 65534, "state": "disconnected", "console": true}])", 0,
         "Impersonation: no active console session"},
        {R"([])", 9, "Impersonation: WTSQueryUserToken(session 9) failed (err 2)"},
        {R"([{"id": 3, "user": "ghost", "uid": 3999999, "state": "active", "console": true}])", 0,
         "Impersonation: WTSQueryUserToken(session 3) failed (err "},
    };
    for (const auto& c : cases) {
        writeSessions(c.sessions);
        setAgentSessionId(c.agent);
        logs.clear();
        std::thread([&] {
            ImpersonationScope scope;
            EXPECT_FALSE(scope.isImpersonating()) << c.sessions;
            EXPECT_TRUE(canOpen(rootOnly));
        }).join();
        EXPECT_TRUE(logs.contains(c.log)) << c.log;
        EXPECT_EQ(interactiveUserSid(), "") << c.sessions;
    }
}

// A scope that did not impersonate leaves the thread's identity as it found it.
TEST_F(ImpersonationScopeTest, AFailedScopeDoesNotRevert) {
    std::thread([&] {
        ImpersonationScope outer;
        ASSERT_TRUE(outer.isImpersonating());
        setAgentSessionId(9);  // no such session
        {
            ImpersonationScope inner;
            EXPECT_FALSE(inner.isImpersonating());
        }
        EXPECT_FALSE(canOpen(rootOnly)) << "the failed scope reverted the outer one";
        EXPECT_TRUE(canOpen(nobodyFile));
    }).join();
}

// A helper that opens its own scope inside a caller's must not hand the caller the service's
// rights when it returns.
TEST_F(ImpersonationScopeTest, ANestedScopeGivesBackTheOuterScopesUser) {
    setAgentSessionId(2);
    std::thread([&] {
        ImpersonationScope outer;
        ASSERT_TRUE(outer.isImpersonating());
        clearAgentSessionId();
        {
            ImpersonationScope inner;
            ASSERT_TRUE(inner.isImpersonating());
            EXPECT_TRUE(canOpen(nobodyFile));
            EXPECT_FALSE(canOpen(daemonFile));
        }
        EXPECT_FALSE(canOpen(rootOnly)) << "the inner scope's end made the thread the service again";
        EXPECT_FALSE(canOpen(nobodyFile));
        EXPECT_TRUE(canOpen(daemonFile));
        outer.close();
        EXPECT_TRUE(canOpen(rootOnly));
    }).join();
}

TEST_F(ImpersonationScopeTest, TheInteractiveUserSidIsTheDecimalUid) {
    EXPECT_EQ(interactiveUserSid(), "65534");
    setAgentSessionId(2);
    EXPECT_EQ(interactiveUserSid(), "1");
}

// Drops CAP_SETGID from the calling thread's effective set: giving the thread back its groups
// then fails.
void dropSetgidCapability() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    ::syscall(SYS_capget, &header, data);
    data[0].effective &= ~(1u << CAP_SETGID);
    ::syscall(SYS_capset, &header, data);
}

TEST_F(ImpersonationScopeTest, AFailedRevertEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            logging::initializeConsole();
            ImpersonationScope scope;
            if (!scope.isImpersonating()) std::exit(0);
            // The dying process cannot clean its instance folder up afterwards, so a helper thread
            // does it now (a new thread starts with its creator's file-system identity, so it
            // takes the service's back first).
            std::thread([&] {
                ::syscall(SYS_setfsuid, 0);
                std::error_code ec;
                fs::remove_all(root.path(), ec);
            }).join();
            dropSetgidCapability();
        },
        "Impersonation: RevertToSelf failed \\(err 1\\)");
}

}  // namespace
}  // namespace veltrix
