#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "platform/PipeConnection.h"
#include "platform/SystemError.h"

// The server side of the local pipe: at most one instance, so at most one client at a time.
//
// Linux stand-in: a Unix-domain socket at paths::pipePath(name). Connecting needs write access to
// the socket file, which belongs to the server's user; an access list grants it to the admitted
// users only (`admitUsers`), everyone else is refused by the kernel. On a file system without
// access lists the socket falls back to mode 0666 and the caller's own check at accept is all that
// stands (it must make one in any case: the list can lag behind a log-off). An instance listens until one client connects;
// it then stops listening, so a second client is refused (ECONNREFUSED) exactly as a second
// client cannot open a pipe whose only instance is taken. After the client is dropped a new
// instance must be created to admit the next one. The pipe name is held for the life of the
// server through an exclusive lock on "<socket>.lock", so a second server of the same instance
// fails instead of stealing the name.
namespace veltrix::platform {

enum class PipeConnectStatus {
    Connected,  // a client is connected to the instance
    Pending,    // no client yet
    Failed,     // see the error
};

class PipeServer {
public:
    explicit PipeServer(std::string pipeName);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    const std::string& pipeName() const { return pipeName_; }
    std::filesystem::path socketPath() const;

    // Replaces the current instance (and its client) with a fresh one listening for one client.
    // Takes the pipe name on first use: fails with EWOULDBLOCK when another server holds it.
    bool createInstance(SystemError& error);

    // The users besides the server's own that may connect: applied to the current instance at
    // once and to every later one.
    void admitUsers(std::vector<uid_t> users);
    const std::vector<uid_t>& admittedUsers() const { return admittedUsers_; }

    // Checks, without waiting, whether a client has connected to the listening instance. Once
    // one has, the instance stops listening and `client()` is that client.
    PipeConnectStatus connectClient(SystemError& error);

    // An instance exists (listening or connected).
    bool hasInstance() const { return listenFd_ >= 0 || client_.isOpen(); }
    bool hasClient() const { return client_.isOpen(); }
    PipeConnection& client() { return client_; }
    const PipeConnection& client() const { return client_; }

    // Drops the client; the instance admits nobody until createInstance.
    void disconnectClient();

    // Ends the instance, removes the socket and releases the pipe name.
    void close();

private:
    bool takeName(SystemError& error);
    void closeListener();
    void applyAccess() const;

    std::string pipeName_;
    int listenFd_ = -1;
    int nameLockFd_ = -1;
    PipeConnection client_;
    std::vector<uid_t> admittedUsers_;
};

}  // namespace veltrix::platform
