#include "platform/linux/PosixAcl.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sys/xattr.h>

namespace veltrix::platform::detail {
namespace {

// The kernel's POSIX access-list attribute: a version word, then one entry per tag, sorted by tag
// and, for named users, by id.
constexpr std::uint32_t kAclVersion = 2;
constexpr std::uint16_t kUserObject = 0x01;
constexpr std::uint16_t kUser = 0x02;
constexpr std::uint16_t kGroupObject = 0x04;
constexpr std::uint16_t kMask = 0x10;
constexpr std::uint16_t kOther = 0x20;
constexpr std::uint32_t kNoId = 0xFFFFFFFF;

struct AclEntry {
    std::uint16_t tag;
    std::uint16_t permissions;
    std::uint32_t id;
};
static_assert(sizeof(AclEntry) == 8);

}  // namespace

bool setUserAccessList(const std::filesystem::path& path, const std::vector<uid_t>& users,
                       unsigned userPermissions, SystemError& error) {
    std::vector<uid_t> named(users);
    std::sort(named.begin(), named.end());
    named.erase(std::unique(named.begin(), named.end()), named.end());

    std::vector<AclEntry> entries;
    entries.push_back({kUserObject, 6, kNoId});
    for (const uid_t uid : named) entries.push_back({kUser, static_cast<std::uint16_t>(userPermissions & 7), uid});
    entries.push_back({kGroupObject, 0, kNoId});
    entries.push_back({kMask, static_cast<std::uint16_t>(userPermissions & 7), kNoId});
    entries.push_back({kOther, 0, kNoId});

    std::vector<char> attribute(sizeof kAclVersion + entries.size() * sizeof(AclEntry));
    std::memcpy(attribute.data(), &kAclVersion, sizeof kAclVersion);
    std::memcpy(attribute.data() + sizeof kAclVersion, entries.data(), entries.size() * sizeof(AclEntry));
    if (setxattr(path.c_str(), "system.posix_acl_access", attribute.data(), attribute.size(), 0) != 0) {
        error = SystemError::last();
        return false;
    }
    return true;
}

}  // namespace veltrix::platform::detail
