#pragma once

#include <cstdint>
#include <functional>
#include <optional>
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

// Copies the payload of the frame at `info` out of the section; gets the payload start and the
// number of bytes that may be read (dataSize bounded by the mapping). Returns false to drop the
// frame.
using SharedFrameCopy = std::function<bool(const SharedFrameInfo& info, const std::uint8_t* payload,
                                           std::uint64_t readableBytes)>;

// The one reader of both sections, a sequence-lock reader: it reads the header (with the
// writer's lock word), refuses a frame that is being written (odd lock word), calls `copy`, and
// reads the lock word and the sequence again: a frame that a writer began to replace while it was
// being copied is refused (nothing returned), so a mixed frame never passes. Frames that were
// complete throughout are read as before.
//
// The header is read with copyFromSection, so a section shrunk under the reader gives nothing
// instead of SIGBUS; `copy` must copy the payload with copySharedPayload (or copyFromSection) for
// the same reason whenever another account can write the section.
//
// `view` is the start of the mapping (the header), `mappedSize` its size. Nothing is returned for
// a mapping smaller than a header, a header that cannot be read, or a drop by `copy`.
std::optional<SharedFrameInfo> readSharedFrame(const void* view, std::uint64_t mappedSize,
                                               const SharedFrameCopy& copy);

// Copies payload bytes out of a section; false when the section shrank under the copy.
bool copySharedPayload(void* destination, const std::uint8_t* payload, std::uint64_t size);

// readSharedFrame with the whole readable payload copied into `payload` (resized to fit).
std::optional<SharedFrameInfo> readSharedFrameInto(const void* view, std::uint64_t mappedSize,
                                                   std::vector<std::uint8_t>& payload);

// The header as it stands (read with copyFromSection, then an acquire fence); all zero, as for a
// section with no frame yet, when it cannot be read.
SharedFrameInfo readSharedFrameHeader(const void* view);

}  // namespace veltrix
