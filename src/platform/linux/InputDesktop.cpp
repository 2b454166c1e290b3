#include "platform/InputDesktop.h"

#include <X11/Xatom.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "platform/InstancePaths.h"
#include "platform/ProcessSnapshot.h"
#include "platform/TerminalSessions.h"
#include "platform/linux/X11Connection.h"

namespace veltrix::platform::desktops {
namespace {

thread_local std::string currentThreadDesktop(kDefaultDesktop);

// The name of the session's input desktop: "Default" without a file, nullopt for none.
std::optional<std::string> inputDesktopName() {
    const std::string path = inputDesktopFilePath(currentSessionId());
    std::ifstream file(path);
    if (!file) {
        if (errno == ENOENT) return std::string(kDefaultDesktop);
        return std::nullopt;  // present but unreadable: no desktop this process can see
    }
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::nullopt;
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

bool mayOpen(std::string_view name) {
    if (name == kDefaultDesktop) return true;
    if (name == kSecureDesktop) return process::isSystemAccount();
    return false;
}

std::optional<long> windowProperty(Display* display, Window window, const char* name, Atom type) {
    const Atom property = XInternAtom(display, name, True);
    if (property == None) return std::nullopt;
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, 1, False, type, &actualType, &format, &count, &remaining,
                           &data) != Success) {
        return std::nullopt;
    }
    std::optional<long> value;
    if (data && actualType == type && format == 32 && count == 1) value = *reinterpret_cast<long*>(data);
    if (data) XFree(data);
    return value;
}

}  // namespace

std::string inputDesktopFilePath(std::uint32_t sessionId) {
    return (paths::runDir() / ("input-desktop." + std::to_string(sessionId))).string();
}

std::uint32_t currentSessionId() {
    if (const char* text = std::getenv(sessions::kSessionVariable); text && *text) {
        std::uint32_t id = 0;
        const char* end = text + std::char_traits<char>::length(text);
        const auto [ptr, ec] = std::from_chars(text, end, id);
        if (ec == std::errc() && ptr == end) return id;
    }
    return sessions::sessionOfUser(geteuid());
}

std::optional<Desktop> openInputDesktop() {
    const auto name = inputDesktopName();
    if (!name || !mayOpen(*name)) return std::nullopt;
    return Desktop(*name);
}

std::optional<Desktop> openDesktop(std::string_view name) {
    if (!mayOpen(name)) return std::nullopt;
    return Desktop(std::string(name));
}

Desktop threadDesktop() { return Desktop(currentThreadDesktop); }

bool setThreadDesktop(const Desktop& desktop) {
    if (!mayOpen(desktop.name())) {
        errno = EACCES;
        return false;
    }
    currentThreadDesktop = desktop.name();
    return true;
}

bool isDesktopBusy(const SystemError& error) { return error.code == EBUSY; }

bool mayCaptureInputDesktop() {
    const auto name = inputDesktopName();
    return name && mayOpen(*name);
}

std::optional<pid_t> foregroundWindowProcess() {
    const auto connection = x11::Connection::open();
    if (!connection) return std::nullopt;
    Display* display = connection->display();
    const auto active = windowProperty(display, connection->root(), "_NET_ACTIVE_WINDOW", XA_WINDOW);
    if (!active || *active == 0) return std::nullopt;
    const auto pid = windowProperty(display, static_cast<Window>(*active), "_NET_WM_PID", XA_CARDINAL);
    connection->takeError();  // a window that vanished meanwhile is no foreground window
    if (!pid || *pid <= 0) return std::nullopt;
    return static_cast<pid_t>(*pid);
}

}  // namespace veltrix::platform::desktops
