#include "agent/FrameConverter.h"

#include <algorithm>

#include <spdlog/spdlog.h>

#include "agent/BgraToNv12.h"

namespace veltrix {
namespace {

constexpr int roundDownToEven(int value) { return value & ~1; }

// Required NV12 bytes for an even width x height.
constexpr std::size_t nv12Size(int evenWidth, int evenHeight) {
    return static_cast<std::size_t>(evenWidth) * static_cast<std::size_t>(evenHeight) * 3 / 2;
}

// Exact floor(x / n) for the box means, where x < 256 n. Small boxes (the common case) use a
// multiply and a shift instead of a division: with m = ceil(2^40 / n) and e = m n - 2^40 < n, the
// result is exact while x e < 2^40, which x < 256 n and n <= 2^16 guarantee.
class BoxDivider {
public:
    explicit BoxDivider(std::uint64_t n)
        : n_(n), fast_(n <= (1u << 16)), multiplier_(fast_ ? ((std::uint64_t{1} << 40) + n - 1) / n : 0) {}

    std::uint64_t operator()(std::uint64_t x) const { return fast_ ? (x * multiplier_) >> 40 : x / n_; }

private:
    std::uint64_t n_;
    bool fast_;
    std::uint64_t multiplier_;
};

// Walks the box bounds floor(i * source / target) for i = 0, 1, ... without a division per step.
class BoxBounds {
public:
    BoxBounds(int source, int target)
        : step_(source / target), remainderStep_(source % target), target_(target) {}

    int begin() const { return begin_; }
    int end() const { return end_; }

