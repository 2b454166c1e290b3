#include "support/TempInstanceRoot.h"

#include <cstdlib>
#include <glob.h>
#include <stdexcept>
#include <unistd.h>

#include "platform/InstancePaths.h"

namespace veltrix::test {

TempInstanceRoot::TempInstanceRoot() {
    char pattern[] = "/tmp/vx-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    if (const char* old = std::getenv(platform::paths::kRootVariable)) {
        previous_ = old;
        hadPrevious_ = true;
    }
    setenv(platform::paths::kRootVariable, path_.c_str(), 1);
}

TempInstanceRoot::~TempInstanceRoot() {
    // Sections of this instance live in /dev/shm under the instance's tag.
    const std::string pattern = "/dev/shm/veltrix." + platform::paths::instanceTag() + ".*";
    glob_t found{};
    if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
        std::error_code ec;
        for (size_t i = 0; i < found.gl_pathc; ++i) std::filesystem::remove_all(found.gl_pathv[i], ec);
    }
    globfree(&found);
    if (hadPrevious_) setenv(platform::paths::kRootVariable, previous_.c_str(), 1);
    else unsetenv(platform::paths::kRootVariable);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace veltrix::test
