#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "shared/DecodedFrame.h"

namespace veltrix {

// A video decoder of a viewing session: one packet in, at most one NV12 picture out.
class IVideoDecoder {
public:
    virtual ~IVideoDecoder() = default;

    // Opens a fresh decoder. `width` and `height` are what the stream is expected to carry
    // (informational; the stream decides). False on failure.
    virtual bool initialize(int width, int height) = 0;
    virtual void shutdown() = 0;

    // Feeds one packet; the picture it completes, or null.
    virtual std::unique_ptr<DecodedFrame> decode(const std::uint8_t* data, std::size_t size,
                                                 std::int64_t timestamp) = 0;

    virtual bool isInitialized() const = 0;
};

}  // namespace veltrix
