#include "support/AccessList.h"

#include <cstdint>
#include <cstring>
#include <sys/xattr.h>

namespace veltrix::test {

std::map<uid_t, unsigned> namedUsersOf(const std::filesystem::path& path) {
    constexpr std::uint16_t kNamedUser = 0x02;
    std::map<uid_t, unsigned> users;
    char attribute[1024];
    const ssize_t length = getxattr(path.c_str(), "system.posix_acl_access", attribute, sizeof attribute);
    // A version word, then entries of tag (16 bits), permissions (16 bits) and id (32 bits).
    for (ssize_t at = 4; length > 0 && at + 8 <= length; at += 8) {
        std::uint16_t tag = 0, permissions = 0;
        std::uint32_t id = 0;
        std::memcpy(&tag, attribute + at, 2);
        std::memcpy(&permissions, attribute + at + 2, 2);
        std::memcpy(&id, attribute + at + 4, 4);
        if (tag == kNamedUser) users[id] = permissions;
    }
    return users;
}

}  // namespace veltrix::test
