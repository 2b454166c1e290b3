#include "platform/linux/UnixSocketPeer.h"

#include "platform/linux/FileDescriptor.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrix::platform::detail {
namespace {

using Descriptor = FileDescriptor;

// Asks the kernel for the one socket `inode` with its peer; gives the peer's inode.
std::optional<ino_t> queryPeer(ino_t inode, SystemError& error) {
    Descriptor netlink(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (netlink.get() < 0) {
        error = SystemError::last();
        return std::nullopt;
    }
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = AF_UNIX;
    query.request.udiag_states = ~0u;
    query.request.udiag_ino = static_cast<__u32>(inode);
    query.request.udiag_show = UDIAG_SHOW_PEER;
    query.request.udiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.request.udiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(netlink.get(), &query, sizeof query, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(sizeof query)) {
        error = SystemError::last();
        return std::nullopt;
    }
    alignas(nlmsghdr) char reply[8192];
    const ssize_t length = recv(netlink.get(), reply, sizeof reply, 0);
    if (length < 0) {
        error = SystemError::last();
        return std::nullopt;
    }
    int remaining = static_cast<int>(length);
    for (auto* message = reinterpret_cast<nlmsghdr*>(reply); NLMSG_OK(message, remaining);
         message = NLMSG_NEXT(message, remaining)) {
        if (message->nlmsg_type == NLMSG_ERROR) {
            const auto* failure = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
            error = SystemError{failure->error ? -failure->error : EPROTO};
            return std::nullopt;
        }
        if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
        const auto* diag = static_cast<const unix_diag_msg*>(NLMSG_DATA(message));
        if (diag->udiag_ino != inode) continue;
        int attributesLength = static_cast<int>(message->nlmsg_len - NLMSG_LENGTH(sizeof *diag));
        for (auto* attribute = reinterpret_cast<rtattr*>(const_cast<unix_diag_msg*>(diag) + 1);
             RTA_OK(attribute, attributesLength); attribute = RTA_NEXT(attribute, attributesLength)) {
            if (attribute->rta_type == UNIX_DIAG_PEER && RTA_PAYLOAD(attribute) >= sizeof(__u32)) {
                __u32 peer = 0;
                std::memcpy(&peer, RTA_DATA(attribute), sizeof peer);
                if (peer != 0) return static_cast<ino_t>(peer);
            }
        }
    }
    error = SystemError{ENOTCONN};
    return std::nullopt;
}

// The "flags:" value (octal) of a /proc/<pid>/fdinfo entry.
std::optional<unsigned long> descriptorFlags(int fdinfoDir, const char* name) {
    Descriptor file(openat(fdinfoDir, name, O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return std::nullopt;
    char text[512];
    const ssize_t length = read(file.get(), text, sizeof text - 1);
    if (length <= 0) return std::nullopt;
    const std::string_view content(text, static_cast<std::size_t>(length));
    const auto at = content.find("flags:");
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t start = at + 6;
    while (start < content.size() && (content[start] == ' ' || content[start] == '\t')) ++start;
    unsigned long flags = 0;
    const auto [end, ec] = std::from_chars(content.data() + start, content.data() + content.size(), flags, 8);
    if (ec != std::errc()) return std::nullopt;
    return flags;
}

}  // namespace

std::optional<ino_t> unixPeerInode(int fd, SystemError& error) {
    struct stat st{};
    if (fstat(fd, &st) != 0) {
        error = SystemError::last();
        return std::nullopt;
    }
    return queryPeer(st.st_ino, error);
}

SocketHold socketHeldBy(pid_t pid, ino_t inode, SystemError& error) {
    const std::string base = "/proc/" + std::to_string(pid);
    Descriptor fdDir(::open((base + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Descriptor fdinfoDir(::open((base + "/fdinfo").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fdDir.get() < 0 || fdinfoDir.get() < 0) {
        error = SystemError::last();
        return SocketHold::NotHeld;
    }
    DIR* listing = fdopendir(fcntl(fdDir.get(), F_DUPFD_CLOEXEC, 0));
    if (!listing) {
        error = SystemError::last();
        return SocketHold::NotHeld;
    }
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    SocketHold hold = SocketHold::NotHeld;
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] == '.') continue;
        char target[64];
        const ssize_t length = readlinkat(fdDir.get(), entry->d_name, target, sizeof target);
        if (length <= 0 || std::string_view(target, static_cast<std::size_t>(length)) != wanted) continue;
        const auto flags = descriptorFlags(fdinfoDir.get(), entry->d_name);
        if (flags && (*flags & O_CLOEXEC)) {
            hold = SocketHold::HeldCloseOnExec;
            break;
        }
        hold = SocketHold::HeldAcrossExec;
    }
    closedir(listing);
    if (hold == SocketHold::NotHeld) error = SystemError{ESRCH};
    return hold;
}

}  // namespace veltrix::platform::detail
