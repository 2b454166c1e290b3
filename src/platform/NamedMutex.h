#pragma once

#include <string_view>

#include "platform/SystemError.h"

// A machine-wide named mutex such as "Global\VeltrixClientMutex": held by one process for as long
// as it keeps the object, and testable by others without taking it.
//
// Linux stand-in: the lock file paths::mutexPath(name), mode 0666, with an open-file-description
// write lock on it. That kind of lock can be queried (F_OFD_GETLK) without being taken, so the
// test never disturbs a process that is acquiring it at the same moment; it is released when the
// holder closes the file or exits, however it ends.
namespace veltrix::platform {

class NamedMutex {
public:
    NamedMutex() = default;
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Takes the mutex for the life of this object. False when another process holds it
    // (error EWOULDBLOCK, the "already exists" case) or the lock file cannot be opened.
    bool acquire(std::string_view name, SystemError& error);
    void release();
    bool isHeld() const { return fd_ >= 0; }

    // Whether some process holds the mutex now (opening it would succeed); never takes it.
    static bool exists(std::string_view name);

private:
    int fd_ = -1;
};

}  // namespace veltrix::platform
