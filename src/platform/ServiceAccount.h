#pragma once

#include <optional>
#include <sys/types.h>

// Which local accounts the service of this instance may run as. The client program only talks to
// a pipe whose server runs as one of them, so another local user cannot take the pipe's name
// first and receive what clients send to the service (partner passwords among it).
namespace veltrix::platform::service {

// The account named by "service/user" in the instance configuration (a user name or a numeric
// id); nothing when it is not set or names no user.
std::optional<uid_t> configuredServiceUser();

// Root always; the configured service user; and, for an instance with its own root folder, the
// owner of that folder (who set the instance up and runs its service).
bool isServiceAccount(uid_t uid);

}  // namespace veltrix::platform::service
