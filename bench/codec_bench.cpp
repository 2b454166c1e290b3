// The video path of a session on a generated 1920x1080 desktop: BGRA -> NV12 (FrameConverter),
// NV12 -> AV1 (AV1Encoder), AV1 -> NV12 (AV1Decoder), per frame, for the service's two display
// modes and two kinds of screen (text scrolling in a window, a mostly static screen). Prints the
// per-frame times, the bitrate and the PSNR of the decoded picture against the converted source.
// Beside it: the converter against libyuv's ARGBToNV12, and the encoder wrapper against a bare
// libaom loop with the same settings, each as a ratio.
//
//   codec_bench [frames per clip, default 60]

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <aom/aom_encoder.h>
#include <aom/aomcx.h>
#include <libyuv.h>
#include <spdlog/spdlog.h>

#include "agent/AV1Encoder.h"
#include "support/GeneratedDesktop.h"
#include "agent/FrameConverter.h"
#include "core/AV1Decoder.h"

namespace {

using veltrix::AV1Decoder;
using veltrix::AV1Encoder;
using veltrix::EncoderConfig;
using veltrix::FrameConverter;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kStride = kWidth * 4;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

double median(const std::vector<double>& values) { return percentile(values, 0.5); }

using Desktop = veltrix::bench::GeneratedDesktop;

// ---------------------------------------------------------------------------------------------
// Display modes: the settings the service sends with START_CAPTURE.

struct Mode {
    const char* name;
    int fps;
    int crf;
    const char* preset;
    int bitrateKbps;
};

constexpr Mode kDefaultMode{"default (mode 1)", 20, 45, "13", 1500};
constexpr Mode kQualityMode{"quality (mode 0)", 30, 18, "7", 8000};

EncoderConfig configFor(const Mode& mode) {
    EncoderConfig config;
    config.width = kWidth;
    config.height = kHeight;
    config.fps = mode.fps;
    config.crf = mode.crf;
    config.preset = mode.preset;
    config.bitrateKbps = mode.bitrateKbps;
    config.keyframeInterval = 60;
    return config;
}

// Sum of squared differences of two planes of equal size.
double squaredError(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const int d = int{a[i]} - int{b[i]};
        sum += static_cast<std::uint64_t>(d * d);
    }
    return static_cast<double>(sum);
}

double psnr(double squared, std::size_t samples) {
    if (squared == 0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(samples) / squared);
}

void runClip(Desktop& desktop, const Mode& mode, bool scrolling, int frames) {
    FrameConverter converter;
    AV1Encoder encoder;
    AV1Decoder decoder;
    if (!encoder.initialize(configFor(mode)) || !decoder.initialize(0, 0)) {
        std::printf("  encoder or decoder failed to start\n");
        return;
    }
    Bytes nv12 = FrameConverter::allocateNv12Buffer(kWidth, kHeight);
    const std::size_t lumaSize = static_cast<std::size_t>(kWidth) * kHeight;
    std::vector<double> convertTimes, encodeTimes, decodeTimes, totalTimes;
    std::uint64_t bytes = 0, keyBytes = 0;
    int keyFrames = 0, decoded = 0;
    double lumaError = 0, allError = 0;

    for (int i = 0; i < frames; ++i) {
        const Bytes& picture = desktop.frame(i, scrolling);
        auto start = Clock::now();
        converter.convert(picture.data(), kWidth, kHeight, kStride, nv12.data(), 0);
        const double convertMs = millisecondsSince(start);
        start = Clock::now();
        auto packet = encoder.encode(nv12.data(), kWidth, kHeight, i, false);
        const double encodeMs = millisecondsSince(start);
        double decodeMs = 0;
        if (packet) {
            bytes += packet->data.size();
            if (packet->keyFrame) {
                ++keyFrames;
                keyBytes += packet->data.size();
            }
            start = Clock::now();
            auto frame = decoder.decode(packet->data.data(), packet->data.size(), i);
            decodeMs = millisecondsSince(start);
            if (frame && frame->width == kWidth && frame->height == kHeight) {
                ++decoded;
                const double y = squaredError(frame->y.data(), nv12.data(), lumaSize);
                lumaError += y;
                allError += y + squaredError(frame->uv.data(), nv12.data() + lumaSize, lumaSize / 2);
            }
        }
        convertTimes.push_back(convertMs);
        encodeTimes.push_back(encodeMs);
        decodeTimes.push_back(decodeMs);
        totalTimes.push_back(convertMs + encodeMs + decodeMs);
    }

    const double seconds = static_cast<double>(frames) / mode.fps;
    const double kbps = static_cast<double>(bytes) * 8 / 1000 / seconds;
    std::printf("  %-9s convert %5.2f  encode %6.2f (p90 %6.2f)  decode %5.2f  total %6.2f (p90 %6.2f) ms/frame median\n",
                scrolling ? "scrolling" : "static", median(convertTimes), median(encodeTimes),
                percentile(encodeTimes, 0.9), median(decodeTimes), median(totalTimes), percentile(totalTimes, 0.9));
    std::printf("            %7.0f kbit/s at %d fps (%d key frames, %.0f KiB of key frame data; delta frames %.1f KiB mean)\n",
                kbps, mode.fps, keyFrames, static_cast<double>(keyBytes) / 1024,
                frames > keyFrames ? static_cast<double>(bytes - keyBytes) / 1024 / (frames - keyFrames) : 0.0);
    std::printf("            PSNR Y %.2f dB, YUV %.2f dB over %d decoded frames\n",
                psnr(lumaError, lumaSize * decoded), psnr(allError, lumaSize * 3 / 2 * decoded), decoded);
}

