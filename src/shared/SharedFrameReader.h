#pragma once

#include <cstdint>
#include <functional>
#include <optional>

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

// The one reader of both sections. Reads the sequence first, then the header, calls `copy`, and
// reads the sequence again: a frame the writer replaced while it was being copied is dropped
// (nothing returned). The writer stores the sequence only after the payload, so this narrows the
// window for mixed frames to a writer that laps the reader within one copy; it cannot close it
// without a lock, which the section layout does not have.
//
// `view` is the start of the mapping (the header), `mappedSize` its size. Nothing is returned for
// a mapping smaller than a header or a drop by `copy`.
std::optional<SharedFrameInfo> readSharedFrame(const void* view, std::uint64_t mappedSize,
                                               const SharedFrameCopy& copy);

// The header as it stands, sequence read first with acquire ordering.
SharedFrameInfo readSharedFrameHeader(const void* view);

}  // namespace veltrix
