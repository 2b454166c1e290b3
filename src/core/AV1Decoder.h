#pragma once

#include "core/IVideoDecoder.h"

struct Dav1dContext;
struct Dav1dData;
struct Dav1dPicture;

namespace veltrix {

// AV1 on dav1d with a frame delay of 1 (no picture waits for a later packet). Pictures come out
// as NV12 with both strides equal to the width. Used on the service's event-loop thread.
class AV1Decoder final : public IVideoDecoder {
public:
    // The largest picture (in pixels) the decoder accepts: the most that the decoded-frame
    // section can carry as NV12. A stream that claims more is refused before the library
    // allocates its frames, so a peer cannot make the service allocate gigabytes.
    static const unsigned kMaxPicturePixels;

    AV1Decoder() = default;
    ~AV1Decoder() override;
    AV1Decoder(const AV1Decoder&) = delete;
    AV1Decoder& operator=(const AV1Decoder&) = delete;

    bool initialize(int width, int height) override;
    void shutdown() override;
    std::unique_ptr<DecodedFrame> decode(const std::uint8_t* data, std::size_t size, std::int64_t timestamp) override;
    bool isInitialized() const override { return initialized_; }

private:
    class Picture;

    void close();
    int send(Dav1dData& packet, Picture& newest);
    int fetchAll(Picture& newest);
    int fetchOne(Picture& newest);
    static std::unique_ptr<DecodedFrame> toNv12(const Dav1dPicture& picture, std::int64_t timestamp);

    Dav1dContext* context_ = nullptr;
    int expectedWidth_ = 0;
    int expectedHeight_ = 0;
    bool initialized_ = false;
};

}  // namespace veltrix
