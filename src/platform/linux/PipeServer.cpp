#include "platform/PipeServer.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include "platform/InstancePaths.h"
#include "platform/linux/PosixAcl.h"
#include "platform/linux/UnixSocketAddress.h"

namespace veltrix::platform {

PipeServer::PipeServer(std::string pipeName) : pipeName_(std::move(pipeName)) {}

PipeServer::~PipeServer() { close(); }

std::filesystem::path PipeServer::socketPath() const { return paths::pipePath(pipeName_); }

bool PipeServer::takeName(SystemError& error) {
    if (nameLockFd_ >= 0) return true;
    const auto path = socketPath();
    if (!paths::ensureDirectory(path.parent_path())) {
        error = SystemError::last();
        return false;
    }
    const std::string lockPath = path.string() + ".lock";
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = SystemError::last();
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = SystemError::last();
        ::close(fd);
        return false;
    }
    nameLockFd_ = fd;
    return true;
}

void PipeServer::closeListener() {
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
}

bool PipeServer::createInstance(SystemError& error) {
    closeListener();
    client_.close();
    if (!takeName(error)) return false;

    const auto path = socketPath();
    sockaddr_un address;
    socklen_t length = 0;
    if (!detail::unixSocketAddress(path, address, length)) {
        error = SystemError::last();
        return false;
    }
    // The name is ours (we hold its lock): whatever lies at the path is a previous instance.
    ::unlink(path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = SystemError::last();
        return false;
    }
    // Nobody can connect before listen(), so the access is set in between.
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        error = SystemError::last();
        ::close(fd);
        return false;
    }
    listenFd_ = fd;
    applyAccess();
    if (listen(fd, 4) != 0) {
        error = SystemError::last();
        closeListener();
        ::unlink(path.c_str());
        return false;
    }
    return true;
}

void PipeServer::admitUsers(std::vector<uid_t> users) {
    if (users == admittedUsers_) return;
    admittedUsers_ = std::move(users);
    if (listenFd_ >= 0) applyAccess();
}

void PipeServer::applyAccess() const {
    const auto path = socketPath();
    SystemError error;
    if (detail::setUserAccessList(path, admittedUsers_, 6, error)) return;
    if (error.code != EOPNOTSUPP && error.code != ENOTSUP) {
        // Fail closed: only the server's own user can connect until the next attempt.
        spdlog::error("PipeServer: setxattr(system.posix_acl_access) failed (error {})", error.text());
        chmod(path.c_str(), 0600);
        return;
    }
    spdlog::warn("PipeServer: the file system keeps no access lists; the pipe is open to every local user "
                 "and only the check at accept admits");
    chmod(path.c_str(), 0666);
}

PipeConnectStatus PipeServer::connectClient(SystemError& error) {
    if (client_.isOpen()) return PipeConnectStatus::Connected;
    if (listenFd_ < 0) {
        error = SystemError{EBADF};
        return PipeConnectStatus::Failed;
    }
    for (;;) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            client_ = PipeConnection(fd);
            // One instance: while this client holds it, nobody else gets in. Clients that
            // queued up meanwhile are reset when the listener closes.
            closeListener();
            return PipeConnectStatus::Connected;
        }
        error = SystemError::last();
        if (error.code == EINTR || error.code == ECONNABORTED) continue;
        if (error.code == EAGAIN || error.code == EWOULDBLOCK) return PipeConnectStatus::Pending;
        return PipeConnectStatus::Failed;
    }
}

void PipeServer::disconnectClient() { client_.close(); }

void PipeServer::close() {
    const bool hadInstance = hasInstance() || nameLockFd_ >= 0;
    closeListener();
    client_.close();
    if (nameLockFd_ >= 0) {
        if (hadInstance) ::unlink(socketPath().c_str());
        ::close(nameLockFd_);
        nameLockFd_ = -1;
    }
}

}  // namespace veltrix::platform
