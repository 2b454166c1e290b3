#include "agent/AV1Encoder.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <thread>
#include <utility>

#include <aom/aomcx.h>
#include <spdlog/spdlog.h>

#include "shared/ChromaRows.h"


namespace veltrix {
namespace {

// The tiles (four columns, two rows) and row multithreading only pay off with worker threads;
// more threads than tiles gain little.
constexpr unsigned kMaxEncoderThreads = 8;

unsigned encoderThreads() {
    return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxEncoderThreads);
}

// Reads a leading decimal integer the way std::stoi does (leading blanks, a sign, digits, any
// rest ignored); nothing for text that does not start with a number or leaves the 32-bit range.
std::optional<int> leadingInteger(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || value < INT_MIN || value > INT_MAX) return std::nullopt;
    return static_cast<int>(value);
}

}  // namespace

AV1Encoder::~AV1Encoder() { release(); }

int AV1Encoder::cpuUsedForPreset(const std::string& preset) {
    if (const auto number = leadingInteger(preset)) {
        return static_cast<int>(std::clamp<long long>(static_cast<long long>(*number) * 10 / 13, 0, 10));
    }
    static constexpr std::pair<const char*, int> kNames[] = {
        {"ultrafast", 10}, {"superfast", 10}, {"veryfast", 9}, {"faster", 9},
        {"fast", 8},       {"medium", 6},     {"slow", 4},     {"veryslow", 1},
    };
    for (const auto& [name, speed] : kNames) {
        if (preset == name) return speed;
    }
    return 8;
}

void AV1Encoder::release() {
    chromaPlanes_ = {};
    if (codecOpen_) {
        aom_codec_destroy(&codec_);
        codecOpen_ = false;
    }
    frameCounter_ = 0;
    initialized_ = false;
}

void AV1Encoder::shutdown() { release(); }

bool AV1Encoder::initialize(const EncoderConfig& config) {
    release();
    width_ = config.width & ~1;
    height_ = config.height & ~1;
    fps_ = config.fps;
    bitrateKbps_ = config.bitrateKbps;
    keyframeInterval_ = config.keyframeInterval;
    cqLevel_ = std::clamp(config.crf, 0, 63);
    preset_ = config.preset;
    const int cpuUsed = cpuUsedForPreset(preset_);

    aom_codec_iface_t* iface = aom_codec_av1_cx();
    if (!iface) {
        spdlog::error("AV1Encoder: aom_codec_av1_cx() returned null");
        return false;
    }
    if (const aom_codec_err_t err = aom_codec_enc_config_default(iface, &config_, AOM_USAGE_REALTIME)) {
        spdlog::error("AV1Encoder: aom_codec_enc_config_default failed: {}", aom_codec_err_to_string(err));
        return false;
    }
    config_.g_w = static_cast<unsigned>(std::max(width_, 0));
    config_.g_h = static_cast<unsigned>(std::max(height_, 0));
    config_.g_timebase = {1, fps_};
    config_.rc_target_bitrate = static_cast<unsigned>(std::max(bitrateKbps_, 0));
    config_.rc_end_usage = AOM_CQ;
    config_.kf_min_dist = 0;
    config_.kf_max_dist = static_cast<unsigned>(std::max(keyframeInterval_, 0));
    config_.g_error_resilient = AOM_ERROR_RESILIENT_DEFAULT;
    config_.g_pass = AOM_RC_ONE_PASS;
    config_.g_lag_in_frames = 0;
    config_.g_threads = encoderThreads();

    if (const aom_codec_err_t err = aom_codec_enc_init(&codec_, iface, &config_, 0)) {
        spdlog::error("AV1Encoder: aom_codec_enc_init failed: {}", aom_codec_err_to_string(err));
        return false;
    }
    codecOpen_ = true;

    const auto control = [this](int id, const char* name, int value) {
        if (const aom_codec_err_t err = aom_codec_control(&codec_, id, value)) {
            spdlog::warn("AV1Encoder: aom_codec_control({}) failed: {}", name, aom_codec_err_to_string(err));
        }
    };
    control(AOME_SET_CPUUSED, "AOME_SET_CPUUSED", cpuUsed);
    control(AOME_SET_CQ_LEVEL, "AOME_SET_CQ_LEVEL", cqLevel_);
    control(AV1E_SET_ROW_MT, "AV1E_SET_ROW_MT", 1);
    control(AV1E_SET_TILE_COLUMNS, "AV1E_SET_TILE_COLUMNS", 2);
    control(AV1E_SET_TILE_ROWS, "AV1E_SET_TILE_ROWS", 1);

    // The U and V planes of the picture handed to the library, filled by every encode().
    chromaPlanes_.assign(static_cast<std::size_t>(width_ / 2) * static_cast<std::size_t>(height_ / 2) * 2, 0);

    initialized_ = true;
    frameCounter_ = 0;
    spdlog::info("AV1Encoder: initialized ({}x{} @ {} fps, CQ {}, bitrate {} kbps, cpu-used={})", config.width,
                 config.height, fps_, cqLevel_, bitrateKbps_, cpuUsed);
    return true;
}

