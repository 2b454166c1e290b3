#pragma once

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>

namespace veltrix::platform::detail {

// The address of a filesystem Unix socket; false (ENAMETOOLONG) when the path does not fit.
inline bool unixSocketAddress(const std::filesystem::path& path, sockaddr_un& address, socklen_t& length) {
    const std::string& text = path.native();
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (text.empty() || text.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, text.data(), text.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size() + 1);
    return true;
}

}  // namespace veltrix::platform::detail
