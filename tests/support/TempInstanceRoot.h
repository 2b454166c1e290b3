#pragma once

#include <filesystem>
#include <string>

namespace veltrix::test {

// Points VELTRIX_ROOT at a fresh short folder under /tmp for the life of the object, so a test
// gets its own pipe, sections, settings and logs; restores the previous value and removes the
// folder afterwards.
class TempInstanceRoot {
public:
    TempInstanceRoot();
    ~TempInstanceRoot();
    TempInstanceRoot(const TempInstanceRoot&) = delete;
    TempInstanceRoot& operator=(const TempInstanceRoot&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    std::string previous_;
    bool hadPrevious_ = false;
};

}  // namespace veltrix::test
