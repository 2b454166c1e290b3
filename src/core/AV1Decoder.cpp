#include "core/AV1Decoder.h"

#include <cerrno>
#include <cstring>

#include <dav1d/dav1d.h>
#include <spdlog/spdlog.h>

#include "shared/ChromaRows.h"
#include "shared/FrameSizeLimit.h"
#include "shared/SharedFrameHeader.h"

namespace veltrix {
namespace {

constexpr int kTryAgain = DAV1D_ERR(EAGAIN);

// Each round of fetching lets dav1d finish one more picture of the data it holds; a packet of
// the encoder holds one. The bound only guards against a library that stops making progress.
constexpr int kMaxRounds = 16;

}  // namespace

const unsigned AV1Decoder::kMaxPicturePixels =
    static_cast<unsigned>(kMaxFramePixels);

// The newest picture fetched so far; releases the one it replaces and its own on destruction.
class AV1Decoder::Picture {
public:
    Picture() = default;
    ~Picture() { reset(); }
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    bool has() const { return has_; }
    const Dav1dPicture& get() const { return picture_; }

    void replace(const Dav1dPicture& next) {
        reset();
        picture_ = next;
        has_ = true;
    }

    void reset() {
        if (has_) dav1d_picture_unref(&picture_);
        has_ = false;
    }

private:
    Dav1dPicture picture_{};
    bool has_ = false;
};

AV1Decoder::~AV1Decoder() { close(); }

void AV1Decoder::close() {
    if (context_) dav1d_close(&context_);
    context_ = nullptr;
    initialized_ = false;
}

bool AV1Decoder::initialize(int width, int height) {
    close();
    expectedWidth_ = width;
    expectedHeight_ = height;

    Dav1dSettings settings;
    dav1d_default_settings(&settings);
    settings.n_threads = 0;        // the library's choice (one per logical core)
    settings.max_frame_delay = 1;  // one packet in, its picture out: no look-ahead
    settings.frame_size_limit = kMaxPicturePixels;
    if (const int result = dav1d_open(&context_, &settings); result < 0) {
        spdlog::error("AV1Decoder: dav1d_open failed (error {})", result);
        context_ = nullptr;
        return false;
    }
    initialized_ = true;
    spdlog::info("AV1Decoder: initialized using dav1d (expected {}x{})", expectedWidth_, expectedHeight_);
    return true;
}

void AV1Decoder::shutdown() { close(); }

// dav1d answers "try again" while it still holds undecoded data of an earlier packet (one that
// carried more than one picture). It has then not taken the new packet, so dropping the packet
// would lose a frame and break every frame that refers to it: the waiting pictures are fetched
// and the same data is sent again.
int AV1Decoder::send(Dav1dData& packet, Picture& newest) {
    int sent = dav1d_send_data(context_, &packet);
    for (int round = 0; sent == kTryAgain && round < kMaxRounds; ++round) {
        if (const int fetched = fetchAll(newest); fetched != kTryAgain) {
            spdlog::error("AV1Decoder: dav1d_get_picture failed (error {})", fetched);
            return fetched;
        }
        sent = dav1d_send_data(context_, &packet);
    }
    return sent;
}

// Fetches every picture that is ready, keeping only the newest: the older ones are superseded.
// Returns "try again" once nothing more is ready, or the library's error.
int AV1Decoder::fetchAll(Picture& newest) {
    for (int round = 0; round < kMaxRounds; ++round) {
        if (const int fetched = fetchOne(newest); fetched < 0) return fetched;
    }
    return kTryAgain;
}

int AV1Decoder::fetchOne(Picture& newest) {
    Dav1dPicture next{};
    const int fetched = dav1d_get_picture(context_, &next);
    if (fetched == 0) newest.replace(next);
    return fetched;
}

std::unique_ptr<DecodedFrame> AV1Decoder::decode(const std::uint8_t* data, std::size_t size, std::int64_t timestamp) {
    if (!initialized_) {
        spdlog::error("AV1Decoder: decode called before initialization");
        return nullptr;
    }
    if (!data || size == 0) {
        spdlog::warn("AV1Decoder: empty input data");
        return nullptr;
    }
    Dav1dData packet{};
    std::uint8_t* buffer = dav1d_data_create(&packet, size);
    if (!buffer) {
        spdlog::error("AV1Decoder: dav1d_data_create failed");
        return nullptr;
    }
    std::memcpy(buffer, data, size);

    Picture newest;
    const int sent = send(packet, newest);
    dav1d_data_unref(&packet);  // a no-op when the library took the data
    if (sent < 0) {
        // A picture fetched while retrying is still good and is shown.
        spdlog::error("AV1Decoder: dav1d_send_data failed (error {})", sent);
    } else if (const int fetched = fetchOne(newest); fetched < 0 && fetched != kTryAgain) {
        spdlog::error("AV1Decoder: dav1d_get_picture failed (error {})", fetched);
    } else if (!newest.has()) {
        spdlog::debug("AV1Decoder: decoder needs more data (EAGAIN)");
    }
    if (!newest.has()) return nullptr;

    const Dav1dPicture& picture = newest.get();
    if (picture.p.layout != DAV1D_PIXEL_LAYOUT_I420 || picture.p.bpc != 8) {
        spdlog::error("AV1Decoder: unsupported pixel format (layout={}, bpc={})", static_cast<int>(picture.p.layout),
                      picture.p.bpc);
        return nullptr;
    }
    std::unique_ptr<DecodedFrame> frame = toNv12(picture, timestamp);
    spdlog::trace("AV1Decoder: decoded frame {}x{} ({} + {} bytes)", frame->width, frame->height, frame->y.size(),
                  frame->uv.size());
    return frame;
}

std::unique_ptr<DecodedFrame> AV1Decoder::toNv12(const Dav1dPicture& picture, std::int64_t timestamp) {
    const int width = picture.p.w;
    const int height = picture.p.h;
    auto frame = std::make_unique<DecodedFrame>();
    frame->width = width;
    frame->height = height;
    frame->strideY = width;
    frame->strideUV = width;
    frame->timestamp = timestamp;

    const auto rowBytes = static_cast<std::size_t>(width);
    frame->y.resize(rowBytes * static_cast<std::size_t>(height));
    const auto* luma = static_cast<const std::uint8_t*>(picture.data[0]);
    for (int row = 0; row < height; ++row) {
        std::memcpy(frame->y.data() + rowBytes * row, luma + picture.stride[0] * row, rowBytes);
    }

    // The plane starts zeroed: with an odd width the last byte of each row stays 0; with an odd height the decoder's last
    // chroma row is not used.
    frame->uv.resize(rowBytes * static_cast<std::size_t>(height / 2));
    const auto* u = static_cast<const std::uint8_t*>(picture.data[1]);
    const auto* v = static_cast<const std::uint8_t*>(picture.data[2]);
    for (int row = 0; row < height / 2; ++row) {
        const std::ptrdiff_t offset = picture.stride[1] * row;
        chroma::interleaveRow(u + offset, v + offset, frame->uv.data() + rowBytes * row, rowBytes / 2);
    }
    return frame;
}

}  // namespace veltrix
