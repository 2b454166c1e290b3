#include "platform/ServiceUnits.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include "platform/InstancePaths.h"
#include "platform/ProcessInfo.h"
#include "platform/ServiceManager.h"

extern char** environ;

namespace veltrix::platform::service {
namespace {

constexpr const char* kWantsFolder = "multi-user.target.wants";

// One word of a unit file, double-quoted: backslash, quote and control characters escaped, '%'
// doubled (specifiers) and, where the line expands variables, '$' doubled.
std::string quoted(std::string_view text, bool expandsVariables) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '%') {
            out += "%%";
        } else if (c == '$' && expandsVariables) {
            out += "$$";
        } else if (u < 0x20 || u == 0x7f) {
            out += fmt::format("\\x{:02x}", u);
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::string dependencyUnit(const std::string& dependency) {
    return dependency == "Tcpip" ? "network-online.target" : dependency + ".service";
}

std::filesystem::path wantsLinkPath(std::string_view serviceName) {
    return paths::serviceUnitDir() / kWantsFolder / (std::string(serviceName) + ".service");
}

// In the system location a running systemd is told about the change (best effort).
void reloadSystemdUnits() {
    if (!paths::instanceRoot().empty() || access("/run/systemd/system", F_OK) != 0) return;
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    char program[] = "systemctl";
    char command[] = "daemon-reload";
    char* argv[] = {program, command, nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, "systemctl", nullptr, &attributes, argv, environ) == 0) waitpid(child, nullptr, 0);
    posix_spawnattr_destroy(&attributes);
}

}  // namespace

std::filesystem::path unitFilePath(std::string_view serviceName) {
    return paths::serviceUnitDir() / (std::string(serviceName) + ".service");
}

std::string unitFileText(const ServiceDefinition& d) {
    std::string unit;
    unit += "# " + d.description + "\n";
    unit += "[Unit]\n";
    unit += "Description=" + d.displayName + "\n";
    for (const auto& dependency : d.dependencies) {
        unit += "Wants=" + dependencyUnit(dependency) + "\n";
        unit += "After=" + dependencyUnit(dependency) + "\n";
    }
    // Failure actions: the leading "restart" actions, at most that many restarts per reset period.
    std::size_t restarts = 0;
    while (restarts < d.failureActions.size() && d.failureActions[restarts].restart) ++restarts;
    if (restarts > 0 && d.failureResetPeriodSeconds > 0) {
        unit += fmt::format("StartLimitIntervalSec={}\n", d.failureResetPeriodSeconds);
        unit += fmt::format("StartLimitBurst={}\n", restarts + 1);
    }
    unit += "\n[Service]\n";
    unit += "Type=notify\n";
    unit += "NotifyAccess=main\n";
    unit += "ExecStart=" + quoted(d.programPath.string(), true) + "\n";
    unit += "Environment=" + quoted(std::string(kManagerVariable) + "=1", false) + "\n";
    if (const auto root = paths::instanceRoot(); !root.empty()) {
        unit += "Environment=" + quoted(std::string(paths::kRootVariable) + "=" + root.string(), false) + "\n";
    }
    if (restarts > 0) {
        unit += "Restart=on-failure\n";
        unit += fmt::format("RestartSec={}ms\n", d.failureActions.front().delayMs);
        // Growing delays (5 s, then 30 s): systemd 254 and later step from RestartSec to
        // RestartMaxDelaySec over RestartSteps restarts, which gives each delay exactly for two
        // actions; older versions ignore both keys and wait RestartSec before every restart.
        const std::uint32_t lastDelay = d.failureActions[restarts - 1].delayMs;
        if (restarts > 1 && lastDelay > d.failureActions.front().delayMs) {
            unit += fmt::format("RestartSteps={}\n", restarts - 1);
            unit += fmt::format("RestartMaxDelaySec={}ms\n", lastDelay);
        }
    } else {
        unit += "Restart=no\n";
    }
    // Stopping the service ends the service process only: the agent it started in a user's
    // session keeps running, and the service ends its headless agent itself.
    unit += "KillMode=process\n";
    unit += "\n[Install]\n";
    unit += "WantedBy=multi-user.target\n";
    return unit;
}

bool openServiceManager(SystemError& error) {
    const auto dir = paths::serviceUnitDir();
    if (!paths::ensureDirectory(dir)) {
        error = SystemError::last();
        if (error.code == 0) error = SystemError{EACCES};
        return false;
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        error = SystemError::last();
        return false;
    }
    return true;
}

bool createService(const ServiceDefinition& definition, SystemError& error) {
    const auto path = unitFilePath(definition.name);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = SystemError::last();
        return false;
    }
    const std::string text = unitFileText(definition);
    const ssize_t n = ::write(fd, text.data(), text.size());
    const bool written = n == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    if (!written) error = n < 0 ? SystemError::last() : SystemError{EIO};
    ::close(fd);
    if (!written) {
        ::unlink(path.c_str());
        return false;
    }
    // Automatic start.
    const auto link = wantsLinkPath(definition.name);
    paths::ensureDirectory(link.parent_path());
    if (symlink(path.c_str(), link.c_str()) != 0 && errno != EEXIST) {
        error = SystemError::last();
        ::unlink(path.c_str());
        return false;
    }
    reloadSystemdUnits();
    return true;
}

bool openService(std::string_view serviceName, SystemError& error) {
    struct stat st{};
    if (lstat(unitFilePath(serviceName).c_str(), &st) != 0) {
        error = SystemError::last();
        return false;
    }
    return true;
}

bool sendStopControl(std::string_view serviceName) {
    std::ifstream file(servicePidFilePath(serviceName));
    long pid = 0;
    if (!(file >> pid) || pid <= 0) return false;
    // The recorded process must still run this service's program (its id may have been reused).
    SystemError error;
    const auto process = process::ProcessHandle::open(static_cast<pid_t>(pid), error);
    const auto image = process.imagePath(error);
    if (!image || image->filename() != serviceName) return false;
    return kill(static_cast<pid_t>(pid), SIGTERM) == 0;
}

bool deleteService(std::string_view serviceName, SystemError& error) {
    ::unlink(wantsLinkPath(serviceName).c_str());
    if (::unlink(unitFilePath(serviceName).c_str()) != 0) {
        error = SystemError::last();
        return false;
    }
    reloadSystemdUnits();
    return true;
}

}  // namespace veltrix::platform::service
