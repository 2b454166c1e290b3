#include "platform/ServiceManager.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include <fmt/format.h>

#include "platform/ControlSignals.h"
#include "platform/InstancePaths.h"
#include "platform/SessionEvents.h"

namespace veltrix::platform::service {
namespace {

constexpr StatusHandle kTheHandle = 1;

// One service per process, as with the real dispatcher.
struct Dispatcher {
    std::mutex mutex;
    bool running = false;
    std::string serviceName;
    std::string notifySocket;
    ControlHandler handler = nullptr;
    void* context = nullptr;
    std::thread controlThread;
    int wakeFd = -1;
    std::atomic<std::uint32_t> controlsAccepted{0};
};

Dispatcher& dispatcher() {
    static Dispatcher instance;
    return instance;
}

void runControlThread(ControlHandler handler, void* context, int wakeFd) {
    control::ControlSignalReader signalReader;
    sessions::SessionEventReader sessionReader;
    SystemError ignored;
    sessionReader.open(ignored);
    for (;;) {
        pollfd fds[3] = {{wakeFd, POLLIN, 0}, {signalReader.fd(), POLLIN, 0}, {sessionReader.fd(), POLLIN, 0}};
        const int ready = poll(fds, 3, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || (fds[0].revents & POLLIN)) return;
        if (fds[1].revents & POLLIN) {
            for (const int signalNumber : signalReader.readPending()) {
                handler(signalNumber == SIGINT ? kControlShutdown : kControlStop, 0, nullptr, context);
            }
        }
        if (fds[2].revents & POLLIN) {
            for (auto notification : sessionReader.readPending()) {
                if (!(dispatcher().controlsAccepted.load() & kAcceptSessionChange)) continue;
                handler(kControlSessionChange, static_cast<std::uint32_t>(notification.event), &notification, context);
            }
        }
    }
}

bool sendNotification(const std::string& socketPath, const std::string& text) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() < 2 || socketPath.size() >= sizeof address.sun_path) {
        errno = EINVAL;
        return false;
    }
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    // "@name" is an abstract socket.
    if (address.sun_path[0] == '@') address.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketPath.size());
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const ssize_t n = sendto(fd, text.data(), text.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), length);
    ::close(fd);
    return n == static_cast<ssize_t>(text.size());
}

void writePidFile(const std::string& path) {
    paths::ensureDirectory(std::filesystem::path(path).parent_path());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string text = std::to_string(getpid()) + "\n";
    [[maybe_unused]] const ssize_t n = ::write(fd, text.data(), text.size());
    ::close(fd);
}

std::string takeVariable(const char* name) {
    const char* value = std::getenv(name);
    std::string text = value ? value : "";
    // Processes the service starts are not services themselves.
    unsetenv(name);
    return text;
}

}  // namespace

std::string_view serviceStateName(std::uint32_t state) {
    switch (state) {
    case kStopped: return "STOPPED";
    case kStartPending: return "START_PENDING";
    case kStopPending: return "STOP_PENDING";
    case kRunning: return "RUNNING";
    case 5: return "CONTINUE_PENDING";
    case 6: return "PAUSE_PENDING";
    case 7: return "PAUSED";
    default: return "UNKNOWN";
    }
}

std::string statusNotification(const ServiceStatus& status) {
    std::string text = fmt::format("STATUS={} checkpoint={} wait_hint={} controls={:#x}\n",
                                   serviceStateName(status.currentState), status.checkPoint, status.waitHint,
                                   status.controlsAccepted);
    if (status.currentState == kRunning) text += "READY=1\n";
    if (status.currentState == kStopPending) text += "STOPPING=1\n";
    const bool pending = status.currentState == kStartPending || status.currentState == kStopPending;
    if (pending && status.waitHint > 0) {
        text += fmt::format("EXTEND_TIMEOUT_USEC={}\n", static_cast<std::uint64_t>(status.waitHint) * 1000);
    }
    return text;
}

std::string servicePidFilePath(std::string_view serviceName) {
    return (paths::runDir() / (std::string(serviceName) + ".pid")).string();
}

std::uint32_t startServiceDispatcher(std::string_view serviceName, ServiceMainFunction entry) {
    Dispatcher& d = dispatcher();
    const char* marker = std::getenv(kManagerVariable);
    if (!marker || !*marker || !entry) return kErrorFailedServiceControllerConnect;
    {
        std::lock_guard lock(d.mutex);
        d.running = true;
        d.serviceName = serviceName;
        takeVariable(kManagerVariable);
        d.notifySocket = takeVariable(kNotifySocketVariable);
    }
    const std::string pidFile = servicePidFilePath(serviceName);
    writePidFile(pidFile);

    entry();

    std::thread controlThread;
    {
        std::lock_guard lock(d.mutex);
        if (d.wakeFd >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(d.wakeFd, &one, sizeof one);
        }
        controlThread = std::move(d.controlThread);
    }
    if (controlThread.joinable()) controlThread.join();
    std::lock_guard lock(d.mutex);
    if (d.wakeFd >= 0) ::close(d.wakeFd);
    d.wakeFd = -1;
    d.handler = nullptr;
    d.running = false;
    ::unlink(pidFile.c_str());
    return 0;
}

StatusHandle registerServiceControlHandler(std::string_view serviceName, ControlHandler handler, void* context) {
    Dispatcher& d = dispatcher();
    std::lock_guard lock(d.mutex);
    if (!d.running || !handler || serviceName != d.serviceName || d.controlThread.joinable()) return 0;
    d.wakeFd = eventfd(0, EFD_CLOEXEC);
    if (d.wakeFd < 0) return 0;
    d.handler = handler;
    d.context = context;
    try {
        d.controlThread = std::thread(runControlThread, handler, context, d.wakeFd);
    } catch (const std::system_error&) {
        ::close(d.wakeFd);
        d.wakeFd = -1;
        return 0;
    }
    return kTheHandle;
}

bool setServiceStatus(StatusHandle handle, const ServiceStatus& status) {
    Dispatcher& d = dispatcher();
    std::string socketPath;
    {
        std::lock_guard lock(d.mutex);
        if (handle != kTheHandle || !d.handler) return false;
        socketPath = d.notifySocket;
    }
    d.controlsAccepted.store(status.controlsAccepted);
    if (socketPath.empty()) return true;
    return sendNotification(socketPath, statusNotification(status));
}

}  // namespace veltrix::platform::service
