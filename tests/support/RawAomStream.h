#pragma once

// Streams made with libaom directly, for what the product's encoder never produces (odd sizes,
// 4:4:4, 10 bits per sample, a picture per frame chosen by the test) but a peer's stream may
// carry. Header only: a suite that includes it links PkgConfig::AOM.

#include <cstdint>
#include <vector>

#include <aom/aom_encoder.h>
#include <aom/aomcx.h>
#include <gtest/gtest.h>

namespace veltrix::test {

struct RawStreamOptions {
    int width = 64;
    int height = 64;
    aom_img_fmt_t format = AOM_IMG_FMT_I420;
    unsigned profile = 0;  // 1 for 4:4:4
    unsigned bitDepth = 8;
};

// The 8-bit Y, U and V value of one uniform picture (scaled up for higher bit depths).
struct PlaneValues {
    std::uint8_t y, u, v;
};

// One packet per entry of `frames`, each a uniform picture of those values; the first is a key
// frame, the others are not. Near-lossless, so a decoder gives the values back within a step
// or two.
inline std::vector<std::vector<std::uint8_t>> encodeUniformFrames(const RawStreamOptions& options,
                                                                  const std::vector<PlaneValues>& frames) {
    std::vector<std::vector<std::uint8_t>> packets;
    aom_codec_iface_t* iface = aom_codec_av1_cx();
    aom_codec_enc_cfg_t cfg;
    EXPECT_EQ(aom_codec_enc_config_default(iface, &cfg, AOM_USAGE_REALTIME), AOM_CODEC_OK);
    cfg.g_w = static_cast<unsigned>(options.width);
    cfg.g_h = static_cast<unsigned>(options.height);
    cfg.g_timebase = {1, 30};
    cfg.g_lag_in_frames = 0;
    cfg.g_profile = options.profile;
    cfg.g_bit_depth = static_cast<aom_bit_depth_t>(options.bitDepth);
    cfg.g_input_bit_depth = options.bitDepth;
    cfg.rc_end_usage = AOM_Q;
    cfg.kf_max_dist = 1000;
    aom_codec_ctx_t codec;
    const aom_codec_flags_t flags = options.bitDepth > 8 ? AOM_CODEC_USE_HIGHBITDEPTH : 0;
    if (aom_codec_enc_init(&codec, iface, &cfg, flags) != AOM_CODEC_OK) {
        ADD_FAILURE() << "aom_codec_enc_init: " << aom_codec_error_detail(&codec);
        return packets;
    }
    aom_codec_control(&codec, AOME_SET_CPUUSED, 10);
    aom_codec_control(&codec, AOME_SET_CQ_LEVEL, 4);
    aom_image_t* image = aom_img_alloc(nullptr, options.format, cfg.g_w, cfg.g_h, 16);
    for (std::size_t f = 0; f < frames.size(); ++f) {
        const std::uint8_t values[3] = {frames[f].y, frames[f].u, frames[f].v};
        for (int plane = 0; plane < 3; ++plane) {
            const auto rows = static_cast<int>(aom_img_plane_height(image, plane));
            const auto columns = static_cast<int>(aom_img_plane_width(image, plane));
            for (int r = 0; r < rows; ++r) {
                std::uint8_t* row = image->planes[plane] + r * image->stride[plane];
                for (int c = 0; c < columns; ++c) {
                    if (image->fmt & AOM_IMG_FMT_HIGHBITDEPTH) {
                        reinterpret_cast<std::uint16_t*>(row)[c] =
                            static_cast<std::uint16_t>(values[plane] << (options.bitDepth - 8));
                    } else {
                        row[c] = values[plane];
                    }
                }
            }
        }
        EXPECT_EQ(aom_codec_encode(&codec, image, static_cast<aom_codec_pts_t>(f), 1, 0), AOM_CODEC_OK)
            << aom_codec_error_detail(&codec);
        aom_codec_iter_t iterator = nullptr;
        while (const aom_codec_cx_pkt_t* packet = aom_codec_get_cx_data(&codec, &iterator)) {
            if (packet->kind != AOM_CODEC_CX_FRAME_PKT) continue;
            const auto* bytes = static_cast<const std::uint8_t*>(packet->data.frame.buf);
            packets.emplace_back(bytes, bytes + packet->data.frame.sz);
        }
    }
    EXPECT_EQ(packets.size(), frames.size());
    aom_img_free(image);
    aom_codec_destroy(&codec);
    return packets;
}

// `count` packets of one uniform picture.
inline std::vector<std::vector<std::uint8_t>> encodeUniformStream(const RawStreamOptions& options, int count,
                                                                  std::uint8_t y, std::uint8_t u, std::uint8_t v) {
    return encodeUniformFrames(options, std::vector<PlaneValues>(static_cast<std::size_t>(count), {y, u, v}));
}

}  // namespace veltrix::test