bool AV1Encoder::wrapPicture(const std::uint8_t* nv12) {
    // The caller's buffer is described as planar 4:2:0 in place: the Y plane is used as it is (the
    // library copies its input anyway) and only the chroma planes are repointed at their split.
    // Splitting here is cheaper than giving the library NV12 itself, which it splits sample by
    // sample; the picture, and so the stream, is the same either way. libaom only reads the input.
    if (!aom_img_wrap(&image_, AOM_IMG_FMT_I420, config_.g_w, config_.g_h, 1, const_cast<std::uint8_t*>(nv12))) {
        spdlog::error("AV1Encoder: aom_img_wrap failed ({}x{})", width_, height_);
        return false;
    }
    const std::size_t planeSize = chromaPlanes_.size() / 2;
    // Both chroma layouts have no padding between rows, so the whole plane splits in one run.
    chroma::deinterleaveRow(nv12 + static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_),
                            chromaPlanes_.data(), chromaPlanes_.data() + planeSize, planeSize);
    image_.planes[AOM_PLANE_U] = chromaPlanes_.data();
    image_.planes[AOM_PLANE_V] = chromaPlanes_.data() + planeSize;
    return true;
}

std::unique_ptr<EncodedFrame> AV1Encoder::encode(const std::uint8_t* nv12, int width, int height,
                                                 std::int64_t timestampMs, bool forceKeyFrame) {
    if (!initialized_) {
        spdlog::error("AV1Encoder: encode called before initialization");
        return nullptr;
    }
    if (width != width_ || height != height_) {
        spdlog::error("AV1Encoder: frame dimensions {}x{} do not match configured {}x{}", width, height, width_,
                      height_);
        return nullptr;
    }
    if (!nv12) {
        spdlog::error("AV1Encoder: encode called without a picture");
        return nullptr;
    }
    if (!wrapPicture(nv12)) return nullptr;

    const aom_enc_frame_flags_t flags = forceKeyFrame ? AOM_EFLAG_FORCE_KF : 0;
    if (const aom_codec_err_t err = aom_codec_encode(&codec_, &image_, frameCounter_, 1, flags)) {
        spdlog::error("AV1Encoder: aom_codec_encode failed: {}", aom_codec_err_to_string(err));
        return nullptr;
    }
    ++frameCounter_;

    aom_codec_iter_t iterator = nullptr;
    while (const aom_codec_cx_pkt_t* packet = aom_codec_get_cx_data(&codec_, &iterator)) {
        if (packet->kind != AOM_CODEC_CX_FRAME_PKT) continue;
        auto frame = std::make_unique<EncodedFrame>();
        const auto* bytes = static_cast<const std::uint8_t*>(packet->data.frame.buf);
        frame->data.assign(bytes, bytes + packet->data.frame.sz);
        frame->timestamp = timestampMs;
        frame->keyFrame = (packet->data.frame.flags & AOM_FRAME_IS_KEY) != 0;
        frame->pts = packet->data.frame.pts;
        spdlog::trace("AV1Encoder: encoded frame {} ({} bytes, {})", frameCounter_ - 1, frame->data.size(),
                      frame->keyFrame ? "keyframe" : "delta");
        return frame;
    }
    spdlog::debug("AV1Encoder: no output packet yet (buffering)");
    return nullptr;
}

void AV1Encoder::updateBitrate(int kbps) {
    if (!initialized_) {
        spdlog::warn("AV1Encoder: updateBitrate called before initialization");
        return;
    }
    if (kbps <= 0) {
        spdlog::warn("AV1Encoder: ignoring invalid bitrate {} kbps", kbps);
        return;
    }
    bitrateKbps_ = kbps;
    config_.rc_target_bitrate = static_cast<unsigned>(kbps);
    if (const aom_codec_err_t err = aom_codec_enc_config_set(&codec_, &config_)) {
        spdlog::warn("AV1Encoder: config update failed: {}", aom_codec_err_to_string(err));
    }
    spdlog::info("AV1Encoder: bitrate updated to {} kbps", kbps);
}

}  // namespace veltrix
