#include "support/TextFile.h"

#include <fstream>
#include <sstream>

namespace veltrix::test {

std::string readTextFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace veltrix::test
