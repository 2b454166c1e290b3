#pragma once

#include <optional>
#include <string>
#include <string_view>

// Per-instance configuration that stands in for what a Windows installation fixes at build or
// install time: backend URLs, the extra trusted CA, STUN hosts, the public-IP echo URL. It is
// read from "instance.ini" in the instance root (without a root: /etc/veltrix/instance.ini), so
// two devices on one machine can point at different backends.
namespace veltrix::platform::config {

// The value of "group/key" in the instance file, or nothing when the file or the key is missing.
std::optional<std::string> value(std::string_view key);

// Path of the instance file in force.
std::string filePath();

}  // namespace veltrix::platform::config
