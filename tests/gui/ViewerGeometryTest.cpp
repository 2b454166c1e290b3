#include <gtest/gtest.h>

#include "gui/ViewerGeometry.h"

namespace veltrix {
namespace {

struct GeometryCase {
    const char* name;
    ViewerGeometry geometry;
    QRect expected;
};

TEST(ViewerGeometry, PlacesThePictureForEveryModeZoomAndRatio) {
    const GeometryCase cases[] = {
        {"no picture yet: the whole widget", {{0, 0}, {800, 600}, 1.0, 0, 1.0, 0.5, 0.5}, {0, 0, 800, 600}},
        {"fit, wider widget: full height, centred", {{1920, 1080}, {1000, 500}, 1.0, 0, 1.0, 0.5, 0.5},
         {55, 0, 889, 500}},
        {"fit, taller widget: full width, centred", {{1920, 1080}, {800, 800}, 1.0, 0, 1.0, 0.5, 0.5},
         {0, 175, 800, 450}},
        {"one to one at ratio 1", {{1920, 1080}, {1000, 500}, 1.0, 1, 1.0, 0.5, 0.5}, {-460, -290, 1920, 1080}},
        {"one to one at ratio 2: one frame pixel per device pixel", {{1920, 1080}, {1000, 600}, 2.0, 1, 1.0, 0.5, 0.5},
         {20, 30, 960, 540}},
        {"fit, zoom 2, pan top-left: picture's corner at the widget's", {{1920, 1080}, {1000, 500}, 1.0, 0, 2.0, 0.0, 0.0},
         {0, 0, 1778, 1000}},
        {"fit, zoom 2, pan bottom-right: far corner at the widget's", {{1920, 1080}, {1000, 500}, 1.0, 0, 2.0, 1.0, 1.0},
         {-778, -500, 1778, 1000}},
        {"fit, zoom 2, centred", {{1920, 1080}, {1000, 500}, 1.0, 0, 2.0, 0.5, 0.5}, {-389, -250, 1778, 1000}},
        {"a tiny picture is at least one pixel", {{1, 1000}, {100, 100}, 1.0, 0, 1.0, 0.5, 0.5}, {49, 0, 1, 100}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.geometry.videoRect(), c.expected) << c.name;
    }
}

TEST(ViewerGeometry, DevicePixelsRoundHalfAwayFromZero) {
    EXPECT_EQ(toDevicePixels({801, 3}, 1.5), QSize(1202, 5));
    EXPECT_EQ(toDevicePixels({960, 540}, 2.0), QSize(1920, 1080));
    EXPECT_EQ(roundHalfAway(-2.5), -3);
}

}  // namespace
}  // namespace veltrix
