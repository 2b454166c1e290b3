#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "shared/SharedFrameHeader.h"

namespace veltrix {

// The header of a frame as a reader saw it.
struct SharedFrameInfo {
    std::uint64_t sequence = 0;
    std::uint32_t dataSize = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t strideY = 0;
    std::uint32_t strideUV = 0;
    std::uint64_t timestamp = 0;
    bool keyFrame = false;
};

// Where a reader wants a frame's payload: `offset` bytes of it skipped, the next ones copied into
// `first`, the ones after those into `second` (the two planes of a picture). Either may be empty.
struct SharedFrameDestination {
    std::uint64_t offset = 0;
    std::span<std::uint8_t> first;
    std::span<std::uint8_t> second{};
};

// Chooses, from the header of the frame, where its payload goes; `readableBytes` is the header's
// dataSize bounded by the mapping. Nothing drops the frame.
using SharedFrameSink =
    std::function<std::optional<SharedFrameDestination>(const SharedFrameInfo& info, std::uint64_t readableBytes)>;

// The one reader of both sections, a sequence-lock reader: it reads the header (with the
// writer's lock word), refuses a frame that is being written (odd lock word), copies the payload
// where `sink` wants it, and reads the lock word and the sequence again: a frame that a writer
// began to replace while it was being copied is refused (nothing returned), so a mixed frame never
// passes.
//
// Whoever may write a section may also shrink it, and touching a mapped page past its new end
// raises SIGBUS. So nothing here touches the mapping but copyFromSection, and no reader gets a
// pointer into it: a section shrunk under the reader gives nothing instead of a crash.
//
// `view` is the start of the mapping (the header), `mappedSize` its size. Nothing is returned for
// a mapping smaller than a header, a header that cannot be read, a drop by `sink`, a destination
// beyond the readable bytes, or a copy that failed.
std::optional<SharedFrameInfo> readSharedFrame(const void* view, std::uint64_t mappedSize, const SharedFrameSink& sink);

// readSharedFrame with the whole readable payload copied into `payload` (resized to fit).
std::optional<SharedFrameInfo> readSharedFrameInto(const void* view, std::uint64_t mappedSize,
                                                   std::vector<std::uint8_t>& payload);

// The header as it stands, copied out with copyFromSection and followed by an acquire fence;
// false when it cannot be read (`header` is then all zero, as for a section with no frame yet).
bool copySharedFrameHeader(const void* view, SharedFrameHeader& header);

// The header's fields as they stand; all zero when it cannot be read.
SharedFrameInfo readSharedFrameHeader(const void* view);

}  // namespace veltrix
