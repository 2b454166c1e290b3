#pragma once

#include <cstdint>
#include <memory>

#include <QSize>

#include "agent/EncodedFrame.h"
#include "agent/EncoderConfig.h"

namespace veltrix {

// A video encoder of the capture run: NV12 pictures in, one packet per picture out.
class IVideoEncoder {
public:
    virtual ~IVideoEncoder() = default;

    // Opens the encoder for `config`; closes what is open first. False on failure.
    virtual bool initialize(const EncoderConfig& config) = 0;
    virtual void shutdown() = 0;

    // Encodes one NV12 picture (layout of FrameConverter, row stride = width) of the configured
    // size. Null when the picture produced no packet or on failure.
    virtual std::unique_ptr<EncodedFrame> encode(const std::uint8_t* nv12, int width, int height,
                                                 std::int64_t timestampMs, bool forceKeyFrame) = 0;

    virtual bool isInitialized() const = 0;
    virtual void updateBitrate(int kbps) = 0;

    // The even size the encoder was configured with; the capture run re-initialises the encoder
    // when the next picture's size differs.
    virtual QSize configuredSize() const = 0;
};

}  // namespace veltrix
