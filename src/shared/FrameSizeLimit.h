#pragma once

#include <cstdint>
#include <utility>

#include "shared/SharedFrameHeader.h"

namespace veltrix {

// The most pixels a picture may have so that its NV12 planes (width x height x 3 / 2 bytes) fit
// the decoded-frame section on the viewing side. The agent never encodes more; the decoder
// refuses more.
inline constexpr std::uint64_t kMaxFramePixels = (kFrameSectionSize - kSharedFrameHeaderSize) * 2 / 3;

// `width` x `height` when it fits kMaxFramePixels, else the largest even size with (about) the
// same aspect ratio that does.
std::pair<int, int> fitToFrameSection(int width, int height);

}  // namespace veltrix
