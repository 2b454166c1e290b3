#pragma once

#include <string>
#include <vector>

#include <aom/aom_encoder.h>
#include <aom/aom_image.h>

#include "agent/IVideoEncoder.h"

namespace veltrix {

// AV1 on libaom, tuned for live screen sharing: real-time usage, no look-ahead, error-resilient
// frames, constant-quality rate control, key frames at least every `keyframeInterval` frames and
// on demand. Used on the capture thread only.
class AV1Encoder final : public IVideoEncoder {
public:
    AV1Encoder() = default;
    ~AV1Encoder() override;
    AV1Encoder(const AV1Encoder&) = delete;
    AV1Encoder& operator=(const AV1Encoder&) = delete;

    bool initialize(const EncoderConfig& config) override;
    void shutdown() override;
    std::unique_ptr<EncodedFrame> encode(const std::uint8_t* nv12, int width, int height, std::int64_t timestampMs,
                                         bool forceKeyFrame) override;
    bool isInitialized() const override { return initialized_; }
    void updateBitrate(int kbps) override;
    QSize configuredSize() const override { return {width_, height_}; }

    // The library's speed setting (cpu-used, 0..10) for a preset: a decimal number n gives
    // n x 10 / 13 clamped to 0..10; otherwise a name ("ultrafast" ... "veryslow"); anything else 8.
    static int cpuUsedForPreset(const std::string& preset);

private:
    void release();
    bool wrapPicture(const std::uint8_t* nv12);

    aom_codec_ctx_t codec_{};
    bool codecOpen_ = false;
    aom_codec_enc_cfg_t config_{};  // kept for bitrate updates
    aom_image_t image_{};                    // the picture of the current encode(); owns no memory
    std::vector<std::uint8_t> chromaPlanes_;  // its U, then V plane; sized by initialize()
    int width_ = 1920;
    int height_ = 1080;
    int fps_ = 10;
    int bitrateKbps_ = 500;
    int keyframeInterval_ = 60;
    int cqLevel_ = 45;
    std::string preset_ = "8";
    std::int64_t frameCounter_ = 0;
    bool initialized_ = false;
};

}  // namespace veltrix
