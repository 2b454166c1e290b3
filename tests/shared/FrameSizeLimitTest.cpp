// Picture sizes against the decoded-frame section: what fits stays, what does not shrinks to the
// largest even size of the same shape that does.
#include <gtest/gtest.h>

#include "shared/FrameSizeLimit.h"

namespace veltrix {
namespace {

TEST(FrameSizeLimit, FitsTheDecodedFrameSection) {
    EXPECT_EQ(fitToFrameSection(3840, 2160), std::make_pair(3840, 2160));
    EXPECT_EQ(fitToFrameSection(0, 0), std::make_pair(0, 0));
    for (const auto& [w, h] : {std::pair{7680, 4320}, std::pair{4096, 2732}, std::pair{20000, 1000}}) {
        const auto [fw, fh] = fitToFrameSection(w, h);
        const std::uint64_t bytes = static_cast<std::uint64_t>(fw) * fh * 3 / 2;
        EXPECT_LE(bytes + kSharedFrameHeaderSize, kFrameSectionSize) << w << "x" << h;
        EXPECT_EQ(fw % 2, 0);
        EXPECT_EQ(fh % 2, 0);
        EXPECT_GT(static_cast<std::uint64_t>(fw + 2) * (fh + 2), kMaxFramePixels);  // not needlessly small
        EXPECT_NEAR(static_cast<double>(fw) / fh, static_cast<double>(w) / h, 0.03 * w / h);
    }
}

}  // namespace
}  // namespace veltrix
