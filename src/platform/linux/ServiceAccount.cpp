#include "platform/ServiceAccount.h"

#include <charconv>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "platform/InstanceConfig.h"
#include "platform/InstancePaths.h"

namespace veltrix::platform::service {

std::optional<uid_t> configuredServiceUser() {
    const auto configured = config::value("service/user");
    if (!configured || configured->empty()) return std::nullopt;
    const std::string& name = *configured;
    unsigned long numeric = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), numeric);
    if (error == std::errc() && end == name.data() + name.size()) return static_cast<uid_t>(numeric);

    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::nullopt;
    return found->pw_uid;
}

bool isServiceAccount(uid_t uid) {
    if (uid == 0) return true;
    if (const auto configured = configuredServiceUser(); configured && *configured == uid) return true;
    const auto root = paths::instanceRoot();
    if (root.empty()) return false;
    struct stat info {};
    return ::stat(root.c_str(), &info) == 0 && info.st_uid == uid;
}

}  // namespace veltrix::platform::service
