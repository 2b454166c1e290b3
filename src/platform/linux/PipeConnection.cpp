#include "platform/PipeConnection.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/InstancePaths.h"
#include "platform/linux/UnixSocketAddress.h"
#include "platform/linux/UnixSocketPeer.h"

namespace veltrix::platform {
namespace {

bool isBrokenPipe(int code) { return code == EPIPE || code == ECONNRESET || code == ENOTCONN; }

// Writes block (so a burst from another thread is not torn), but never longer than the time-out.
void configureWrites(int fd) {
    timeval timeout{PipeConnection::kWriteTimeoutMs / 1000, (PipeConnection::kWriteTimeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK)) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

}  // namespace

PipeConnection::PipeConnection() : writeMutex_(std::make_unique<std::mutex>()) {}

PipeConnection::PipeConnection(int fd) : fd_(fd), writeMutex_(std::make_unique<std::mutex>()) {
    if (fd_ >= 0) configureWrites(fd_);
}

PipeConnection::~PipeConnection() { close(); }

// The write mutex stays with its object: a thread blocked on it while the descriptor is replaced
// wakes up to the new descriptor (or none), never to a freed mutex.
PipeConnection::PipeConnection(PipeConnection&& other) noexcept
    : fd_(other.takeDescriptor()), writeMutex_(std::make_unique<std::mutex>()) {}

PipeConnection& PipeConnection::operator=(PipeConnection&& other) noexcept {
    if (this != &other) {
        const int fd = other.takeDescriptor();
        std::lock_guard lock(*writeMutex_);
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    return *this;
}

int PipeConnection::takeDescriptor() {
    std::lock_guard lock(*writeMutex_);
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void PipeConnection::close() {
    std::lock_guard lock(*writeMutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::optional<PeerCredentials> PipeConnection::peerCredentials(SystemError& error) const {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (fd_ < 0) {
        error = SystemError{EBADF};
        return std::nullopt;
    }
    if (getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        error = SystemError::last();
        return std::nullopt;
    }
    if (credentials.pid <= 0) {
        error = SystemError{ESRCH};
        return std::nullopt;
    }
    PeerCredentials peer{credentials.pid, credentials.uid, credentials.gid, {}};
    // The supplementary groups the kernel recorded with the credentials; ERANGE gives the count.
    socklen_t groupsLength = 0;
    if (getsockopt(fd_, SOL_SOCKET, SO_PEERGROUPS, nullptr, &groupsLength) != 0 && errno != ERANGE) {
        error = SystemError::last();
        return std::nullopt;
    }
    peer.groups.resize(groupsLength / sizeof(gid_t));
    if (!peer.groups.empty()) {
        if (getsockopt(fd_, SOL_SOCKET, SO_PEERGROUPS, peer.groups.data(), &groupsLength) != 0) {
            error = SystemError::last();
            return std::nullopt;
        }
        peer.groups.resize(groupsLength / sizeof(gid_t));
    }
    return peer;
}

PeerEndHold PipeConnection::peerEndHeldBy(pid_t pid, SystemError& error) const {
    if (fd_ < 0) {
        error = SystemError{EBADF};
        return PeerEndHold::NotHeld;
    }
    const auto peerInode = detail::unixPeerInode(fd_, error);
    if (!peerInode) return PeerEndHold::NotHeld;
    switch (detail::socketHeldBy(pid, *peerInode, error)) {
    case detail::SocketHold::HeldCloseOnExec:
        return PeerEndHold::HeldOwn;
    case detail::SocketHold::HeldAcrossExec:
        return PeerEndHold::HeldAcrossExec;
    case detail::SocketHold::NotHeld:
        break;
    }
    return PeerEndHold::NotHeld;
}

PipeResult PipeConnection::peek() const {
    if (fd_ < 0) return {PipeStatus::Failed, 0, SystemError{EBADF}};
    int available = 0;
    if (ioctl(fd_, FIONREAD, &available) != 0) {
        const SystemError error = SystemError::last();
        return {isBrokenPipe(error.code) ? PipeStatus::Closed : PipeStatus::Failed, 0, error};
    }
    if (available > 0) return {PipeStatus::Ok, static_cast<std::size_t>(available), {}};
    // Nothing queued: either nothing was sent yet or the other end has gone.
    char probe;
    const ssize_t n = recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return {PipeStatus::Ok, 1, {}};
    if (n == 0) return {PipeStatus::Closed, 0, SystemError{EPIPE}};
    const SystemError error = SystemError::last();
    if (error.code == EAGAIN || error.code == EWOULDBLOCK || error.code == EINTR) return {PipeStatus::Ok, 0, {}};
    return {isBrokenPipe(error.code) ? PipeStatus::Closed : PipeStatus::Failed, 0, error};
}

PipeResult PipeConnection::read(void* buffer, std::size_t max) {
    if (fd_ < 0) return {PipeStatus::Failed, 0, SystemError{EBADF}};
    if (max == 0) return {PipeStatus::Ok, 0, {}};
    for (;;) {
        const ssize_t n = recv(fd_, buffer, max, MSG_DONTWAIT);
        if (n > 0) return {PipeStatus::Ok, static_cast<std::size_t>(n), {}};
        if (n == 0) return {PipeStatus::Closed, 0, SystemError{EPIPE}};
        const SystemError error = SystemError::last();
        if (error.code == EINTR) continue;
        if (error.code == EAGAIN || error.code == EWOULDBLOCK) return {PipeStatus::Ok, 0, {}};
        return {isBrokenPipe(error.code) ? PipeStatus::Closed : PipeStatus::Failed, 0, error};
    }
}

PipeResult PipeConnection::write(std::string_view data) {
    std::lock_guard lock(*writeMutex_);
    if (fd_ < 0) return {PipeStatus::Failed, 0, SystemError{EBADF}};
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        const SystemError error = SystemError::last();
        if (n < 0 && error.code == EINTR) continue;
        if (n < 0 && (error.code == EAGAIN || error.code == EWOULDBLOCK)) return {PipeStatus::TimedOut, sent, error};
        if (n < 0 && isBrokenPipe(error.code)) return {PipeStatus::Closed, sent, error};
        return {PipeStatus::Failed, sent, n < 0 ? error : SystemError{EIO}};
    }
    return {PipeStatus::Ok, sent, {}};
}

PipeResult PipeConnection::writeSome(std::string_view data) {
    std::lock_guard lock(*writeMutex_);
    if (fd_ < 0) return {PipeStatus::Failed, 0, SystemError{EBADF}};
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        const SystemError error = SystemError::last();
        if (n < 0 && error.code == EINTR) continue;
        if (n < 0 && (error.code == EAGAIN || error.code == EWOULDBLOCK)) break;
        if (n < 0 && isBrokenPipe(error.code)) return {PipeStatus::Closed, sent, error};
        return {PipeStatus::Failed, sent, n < 0 ? error : SystemError{EIO}};
    }
    return {PipeStatus::Ok, sent, {}};
}

PipeConnection connectToPipe(std::string_view pipeName, SystemError& error) {
    sockaddr_un address;
    socklen_t length = 0;
    if (!detail::unixSocketAddress(paths::pipePath(pipeName), address, length)) {
        error = SystemError::last();
        return {};
    }
    // Non-blocking connect: a full backlog is "busy" at once instead of a wait.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = SystemError::last();
        return {};
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        error = SystemError::last();
        if (error.code == EAGAIN) error = SystemError{EBUSY};
        ::close(fd);
        return {};
    }
    return PipeConnection(fd);
}

}  // namespace veltrix::platform
