#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/PipeConnection.h"
#include "platform/SystemError.h"

// The server side of the local pipe: at most one instance, so at most one client at a time.
//
// Linux stand-in: a Unix-domain socket at paths::pipePath(name) with mode 0666 (every local user
// may connect; Unix sockets are local by nature). An instance listens until one client connects;
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

    std::string pipeName_;
    int listenFd_ = -1;
    int nameLockFd_ = -1;
    PipeConnection client_;
};

}  // namespace veltrix::platform
