#include "platform/Impersonation.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <grp.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <spdlog/spdlog.h>

#include "platform/TerminalSessions.h"

namespace veltrix::platform::impersonation {
namespace {

// A thread's file-system identity.
struct Identity {
    uid_t fsuid = 0;
    gid_t fsgid = 0;
    std::vector<gid_t> groups;
};

// The identities each impersonation of this thread replaced, latest last. A revert gives back the
// latest, so a scope opened inside another returns the thread to the outer scope's user, not to
// the service.
thread_local std::vector<Identity> replaced;

// The raw system calls change the calling thread only. glibc's setgroups (like its setuid
// family) applies the change to every thread of the process, which would hand the user's groups
// to the whole service.
uid_t threadFsuid() { return static_cast<uid_t>(::syscall(SYS_setfsuid, static_cast<uid_t>(-1))); }
gid_t threadFsgid() { return static_cast<gid_t>(::syscall(SYS_setfsgid, static_cast<gid_t>(-1))); }

// setfsuid and setfsgid report no error; the change is checked by reading the value back.
bool setThreadFsuid(uid_t uid) {
    ::syscall(SYS_setfsuid, uid);
    if (threadFsuid() == uid) return true;
    errno = EPERM;
    return false;
}

bool setThreadFsgid(gid_t gid) {
    ::syscall(SYS_setfsgid, gid);
    if (threadFsgid() == gid) return true;
    errno = EPERM;
    return false;
}

bool setThreadGroups(const std::vector<gid_t>& groups) {
    return ::syscall(SYS_setgroups, groups.size(), groups.data()) == 0;
}

std::optional<std::vector<gid_t>> threadGroups() {
    const int count = ::getgroups(0, nullptr);
    if (count < 0) return std::nullopt;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int read = ::getgroups(count, groups.data());
    if (read < 0) return std::nullopt;
    groups.resize(static_cast<std::size_t>(read));
    return groups;
}

std::optional<Identity> currentIdentity() {
    auto groups = threadGroups();
    if (!groups) return std::nullopt;
    return Identity{threadFsuid(), threadFsgid(), std::move(*groups)};
}

bool sameGroups(std::vector<gid_t> a, std::vector<gid_t> b) {
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return a == b;
}

// Sets only what differs from `identity`: a service that does not run as root may not call
// setgroups at all (it needs CAP_SETGID even for an unchanged list), and going back to what the
// thread already has must not fail for that.
bool restore(const Identity& identity) {
    // The user id first: going back to the service's own id also gives the thread back its
    // file-system capabilities.
    if (threadFsuid() != identity.fsuid && !setThreadFsuid(identity.fsuid)) return false;
    if (threadFsgid() != identity.fsgid && !setThreadFsgid(identity.fsgid)) return false;
    const auto groups = threadGroups();
    return groups && (sameGroups(*groups, identity.groups) || setThreadGroups(identity.groups));
}

}  // namespace

std::optional<UserToken> queryUserToken(std::uint32_t sessionId, SystemError& error) {
    const auto session = sessions::find(sessionId);
    // The log-on screen's session has nobody logged on, hence no user to act as.
    if (!session || session->userName.empty()) {
        error.code = ENOENT;
        return std::nullopt;
    }
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    const int rc = ::getpwuid_r(session->uid, &entry, buffer.data(), buffer.size(), &found);
    if (rc != 0 || !found) {
        error.code = rc != 0 ? rc : ESRCH;
        return std::nullopt;
    }
    UserToken token{found->pw_uid, found->pw_gid, {}, found->pw_name};
    int count = 32;
    for (int attempt = 0; attempt < 4; ++attempt) {
        token.groups.resize(static_cast<std::size_t>(count));
        if (::getgrouplist(found->pw_name, found->pw_gid, token.groups.data(), &count) >= 0) {
            token.groups.resize(static_cast<std::size_t>(count));
            return token;
        }
    }
    // The user's group database would not settle; the primary group is enough to act as the user.
    token.groups.assign(1, found->pw_gid);
    return token;
}

std::string userIdText(const UserToken& token) { return std::to_string(token.uid); }

bool impersonateLoggedOnUser(const UserToken& token, SystemError& error) {
    auto original = currentIdentity();
    if (!original) {
        error = SystemError::last();
        return false;
    }
    // A thread that already acts as the token's user (a service that runs as that user, or a scope
    // inside one for the same user) has the user's rights: nothing to switch, nothing to revert.
    if (original->fsuid == token.uid) {
        replaced.push_back(std::move(*original));
        return true;
    }
    // Groups and group id before the user id: once the user id is the user's, the thread has
    // lost the right to change the others. Without the right to switch (a service that does not
    // run as root), the first step fails and nothing has changed.
    if ((sameGroups(original->groups, token.groups) || setThreadGroups(token.groups)) &&
        (original->fsgid == token.gid || setThreadFsgid(token.gid)) && setThreadFsuid(token.uid)) {
        replaced.push_back(std::move(*original));
        return true;
    }
    error = SystemError::last();
    if (!restore(*original)) {
        // Half an identity is worse than either: the thread must not go on.
        spdlog::critical("Impersonation: cannot restore the thread's identity (error {}) — aborting",
                         SystemError::last().code);
        spdlog::default_logger()->flush();
        std::abort();
    }
    return false;
}

bool revertToSelf(SystemError& error) {
    if (replaced.empty()) return true;
    if (!restore(replaced.back())) {
        error = SystemError::last();
        return false;
    }
    replaced.pop_back();
    return true;
}

bool isImpersonating() { return !replaced.empty(); }

}  // namespace veltrix::platform::impersonation
