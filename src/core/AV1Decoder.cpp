#include "core/AV1Decoder.h"

#include <cerrno>
#include <cstring>

#include <dav1d/dav1d.h>
#include <spdlog/spdlog.h>

#include "shared/ChromaRows.h"

namespace veltrix {
namespace {

// Each round of fetching a picture (and sending again) lets dav1d decode one more picture of the
// data it holds; a packet of the encoder holds one. The bound only guards against a library that
// stops making progress.
constexpr int kMaxRounds = 16;

constexpr int kTryAgain = DAV1D_ERR(EAGAIN);

}  // namespace

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

    Dav1dPicture picture{};
    bool havePicture = false;
    // Only the newest picture is returned; an older one that was still waiting is dropped.
    const auto fetchPicture = [&]() {
        Dav1dPicture next{};
        const int fetched = dav1d_get_picture(context_, &next);
        if (fetched == 0) {
            if (havePicture) dav1d_picture_unref(&picture);
            picture = next;
            havePicture = true;
        }
        return fetched;
    };

    // A packet can hold more than one picture (two temporal units sent as one, for instance).
    // dav1d then keeps the rest of the data after the first picture and answers "try again" to
    // the next packet until that rest is decoded. Two things keep packets from being lost here:
    // every picture of a packet is fetched (the rest is decoded, only the newest is shown), and
    // should the library still answer "try again", the waiting picture is fetched and the same
    // data sent again.
    int sent = dav1d_send_data(context_, &packet);
    for (int round = 0; sent == kTryAgain && round < kMaxRounds; ++round) {
        const int fetched = fetchPicture();
        if (fetched < 0 && fetched != kTryAgain) {
            spdlog::error("AV1Decoder: dav1d_get_picture failed (error {})", fetched);
            break;
        }
        sent = dav1d_send_data(context_, &packet);
    }
    dav1d_data_unref(&packet);
    if (sent < 0) {
        spdlog::error("AV1Decoder: dav1d_send_data failed (error {})", sent);
        if (!havePicture) return nullptr;
    } else {
        int fetched = 0;
        for (int round = 0; fetched == 0 && round < kMaxRounds; ++round) fetched = fetchPicture();
        if (fetched < 0 && fetched != kTryAgain) {
            spdlog::error("AV1Decoder: dav1d_get_picture failed (error {})", fetched);
            if (!havePicture) return nullptr;
        }
        if (!havePicture) {
            spdlog::debug("AV1Decoder: decoder needs more data (EAGAIN)");
            return nullptr;
        }
    }

    if (picture.p.layout != DAV1D_PIXEL_LAYOUT_I420 || picture.p.bpc != 8) {
        spdlog::error("AV1Decoder: unsupported pixel format (layout={}, bpc={})", static_cast<int>(picture.p.layout),
                      picture.p.bpc);
        dav1d_picture_unref(&picture);
        return nullptr;
    }
    std::unique_ptr<DecodedFrame> frame = toNv12(picture, timestamp);
    dav1d_picture_unref(&picture);
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

    // With an odd width the last byte of each row stays 0; with an odd height the decoder's last
    // chroma row is not used.
    frame->uv.assign(rowBytes * static_cast<std::size_t>(height / 2), 0);
    const auto* u = static_cast<const std::uint8_t*>(picture.data[1]);
    const auto* v = static_cast<const std::uint8_t*>(picture.data[2]);
    for (int row = 0; row < height / 2; ++row) {
        const std::ptrdiff_t offset = picture.stride[1] * row;
        chroma::interleaveRow(u + offset, v + offset, frame->uv.data() + rowBytes * row, rowBytes / 2);
    }
    return frame;
}

}  // namespace veltrix
