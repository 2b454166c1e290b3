#include "platform/LogonTask.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

#include "platform/InstancePaths.h"

namespace veltrix::platform::logon {
namespace fs = std::filesystem;
namespace {

// One argument in double quotes, with the four characters that keep a meaning inside quotes
// escaped, and "%" doubled so it is not read as a field code.
std::string quotedArgument(const std::string& argument) {
    std::string out = "\"";
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        if (c == '%') out += '%';
        out += c;
    }
    out += '"';
    return out;
}

// The string-value escapes of a desktop entry, applied after the quoting: a reader undoes these
// first, then the quoting.
std::string escapedValue(const std::string& value) {
    std::string out;
    for (char c : value) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    return out;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

fs::path autostartDir() { return paths::userConfigDir() / "autostart"; }

fs::path entryPath() { return autostartDir() / (std::string(kTaskName) + ".desktop"); }

std::string execLine(const fs::path& program) {
    return escapedValue(quotedArgument(program.string()) + " --minimized");
}

bool createTask(const fs::path& program, SystemError& error) {
    if (!paths::ensureDirectory(autostartDir(), 0700)) {
        error = SystemError::last();
        if (error.code == 0) error.code = EACCES;
        return false;
    }
    const std::string content = "[Desktop Entry]\nType=Application\nName=" + std::string(kTaskName) +
                                "\nExec=" + execLine(program) + "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
    // Written beside the entry and renamed over it, so a reader never sees half an entry.
    const fs::path temporary = entryPath().string() + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        error = SystemError::last();
        return false;
    }
    const bool written = writeAll(fd, content) && ::fsync(fd) == 0;
    if (!written) error = SystemError::last();
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), entryPath().c_str()) != 0) {
        if (written) error = SystemError::last();
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool deleteTask(SystemError& error) {
    if (::unlink(entryPath().c_str()) != 0) {
        error = SystemError::last();
        return false;
    }
    return true;
}

bool taskExists() {
    std::error_code ec;
    return fs::is_regular_file(entryPath(), ec);
}

bool taskStartsProgram(const fs::path& program) {
    if (!taskExists()) return false;
    std::ifstream entry(entryPath());
    const std::string wanted = "Exec=" + execLine(program);
    std::string line;
    // An entry is a few lines; a larger file is not one this program wrote.
    for (int lines = 0; lines < 64 && std::getline(entry, line); ++lines)
        if (line == wanted) return true;
    return false;
}

}  // namespace veltrix::platform::logon
