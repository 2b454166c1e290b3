#pragma once

#include <QObject>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SystemError.h"

// Session-change notifications: a user logged on or off, locked or unlocked a session, a console
// or remote connection came or went. The service receives each event twice, on the service
// manager's control thread and on its Qt thread, as a service does from the service manager and
// from its session-notification window.
//
// Linux has no such notifications, so the stand-in reads them from "session-events" in the
// instance's run folder, which the demo script and the tests append to, one event a line:
//
//   logon 3
//   lock 3
//
// Every reader sees every complete line appended after it started (it watches the folder with
// inotify); lines it cannot read are skipped.
namespace veltrix::platform::sessions {

// Numbered as the session-change event types of the service control protocol.
enum class SessionEvent : std::uint32_t {
    ConsoleConnect = 1,
    ConsoleDisconnect = 2,
    RemoteConnect = 3,
    RemoteDisconnect = 4,
    Logon = 5,
    Logoff = 6,
    Lock = 7,
    Unlock = 8,
};

// The event data of a session-change control and of a notification.
struct SessionNotification {
    SessionEvent event = SessionEvent::Logon;
    std::uint32_t sessionId = 0;
};

// "console-connect", "console-disconnect", "remote-connect", "remote-disconnect", "logon",
// "logoff", "lock", "unlock".
std::string_view sessionEventName(SessionEvent event);
std::optional<SessionEvent> sessionEventFromName(std::string_view name);

std::string sessionEventsFilePath();

// Appends one event for every reader (what the operating system would announce).
bool postSessionEvent(const SessionNotification& notification, SystemError& error);

// A descriptor-driven reader for threads that poll.
class SessionEventReader {
public:
    SessionEventReader() = default;
    ~SessionEventReader();
    SessionEventReader(const SessionEventReader&) = delete;
    SessionEventReader& operator=(const SessionEventReader&) = delete;

    // Starts watching; events posted from now on are delivered.
    bool open(SystemError& error);
    void close();
    bool isOpen() const { return watchFd_ >= 0; }
    // Readable when events may have arrived.
    int fd() const { return watchFd_; }

    // The complete events that arrived since the last call, in order.
    std::vector<SessionNotification> readPending();

private:
    void readNewLines(std::vector<SessionNotification>& out);

    int watchFd_ = -1;
    std::uint64_t offset_ = 0;
    std::string partialLine_;
};

// The Qt-thread receiver (the session-notification window).
class SessionNotifier : public QObject {
    Q_OBJECT
public:
    explicit SessionNotifier(QObject* parent = nullptr);
    ~SessionNotifier() override;

    // Registers for the notifications of all sessions.
    bool start(SystemError& error);
    void stop();
    bool isActive() const { return reader_.isOpen(); }

signals:
    void sessionChanged(veltrix::platform::sessions::SessionNotification notification);

private:
    SessionEventReader reader_;
    QObject* socketNotifier_ = nullptr;
};

}  // namespace veltrix::platform::sessions

Q_DECLARE_METATYPE(veltrix::platform::sessions::SessionNotification)
