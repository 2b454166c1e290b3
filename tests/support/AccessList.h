#pragma once

#include <filesystem>
#include <map>
#include <sys/types.h>

namespace veltrix::test {

// The named-user entries of a file's access list: user id -> permission bits (4 read, 2 write,
// 1 execute). Empty when the file has no access list.
std::map<uid_t, unsigned> namedUsersOf(const std::filesystem::path& path);

}  // namespace veltrix::test
