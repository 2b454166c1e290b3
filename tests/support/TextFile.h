#pragma once

#include <filesystem>
#include <string>

namespace veltrix::test {

// Reads a whole text file; empty when it cannot be read.
std::string readTextFile(const std::filesystem::path& path);

}  // namespace veltrix::test