// ---------------------------------------------------------------------------------------------
// The converter against libyuv on the same picture.

void compareConverter(Desktop& desktop) {
    const Bytes& picture = desktop.frame(0, true);
    FrameConverter converter;
    Bytes nv12 = FrameConverter::allocateNv12Buffer(kWidth, kHeight);
    Bytes yuvLuma(static_cast<std::size_t>(kWidth) * kHeight), yuvChroma(static_cast<std::size_t>(kWidth) * kHeight / 2);
    Bytes scaled = FrameConverter::allocateNv12Buffer(1280, 720);
    constexpr int kRounds = 200;
    std::vector<double> ours, theirs, scaledTimes;
    for (int round = 0; round < kRounds; ++round) {  // interleaved, so load on the machine hits both alike
        auto start = Clock::now();
        converter.convert(picture.data(), kWidth, kHeight, kStride, nv12.data(), 0);
        ours.push_back(millisecondsSince(start));
        start = Clock::now();
        libyuv::ARGBToNV12(picture.data(), kStride, yuvLuma.data(), kWidth, yuvChroma.data(), kWidth, kWidth, kHeight);
        theirs.push_back(millisecondsSince(start));
        if (round % 4 == 0) {
            start = Clock::now();
            converter.convertScaled(picture.data(), kWidth, kHeight, kStride, 1280, 720, scaled.data(), 0);
            scaledTimes.push_back(millisecondsSince(start));
        }
    }
    std::printf("converter 1920x1080 BGRA -> NV12: FrameConverter %.3f ms, libyuv ARGBToNV12 %.3f ms median "
                "(ratio %.2fx of libyuv; target <= 2x)\n",
                median(ours), median(theirs), median(ours) / median(theirs));
    std::printf("converter 1920x1080 -> 1280x720 box-scaled: %.3f ms median\n", median(scaledTimes));
}

// ---------------------------------------------------------------------------------------------
// The encoder wrapper against libaom driven directly with the same settings. Both encode the
// same pictures, frame by frame in turn; the bare loop gets its I420 planes ready-made, the
// wrapper its NV12 input, so the ratio includes whatever the wrapper does to hand NV12 over.

class BareEncoder {
public:
    explicit BareEncoder(const Mode& mode) {
        aom_codec_iface_t* iface = aom_codec_av1_cx();
        aom_codec_enc_cfg_t cfg;
        aom_codec_enc_config_default(iface, &cfg, AOM_USAGE_REALTIME);
        cfg.g_w = kWidth;
        cfg.g_h = kHeight;
        cfg.g_timebase = {1, mode.fps};
        cfg.rc_target_bitrate = static_cast<unsigned>(mode.bitrateKbps);
        cfg.rc_end_usage = AOM_CQ;
        cfg.kf_min_dist = 0;
        cfg.kf_max_dist = 60;
        cfg.g_error_resilient = AOM_ERROR_RESILIENT_DEFAULT;
        cfg.g_pass = AOM_RC_ONE_PASS;
        cfg.g_lag_in_frames = 0;
        cfg.g_threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
        ok_ = aom_codec_enc_init(&codec_, iface, &cfg, 0) == AOM_CODEC_OK;
        aom_codec_control(&codec_, AOME_SET_CPUUSED, AV1Encoder::cpuUsedForPreset(mode.preset));
        aom_codec_control(&codec_, AOME_SET_CQ_LEVEL, std::clamp(mode.crf, 0, 63));
        aom_codec_control(&codec_, AV1E_SET_ROW_MT, 1);
        aom_codec_control(&codec_, AV1E_SET_TILE_COLUMNS, 2);
        aom_codec_control(&codec_, AV1E_SET_TILE_ROWS, 1);
        image_ = aom_img_alloc(nullptr, AOM_IMG_FMT_I420, kWidth, kHeight, 16);
    }
    ~BareEncoder() {
        aom_img_free(image_);
        if (ok_) aom_codec_destroy(&codec_);
    }
    BareEncoder(const BareEncoder&) = delete;
    BareEncoder& operator=(const BareEncoder&) = delete;

    bool ok() const { return ok_ && image_; }
    aom_image_t& image() { return *image_; }

