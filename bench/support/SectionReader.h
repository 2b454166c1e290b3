#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "shared/SharedFrameBuffer.h"
#include "shared/SharedFrameReader.h"

namespace veltrix::bench {

// A frame section of another instance (B's capture section, A's decoded-frame section), read the
// way its reader does but only as far as a figure needs. Reading never changes the section.
class SectionReader {
public:
    bool open(const std::filesystem::path& instance, const char* name);

    // The header's sequence number as it stands; 0 before the first frame.
    std::uint64_t sequence() const;

    // The header of the latest complete frame; nothing before the first.
    std::optional<SharedFrameInfo> latest() const;

    // The luma of the latest complete decoded frame at fractions of its width and height; -1 when
    // there is none.
    int lumaAt(double fx, double fy) const;

private:
    SharedFrameBuffer section_;
};

}  // namespace veltrix::bench
