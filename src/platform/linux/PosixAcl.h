#pragma once

#include <filesystem>
#include <sys/types.h>
#include <vector>

#include "platform/SystemError.h"

namespace veltrix::platform::detail {

// Gives the file at `path` an access list of: its owner read and write, each of `users` the
// permission bits `userPermissions` (4 read, 2 write, 1 execute), its group and everyone else
// nothing. False with `error` set when the file system keeps no access lists (EOPNOTSUPP).
bool setUserAccessList(const std::filesystem::path& path, const std::vector<uid_t>& users,
                       unsigned userPermissions, SystemError& error);

}  // namespace veltrix::platform::detail
