#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

// Files that only the current user may touch (Windows: a per-user temporary folder). Used to
// stage a downloaded installer where no other local account can swap or change it.
namespace veltrix::platform::privatefiles {

// Creates `folder` (mode 0700) or accepts an existing one only when it is a real directory (not
// a link) owned by the current user, and then sets its mode to 0700. On failure `error` says why.
bool ensurePrivateFolder(const std::filesystem::path& folder, std::string& error);

// Removes whatever entry `path` names (a link itself, never its target) and writes `size` bytes
// into a new file created exclusively with mode 0600. On failure the partial file is removed.
bool writeNewFile(const std::filesystem::path& path, const char* data, std::size_t size, std::string& error);

// Sets the mode of `path` to 0700 (owner may run it), without following a link.
bool makeExecutable(const std::filesystem::path& path, std::string& error);

}  // namespace veltrix::platform::privatefiles
