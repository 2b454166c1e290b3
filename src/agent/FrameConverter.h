#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <QSize>

namespace veltrix {

// Turns a captured BGRA picture into NV12 (the encoder's input), optionally box-shrinking it to
// the encode size first. NV12 here: the Y plane (W x H bytes, stride W), then H / 2 rows of W
// bytes of Cb, Cr pairs; W and H are the picture's size rounded down to even (an odd last column
// or row is dropped). Owned by the capture run and used on its thread only.
class FrameConverter {
public:
    // A zeroed NV12 buffer for a width x height picture (each rounded down to even); empty when
    // either even size is 0.
    static std::vector<std::uint8_t> allocateNv12Buffer(int width, int height);

    // The size to encode a width x height frame at when the viewer asked for `requested` (0 or
    // below 2 in a direction = the frame's own size there; never larger than the frame), rounded
    // down to even.
    static QSize encodeSize(int frameWidth, int frameHeight, QSize requested);

    // NV12 of `source` (BGRA, `sourceStride` bytes per row) into `output`. An `outputSize` of 0
    // skips the size check (the caller sized the buffer with allocateNv12Buffer). Failures are
    // logged and leave the output untouched.
    void convert(const std::uint8_t* source, int width, int height, int sourceStride, std::uint8_t* output,
                 std::size_t outputSize);

    // Box-averages the source down to the even target size, then converts. A target not smaller
    // than the source in both directions converts at the source size. In a direction where the
    // target is larger than the source, or 1 (which rounds to no pixels), the picture keeps the
    // source's size, rounded down to even.
    void convertScaled(const std::uint8_t* source, int sourceWidth, int sourceHeight, int sourceStride,
                       int targetWidth, int targetHeight, std::uint8_t* output, std::size_t outputSize);

private:
    void shrink(const std::uint8_t* source, int sourceWidth, int sourceHeight, int sourceStride, int targetWidth,
                int targetHeight);

    std::vector<std::uint8_t> scratch_;  // the shrunk BGRA picture; grows, never shrinks
};

}  // namespace veltrix
