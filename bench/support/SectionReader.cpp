#include "support/SectionReader.h"

#include "support/ServiceDevice.h"

namespace veltrix::bench {

bool SectionReader::open(const std::filesystem::path& instance, const char* name) {
    return test::openFrameSection(instance, section_, name);
}

std::uint64_t SectionReader::sequence() const { return section_.readHeader().sequence; }

std::optional<SharedFrameInfo> SectionReader::latest() const {
    auto info = section_.readFrame(
        [](const SharedFrameInfo&, std::uint64_t) { return std::optional<SharedFrameDestination>(SharedFrameDestination{}); });
    if (!info || info->sequence == 0) return std::nullopt;
    return info;
}

int SectionReader::lumaAt(double fx, double fy) const {
    std::uint8_t luma = 0;
    const auto info =
        section_.readFrame([&](const SharedFrameInfo& frame, std::uint64_t) -> std::optional<SharedFrameDestination> {
            if (frame.sequence == 0 || frame.width == 0 || frame.height == 0) return std::nullopt;
            const auto x = static_cast<std::uint64_t>(fx * frame.width);
            const auto y = static_cast<std::uint64_t>(fy * frame.height);
            if (x >= frame.width || y >= frame.height) return std::nullopt;
            return SharedFrameDestination{y * frame.strideY + x, {&luma, 1}};
        });
    return info ? luma : -1;
}

}  // namespace veltrix::bench
