// The service decodes whatever video packets the partner sends. The input is a run of packets,
// each a 16-bit little-endian length and that many bytes (a short last packet takes what is left),
// fed to one decoder in order, so the fuzzer can reach inter frames as well as sequence headers.
// Every picture that comes out must be consistent NV12 and must fit the decoded-frame section.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include <spdlog/spdlog.h>

#include "core/AV1Decoder.h"
#include "shared/DecodedFrame.h"
#include "shared/SharedFrameHeader.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void checkPicture(const veltrix::DecodedFrame& frame) {
    check(frame.width > 0 && frame.height > 0);
    check(frame.strideY == frame.width && frame.strideUV == frame.width);
    const auto width = static_cast<std::size_t>(frame.width);
    check(frame.y.size() == width * static_cast<std::size_t>(frame.height));
    check(frame.uv.size() == width * static_cast<std::size_t>(frame.height / 2));
    check(frame.y.size() + frame.uv.size() + veltrix::kSharedFrameHeaderSize <= veltrix::kFrameSectionSize);
    if (frame.width % 2 != 0) {
        for (std::size_t row = 0; row < static_cast<std::size_t>(frame.height / 2); ++row) {
            check(frame.uv[row * width + width - 1] == 0);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    spdlog::set_level(spdlog::level::off);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    veltrix::AV1Decoder decoder;
    if (!decoder.initialize(0, 0)) return 0;
    std::int64_t timestamp = 0;
    while (size >= 2) {
        std::size_t length = data[0] | (static_cast<std::size_t>(data[1]) << 8);
        data += 2;
        size -= 2;
        if (length > size) length = size;
        if (auto frame = decoder.decode(data, length, ++timestamp)) {
            checkPicture(*frame);
            check(frame->timestamp == timestamp);
        }
        data += length;
        size -= length;
    }
    check(decoder.isInitialized());  // a bad packet leaves the decoder usable
    return 0;
}