    // Moves to the next box; the first call gives box 0.
    void advance() {
        begin_ = end_;
        end_ += step_;
        remainder_ += remainderStep_;
        if (remainder_ >= target_) {
            remainder_ -= target_;
            ++end_;
        }
    }

private:
    int step_;
    int remainderStep_;
    int target_;
    int remainder_ = 0;
    int begin_ = 0;
    int end_ = 0;
};

}  // namespace

std::vector<std::uint8_t> FrameConverter::allocateNv12Buffer(int width, int height) {
    if (width < 2 || height < 2) return {};
    return std::vector<std::uint8_t>(nv12Size(roundDownToEven(width), roundDownToEven(height)), 0);
}

QSize FrameConverter::encodeSize(int frameWidth, int frameHeight, QSize requested) {
    // A request of 1 would round down to 0 and make every frame fail; it counts as "no request".
    const auto pick = [](int frame, int request) { return request >= 2 && request <= frame ? request : frame; };
    return {roundDownToEven(pick(frameWidth, requested.width())), roundDownToEven(pick(frameHeight, requested.height()))};
}

void FrameConverter::convert(const std::uint8_t* source, int width, int height, int sourceStride,
                             std::uint8_t* output, std::size_t outputSize) {
    if (!source || !output) {
        spdlog::error("FrameConverter: null pointer passed to convert()");
        return;
    }
    if (width < 1 || height < 1) {
        spdlog::error("FrameConverter: invalid dimensions {}x{}", width, height);
        return;
    }
    const std::size_t required = static_cast<std::size_t>(height / 2) * static_cast<std::size_t>(width / 2) * 6;
    if (outputSize != 0 && outputSize < required) {
        spdlog::error("FrameConverter: output buffer too small ({} < {} required)", outputSize, required);
        return;
    }
    const int evenWidth = roundDownToEven(width);
    const int evenHeight = roundDownToEven(height);
    if (evenWidth != width || evenHeight != height) {
        spdlog::debug("FrameConverter: dimensions {}x{} not even, using {}x{}", width, height, evenWidth, evenHeight);
    }
    if (evenWidth == 0 || evenHeight == 0) return;
    std::uint8_t* chroma = output + static_cast<std::size_t>(evenWidth) * static_cast<std::size_t>(evenHeight);
    nv12::convertSimd(source, sourceStride, evenWidth, evenHeight, output, chroma);
}

void FrameConverter::convertScaled(const std::uint8_t* source, int sourceWidth, int sourceHeight, int sourceStride,
                                   int targetWidth, int targetHeight, std::uint8_t* output, std::size_t outputSize) {
    if (!source || !output) {
        spdlog::error("FrameConverter::convertScaled: null pointer");
        return;
    }
    if (sourceWidth < 1 || sourceHeight < 1 || targetWidth < 1 || targetHeight < 1) {
        spdlog::error("FrameConverter::convertScaled: invalid dims src={}x{} dst={}x{}", sourceWidth, sourceHeight,
                      targetWidth, targetHeight);
        return;
    }
    // A target of 1 rounds down to no pixels at all; it keeps the source's size instead.
    if (targetWidth == 1) targetWidth = sourceWidth;
    if (targetHeight == 1) targetHeight = sourceHeight;
    int evenWidth = roundDownToEven(targetWidth);
    int evenHeight = roundDownToEven(targetHeight);
    if (evenWidth >= sourceWidth && evenHeight >= sourceHeight) {
        convert(source, sourceWidth, sourceHeight, sourceStride, output, outputSize);
        return;
    }
    // Smaller in one direction only: the other keeps the source's (even) size, so that no box is
    // empty.
    evenWidth = std::min(evenWidth, roundDownToEven(sourceWidth));
    evenHeight = std::min(evenHeight, roundDownToEven(sourceHeight));

    const std::size_t required = nv12Size(evenWidth, evenHeight);
    if (outputSize != 0 && outputSize < required) {
        spdlog::error("FrameConverter::convertScaled: output buffer too small ({} < {} required)", outputSize,
                      required);
        return;
    }
    shrink(source, sourceWidth, sourceHeight, sourceStride, evenWidth, evenHeight);
    convert(scratch_.data(), evenWidth, evenHeight, evenWidth * 4, output, 0);
}

void FrameConverter::shrink(const std::uint8_t* source, int sourceWidth, int sourceHeight, int sourceStride,
                            int targetWidth, int targetHeight) {
    const std::size_t scratchSize = static_cast<std::size_t>(targetWidth) * static_cast<std::size_t>(targetHeight) * 4;
    if (scratch_.size() < scratchSize) scratch_.resize(scratchSize);

    // Both bounds come from floor(i * source / target), so box widths differ by at most one: each
    // target row needs the divider of two box sizes only.
    const int narrowColumns = sourceWidth / targetWidth;
    BoxBounds rows(sourceHeight, targetHeight);
    for (int y = 0; y < targetHeight; ++y) {
        rows.advance();
        const int rowCount = rows.end() - rows.begin();
        const auto boxSize = [rowCount](int columns) {
            return static_cast<std::uint64_t>(std::max(1, rowCount)) * static_cast<std::uint64_t>(std::max(1, columns));
        };
        const BoxDivider narrowDivider(boxSize(narrowColumns));
        const BoxDivider wideDivider(boxSize(narrowColumns + 1));

        std::uint8_t* out = scratch_.data() + static_cast<std::size_t>(y) * targetWidth * 4;
        BoxBounds columns(sourceWidth, targetWidth);
        for (int x = 0; x < targetWidth; ++x, out += 4) {
            columns.advance();
            std::uint64_t blue = 0, green = 0, red = 0;
            for (int r = rows.begin(); r < rows.end(); ++r) {
                const std::uint8_t* pixel = source + static_cast<std::ptrdiff_t>(r) * sourceStride + columns.begin() * 4;
                for (int c = columns.begin(); c < columns.end(); ++c, pixel += 4) {
                    blue += pixel[0];
                    green += pixel[1];
                    red += pixel[2];
                }
            }
            const int columnCount = columns.end() - columns.begin();
            const BoxDivider& divide = columnCount == narrowColumns ? narrowDivider : wideDivider;
            const std::uint64_t half = boxSize(columnCount) / 2;
            out[0] = static_cast<std::uint8_t>(divide(blue + half));
            out[1] = static_cast<std::uint8_t>(divide(green + half));
            out[2] = static_cast<std::uint8_t>(divide(red + half));
            out[3] = 255;
        }
    }
}

}  // namespace veltrix
