#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "platform/SystemError.h"

// One connected end of the local pipe between the service and the client program (a Unix-domain
// stream socket standing in for a Windows named pipe; both sides use this class).
namespace veltrix::platform {

// Who is on the other end, as the kernel recorded it when the connection was made.
// These are the credentials the peer acted with when it called connect(); nothing it does later
// (dropping or gaining privileges, exec'ing another program) changes them.
struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;              // effective user id at connect time
    gid_t gid = 0;              // effective group id at connect time
    std::vector<gid_t> groups;  // supplementary groups at connect time
};

// How the connecting process holds its end of the connection now.
enum class PeerEndHold {
    NotHeld,         // the process no longer has it (it closed it, or exec'd with close-on-exec set)
    HeldAcrossExec,  // it has it only without close-on-exec: it may have exec'd since it connected
    HeldOwn,         // it has it with close-on-exec set: it has not exec'd since it got it
};

enum class PipeStatus {
    Ok,        // done; `bytes` says how much
    Closed,    // the other end has gone (broken pipe)
    TimedOut,  // a write found no room within the write time-out
    Failed,    // another error, in `error`
};

struct PipeResult {
    PipeStatus status = PipeStatus::Ok;
    std::size_t bytes = 0;
    SystemError error;
};

class PipeConnection {
public:
    // A write waits at most this long for the reader to make room.
    static constexpr int kWriteTimeoutMs = 5000;

    PipeConnection();
    // Takes ownership of a connected stream socket.
    explicit PipeConnection(int fd);
    ~PipeConnection();
    PipeConnection(PipeConnection&& other) noexcept;
    PipeConnection& operator=(PipeConnection&& other) noexcept;
    PipeConnection(const PipeConnection&) = delete;
    PipeConnection& operator=(const PipeConnection&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    void close();

    std::optional<PeerCredentials> peerCredentials(SystemError& error) const;

    // Whether process `pid` holds the other end of this connection in its own descriptor table,
    // and how (needs the right to read the process's descriptor table).
    PeerEndHold peerEndHeldBy(pid_t pid, SystemError& error) const;

    // How many bytes can be read now without waiting (0 when none yet); Closed once the other end
    // has gone and everything it sent has been read.
    PipeResult peek() const;

    // Reads at most `max` bytes that are already there into `buffer`; never waits.
    PipeResult read(void* buffer, std::size_t max);

    // Writes all of `data` or fails. Safe from several threads at once: each call's bytes stay
    // together, so one message is never interleaved with another. A write that fails after
    // sending part of the data reports the part it sent in `bytes`.
    PipeResult write(std::string_view data);

    // Writes as much of `data` as fits now and never waits: Ok with the number of bytes taken
    // (0 when the other end's buffer is full); the caller keeps the rest for later. Another
    // thread's `write` meanwhile would land inside that rest, so a connection written this way is
    // written from one thread only.
    PipeResult writeSome(std::string_view data);

    int nativeHandle() const { return fd_; }

private:
    int takeDescriptor();

    int fd_ = -1;
    // Guards fd_ against close() or replacement from the owning thread while another thread
    // writes; always present.
    std::unique_ptr<std::mutex> writeMutex_;
};

// Connects to the pipe `pipeName` ("\\.\pipe\VeltrixService") of this instance. Fails with
// ECONNREFUSED when no server instance is listening (the one instance is held by another client,
// or no server runs) and ENOENT when the pipe was never created.
PipeConnection connectToPipe(std::string_view pipeName, SystemError& error);

}  // namespace veltrix::platform