    // The frame's packet; its bytes are copied after the clock stops.
    const aom_codec_cx_pkt_t* encode() {
        aom_codec_encode(&codec_, image_, counter_++, 1, 0);
        aom_codec_iter_t iterator = nullptr;
        while (const aom_codec_cx_pkt_t* packet = aom_codec_get_cx_data(&codec_, &iterator)) {
            if (packet->kind == AOM_CODEC_CX_FRAME_PKT) return packet;
        }
        return nullptr;
    }

private:
    aom_codec_ctx_t codec_{};
    aom_image_t* image_ = nullptr;
    aom_codec_pts_t counter_ = 0;
    bool ok_ = false;
};

void splitToI420(const Bytes& nv12, aom_image_t& image) {
    for (int y = 0; y < kHeight; ++y)
        std::memcpy(image.planes[0] + static_cast<std::ptrdiff_t>(y) * image.stride[0], nv12.data() + static_cast<std::size_t>(y) * kWidth, kWidth);
    const std::uint8_t* chroma = nv12.data() + static_cast<std::size_t>(kWidth) * kHeight;
    for (int y = 0; y < kHeight / 2; ++y, chroma += kWidth)
        for (int x = 0; x < kWidth / 2; ++x) {
            image.planes[1][static_cast<std::ptrdiff_t>(y) * image.stride[1] + x] = chroma[2 * x];
            image.planes[2][static_cast<std::ptrdiff_t>(y) * image.stride[2] + x] = chroma[2 * x + 1];
        }
}

void compareEncoder(Desktop& desktop, const Mode& mode, int frames) {
    AV1Encoder wrapper;
    BareEncoder bare(mode);
    if (!wrapper.initialize(configFor(mode)) || !bare.ok()) {
        std::printf("  encoder failed to start\n");
        return;
    }
    FrameConverter converter;
    Bytes nv12 = FrameConverter::allocateNv12Buffer(kWidth, kHeight);
    std::vector<double> wrapperTimes, bareTimes;
    double wrapperTotal = 0, bareTotal = 0;
    bool samePackets = true;
    for (int i = 0; i < frames; ++i) {
        converter.convert(desktop.frame(i, true).data(), kWidth, kHeight, kStride, nv12.data(), 0);
        splitToI420(nv12, bare.image());
        // Alternate which one goes first, so that neither always meets the other's leftovers
        // (threads winding down, caches) or a burst of load on the machine.
        std::unique_ptr<veltrix::EncodedFrame> packet;
        const aom_codec_cx_pkt_t* barePacket = nullptr;
        const auto timeWrapper = [&] {
            const auto start = Clock::now();
            packet = wrapper.encode(nv12.data(), kWidth, kHeight, i, false);
            wrapperTimes.push_back(millisecondsSince(start));
        };
        const auto timeBare = [&] {
            const auto start = Clock::now();
            barePacket = bare.encode();
            bareTimes.push_back(millisecondsSince(start));
        };
        if (i % 2 == 0) {
            timeWrapper();
            timeBare();
        } else {
            timeBare();
            timeWrapper();
        }
        wrapperTotal += wrapperTimes.back();
        bareTotal += bareTimes.back();
        // The two see the same picture, one as NV12 and one as I420: their packets must match.
        const auto* bareBytes = barePacket ? static_cast<const std::uint8_t*>(barePacket->data.frame.buf) : nullptr;
        samePackets = samePackets && packet && bareBytes &&
                      Bytes(bareBytes, bareBytes + barePacket->data.frame.sz) == packet->data;
    }
    // Each frame's two times are taken back to back, so their ratio sees the same load on the
    // machine; its median is the steadiest of the three figures on a busy machine.
    std::vector<double> pairedRatios;
    for (std::size_t i = 0; i < wrapperTimes.size(); ++i) pairedRatios.push_back(wrapperTimes[i] / bareTimes[i]);
    std::printf("encoder wrapper vs bare libaom, %s, scrolling, %d frames: wrapper %.2f ms, bare %.2f ms median; "
                "totals %.0f / %.0f ms (ratio %.3f of medians, %.3f of totals, %.3f median of per-frame ratios; "
                "target <= 1.05); same packets: %s\n",
                mode.name, frames, median(wrapperTimes), median(bareTimes), wrapperTotal, bareTotal,
                median(wrapperTimes) / median(bareTimes), wrapperTotal / bareTotal, median(pairedRatios),
                samePackets ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
    spdlog::set_level(spdlog::level::warn);
    const int frames = argc > 1 ? std::max(2, std::atoi(argv[1])) : 60;
    Desktop desktop;
    std::printf("codec path, 1920x1080, %d frames per clip, %u hardware threads\n", frames,
                std::thread::hardware_concurrency());
    for (const Mode* mode : {&kDefaultMode, &kQualityMode}) {
        std::printf("%s: %d fps, crf %d, preset \"%s\" (cpu-used %d), %d kbit/s\n", mode->name, mode->fps, mode->crf,
                    mode->preset, AV1Encoder::cpuUsedForPreset(mode->preset), mode->bitrateKbps);
        runClip(desktop, *mode, true, frames);
        runClip(desktop, *mode, false, frames);
    }
    compareConverter(desktop);
    compareEncoder(desktop, kDefaultMode, frames);
    return 0;
}
