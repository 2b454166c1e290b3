#pragma once

#include <filesystem>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "platform/SystemError.h"

// A named mutex such as "Global\VeltrixClientMutex": held by one process for as long as it keeps
// the object, and testable by others without taking it. Each account has its own mutex of a name,
// so one account can neither take nor block another's.
//
// Linux stand-in: the lock file paths::mutexPath(name, uid) with an open-file-description write
// lock on it. That kind of lock can be queried (F_OFD_GETLK) without being taken, so the test
// never disturbs a process that is acquiring it at the same moment; it is released when the holder
// closes the file or exits, however it ends. The file lies in the account's own folder of the run
// folder (paths::userRunDir), which the service makes for each user with a terminal session and
// which only that account may write: no other account can create, replace or lock a file there.
namespace veltrix::platform {

class NamedMutex {
public:
    NamedMutex() = default;
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Takes the calling account's mutex for the life of this object. False with EWOULDBLOCK when
    // another process holds it (the "already exists" case); false with another error when the
    // lock file cannot be made or opened (for example when the account's folder does not exist
    // and the account may not make it: the service has not prepared it yet).
    bool acquire(std::string_view name, SystemError& error);
    void release();
    bool isHeld() const { return fd_ >= 0; }
    // The lock file of the last acquire, whether or not it worked.
    const std::filesystem::path& lockPath() const { return path_; }

    // Whether some process holds `user`'s mutex `name` now; never takes it. Only a regular file
    // owned by `user` counts.
    static bool isHeldBy(std::string_view name, uid_t user);
    // Whether some process holds the mutex of any of `users`.
    static bool isHeldByAnyOf(std::string_view name, const std::vector<uid_t>& users);

    // Makes the run folder's folder of `user`, owned by that user, so its mutexes can be taken
    // there (the service calls it for every user with a terminal session). Only a process that
    // runs as root can make it for another account; otherwise this does nothing and succeeds.
    static bool prepareUserFolder(uid_t user, SystemError& error);

private:
    int fd_ = -1;
    std::filesystem::path path_;
};

}  // namespace veltrix::platform
