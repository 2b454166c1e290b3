#pragma once

#include "core/IVideoDecoder.h"

struct Dav1dContext;
struct Dav1dPicture;

namespace veltrix {

// AV1 on dav1d with a frame delay of 1 (no picture waits for a later packet). Pictures come out
// as NV12 with both strides equal to the width. Used on the service's event-loop thread.
class AV1Decoder final : public IVideoDecoder {
public:
    AV1Decoder() = default;
    ~AV1Decoder() override;
    AV1Decoder(const AV1Decoder&) = delete;
    AV1Decoder& operator=(const AV1Decoder&) = delete;

    bool initialize(int width, int height) override;
    void shutdown() override;
    std::unique_ptr<DecodedFrame> decode(const std::uint8_t* data, std::size_t size, std::int64_t timestamp) override;
    bool isInitialized() const override { return initialized_; }

private:
    void close();
    static std::unique_ptr<DecodedFrame> toNv12(const Dav1dPicture& picture, std::int64_t timestamp);

    Dav1dContext* context_ = nullptr;
    int expectedWidth_ = 0;
    int expectedHeight_ = 0;
    bool initialized_ = false;
};

}  // namespace veltrix
