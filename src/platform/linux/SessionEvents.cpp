#include "platform/SessionEvents.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/InstancePaths.h"

namespace veltrix::platform::sessions {
namespace {

constexpr const char* kEventsFileName = "session-events";

struct EventName {
    SessionEvent event;
    std::string_view name;
};

constexpr std::array<EventName, 8> kEventNames{{
    {SessionEvent::ConsoleConnect, "console-connect"},
    {SessionEvent::ConsoleDisconnect, "console-disconnect"},
    {SessionEvent::RemoteConnect, "remote-connect"},
    {SessionEvent::RemoteDisconnect, "remote-disconnect"},
    {SessionEvent::Logon, "logon"},
    {SessionEvent::Logoff, "logoff"},
    {SessionEvent::Lock, "lock"},
    {SessionEvent::Unlock, "unlock"},
}};

// "<event> <session id>"; anything else is not an event.
std::optional<SessionNotification> parseLine(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    const auto event = sessionEventFromName(line.substr(0, blank));
    std::string_view idText = line.substr(blank + 1);
    while (!idText.empty() && idText.front() == ' ') idText.remove_prefix(1);
    std::uint32_t id = 0;
    const auto [end, ec] = std::from_chars(idText.data(), idText.data() + idText.size(), id);
    if (!event || idText.empty() || ec != std::errc() || end != idText.data() + idText.size()) return std::nullopt;
    return SessionNotification{*event, id};
}

std::uint64_t fileSize(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

}  // namespace

std::string_view sessionEventName(SessionEvent event) {
    for (const auto& entry : kEventNames) {
        if (entry.event == event) return entry.name;
    }
    return "unknown";
}

std::optional<SessionEvent> sessionEventFromName(std::string_view name) {
    for (const auto& entry : kEventNames) {
        if (entry.name == name) return entry.event;
    }
    return std::nullopt;
}

std::string sessionEventsFilePath() { return (paths::runDir() / kEventsFileName).string(); }

bool postSessionEvent(const SessionNotification& notification, SystemError& error) {
    paths::ensureDirectory(paths::runDir());
    const int fd = ::open(sessionEventsFilePath().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = SystemError::last();
        return false;
    }
    // One write with O_APPEND: concurrent posters never interleave within a line.
    const std::string line =
        std::string(sessionEventName(notification.event)) + " " + std::to_string(notification.sessionId) + "\n";
    const ssize_t n = ::write(fd, line.data(), line.size());
    if (n != static_cast<ssize_t>(line.size())) error = n < 0 ? SystemError::last() : SystemError{EIO};
    ::close(fd);
    return n == static_cast<ssize_t>(line.size());
}

SessionEventReader::~SessionEventReader() { close(); }

bool SessionEventReader::open(SystemError& error) {
    close();
    const auto dir = paths::runDir();
    if (!paths::ensureDirectory(dir)) {
        error = SystemError::last();
        return false;
    }
    watchFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watchFd_ < 0) {
        error = SystemError::last();
        return false;
    }
    // The folder is watched, not the file: the file may not exist yet or be replaced.
    if (inotify_add_watch(watchFd_, dir.c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
        error = SystemError::last();
        close();
        return false;
    }
    offset_ = fileSize(sessionEventsFilePath());
    partialLine_.clear();
    return true;
}

void SessionEventReader::close() {
    if (watchFd_ >= 0) ::close(watchFd_);
    watchFd_ = -1;
}

std::vector<SessionNotification> SessionEventReader::readPending() {
    std::vector<SessionNotification> result;
    if (watchFd_ < 0) return result;
    // Drain the wake-ups; the file itself says what is new.
    alignas(inotify_event) char buffer[4096];
    while (::read(watchFd_, buffer, sizeof buffer) > 0) {
    }
    readNewLines(result);
    return result;
}

void SessionEventReader::readNewLines(std::vector<SessionNotification>& out) {
    const int fd = ::open(sessionEventsFilePath().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st{};
    if (fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) < offset_) {
        // The file was truncated or replaced: start over.
        offset_ = 0;
        partialLine_.clear();
    }
    char chunk[4096];
    for (;;) {
        const ssize_t n = pread(fd, chunk, sizeof chunk, static_cast<off_t>(offset_));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        offset_ += static_cast<std::uint64_t>(n);
        partialLine_.append(chunk, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t end; (end = partialLine_.find('\n', start)) != std::string::npos; start = end + 1) {
            if (const auto event = parseLine(std::string_view(partialLine_).substr(start, end - start))) {
                out.push_back(*event);
            }
        }
        partialLine_.erase(0, start);
        // A line longer than any event is garbage; do not let it grow without bound.
        if (partialLine_.size() > 256) partialLine_.clear();
    }
    ::close(fd);
}

SessionNotifier::SessionNotifier(QObject* parent) : QObject(parent) {
    qRegisterMetaType<SessionNotification>();
}

SessionNotifier::~SessionNotifier() { stop(); }

bool SessionNotifier::start(SystemError& error) {
    stop();
    if (!reader_.open(error)) return false;
    auto* notifier = new QSocketNotifier(reader_.fd(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        for (const auto& notification : reader_.readPending()) emit sessionChanged(notification);
    });
    socketNotifier_ = notifier;
    return true;
}

void SessionNotifier::stop() {
    delete socketNotifier_;
    socketNotifier_ = nullptr;
    reader_.close();
}

}  // namespace veltrix::platform::sessions
