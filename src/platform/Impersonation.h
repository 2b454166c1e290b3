#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/SystemError.h"

// Acting as a logged-on user for file-system access. A user token names the user of a terminal
// session; impersonating it switches the calling thread's file-system identity (user, group and
// supplementary groups) to the user's, so the kernel checks every file access of that thread
// against the user's rights. Other threads of the process keep their own identity; a thread
// created by an impersonating thread starts with the user's identity and cannot revert it.
namespace veltrix::platform::impersonation {

struct UserToken {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    std::string userName;
};

// The user logged on in a terminal session. Nothing, with `error` set, when the session does not
// exist (ENOENT) or its user is unknown to the system (ESRCH).
std::optional<UserToken> queryUserToken(std::uint32_t sessionId, SystemError& error);

// The text that names the token's user in access lists: the decimal uid.
std::string userIdText(const UserToken& token);

// Makes the calling thread act as the token's user; a thread that already has the user's
// file-system user id is left as it is. On failure (for one, a process that may not switch: not
// root) the thread keeps its identity.
bool impersonateLoggedOnUser(const UserToken& token, SystemError& error);

// Undoes the calling thread's latest impersonation: the thread gets back the identity it had
// before it (the process's own, or an outer impersonation's user); true when the thread is not
// impersonating. On failure the thread may still hold (part of) the user's identity.
bool revertToSelf(SystemError& error);

// True while the calling thread impersonates.
bool isImpersonating();

}  // namespace veltrix::platform::impersonation
