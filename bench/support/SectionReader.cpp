#include "support/SectionReader.h"

#include "support/ServiceDevice.h"

namespace veltrix::bench {

bool SectionReader::open(const std::filesystem::path& instance, const char* name) {
    return test::openFrameSection(instance, section_, name);
}

std::uint64_t SectionReader::sequence() const { return readSharedFrameHeader(section_.header()).sequence; }

std::optional<SharedFrameInfo> SectionReader::latest() const {
    auto info = readSharedFrame(section_.header(), section_.size(),
                                [](const SharedFrameInfo&, const std::uint8_t*, std::uint64_t) { return true; });
    if (!info || info->sequence == 0) return std::nullopt;
    return info;
}

int SectionReader::lumaAt(double fx, double fy) const {
    std::uint8_t luma = 0;
    const auto info = readSharedFrame(section_.header(), section_.size(),
                                      [&](const SharedFrameInfo& frame, const std::uint8_t* payload,
                                          std::uint64_t readable) {
                                          if (frame.sequence == 0 || frame.width == 0 || frame.height == 0)
                                              return false;
                                          const auto x = static_cast<std::uint64_t>(fx * frame.width);
                                          const auto y = static_cast<std::uint64_t>(fy * frame.height);
                                          if (x >= frame.width || y >= frame.height) return false;
                                          const std::uint64_t at = y * frame.strideY + x;
                                          return at < readable && copySharedPayload(&luma, payload + at, 1);
                                      });
    return info ? luma : -1;
}

}  // namespace veltrix::bench
