#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace veltrix::test {

// Writes the terminal-session stand-in's file of the current instance: one active session per
// user, numbered from 1, the first one on the console. No users: a machine where nobody is logged
// on.
void writeSessions(const std::vector<uid_t>& users);

}  // namespace veltrix::test
