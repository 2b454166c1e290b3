#pragma once

#include <optional>
#include <sys/types.h>

#include "platform/SystemError.h"

namespace veltrix::platform::detail {

// The inode of the socket at the other end of the connected Unix stream socket `fd`, as the kernel
// reports it through its socket-diagnostics interface.
std::optional<ino_t> unixPeerInode(int fd, SystemError& error);

// How process `pid` holds the socket with inode `inode` in its own descriptor table.
enum class SocketHold {
    NotHeld,             // no descriptor of the process refers to it
    HeldAcrossExec,      // held, but close-on-exec is clear on every descriptor that refers to it
    HeldCloseOnExec,     // held by a descriptor with close-on-exec set
};
SocketHold socketHeldBy(pid_t pid, ino_t inode, SystemError& error);

}  // namespace veltrix::platform::detail
