#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QProcess>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <vector>

#include "gui/RemoteDesktopWidget.h"
#include "support/LogCapture.h"
#include "support/WaitUntil.h"

namespace veltrix {
namespace {

using namespace std::chrono_literals;

struct Yuv {
    int y, u, v;
};

// The colour the viewer's full-range BT.601 shader gives for one NV12 sample.
QColor expectedRgb(Yuv s) {
    const double y = s.y / 255.0;
    const double u = s.u / 255.0 - 0.5;
    const double v = s.v / 255.0 - 0.5;
    auto channel = [](double c) { return static_cast<int>(std::lround(std::clamp(c, 0.0, 1.0) * 255.0)); };
    return QColor(channel(y + 1.402 * v), channel(y - 0.344 * u - 0.714 * v), channel(y + 1.772 * u));
}

// A card of four quadrants (top-left, top-right, bottom-left, bottom-right), with `padding` bytes
// after every row of both planes.
std::shared_ptr<DecodedFrame> makeCard(int width, int height, const Yuv (&quadrants)[4], int padding = 0) {
    auto frame = std::make_shared<DecodedFrame>();
    frame->width = width;
    frame->height = height;
    frame->strideY = width + padding;
    frame->strideUV = 2 * (width / 2) + padding;
    frame->y.assign(static_cast<std::size_t>(frame->strideY) * height, 0xEE);
    frame->uv.assign(static_cast<std::size_t>(frame->strideUV) * (height / 2), 0xEE);
    auto quadrantOf = [&](int x, int y) { return (y >= height / 2 ? 2 : 0) + (x >= width / 2 ? 1 : 0); };
    for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col) {
            frame->y[row * frame->strideY + col] = static_cast<std::uint8_t>(quadrants[quadrantOf(col, row)].y);
        }
    }
    for (int row = 0; row < height / 2; ++row) {
        for (int col = 0; col < width / 2; ++col) {
            const Yuv& s = quadrants[quadrantOf(col * 2, row * 2)];
            frame->uv[row * frame->strideUV + 2 * col] = static_cast<std::uint8_t>(s.u);
            frame->uv[row * frame->strideUV + 2 * col + 1] = static_cast<std::uint8_t>(s.v);
        }
    }
    return frame;
}

constexpr Yuv kCard[4] = {{81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {200, 128, 128}};
constexpr Yuv kOtherCard[4] = {{30, 128, 128}, {30, 128, 128}, {220, 128, 128}, {220, 128, 128}};

bool near(QColor a, QColor b, int tolerance = 2) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

class ViewerTest : public ::testing::Test {
protected:
    void SetUp() override {
        widget = std::make_unique<RemoteDesktopWidget>();
        widget->resize(128, 96);
    }

    void showAndWait() {
        widget->show();
        ASSERT_TRUE(test::waitUntil([&] { return widget->isGlReady() || log.contains("failed"); }, 10s));
        ASSERT_TRUE(widget->isGlReady());
    }

    // The picture as drawn, sampled at the centre of each quadrant of the widget.
    std::vector<QColor> quadrantColours() {
        const QImage image = widget->grabFramebuffer();
        const int w = image.width();
        const int h = image.height();
        return {image.pixelColor(w / 4, h / 4), image.pixelColor(3 * w / 4, h / 4), image.pixelColor(w / 4, 3 * h / 4),
                image.pixelColor(3 * w / 4, 3 * h / 4)};
    }

    void expectCard(const Yuv (&card)[4]) {
        const auto colours = quadrantColours();
        for (int i = 0; i < 4; ++i) {
            EXPECT_TRUE(near(colours[i], expectedRgb(card[i])))
                << "quadrant " << i << ": drawn " << colours[i].name().toStdString() << ", expected "
                << expectedRgb(card[i]).name().toStdString();
        }
    }

    test::LogCapture log;
    std::unique_ptr<RemoteDesktopWidget> widget;
};

TEST_F(ViewerTest, DrawsTheCardInItsColoursWithTightOrPaddedStrides) {
    showAndWait();
    widget->updateFrame(makeCard(128, 96, kCard));
    expectCard(kCard);
    EXPECT_EQ(log.count("Created NV12 textures: 128x96 (yStride=128, uvStride=128)"), 1u);

    widget->updateFrame(makeCard(128, 96, kCard, 64));
    expectCard(kCard);
    EXPECT_EQ(log.count("Created NV12 textures: 128x96 (yStride=192, uvStride=192)"), 1u)
        << "a stride change recreates the textures";

    widget->updateFrame(makeCard(128, 96, kOtherCard, 64));
    expectCard(kOtherCard);
    EXPECT_EQ(log.count("Created NV12 textures"), 2u) << "same size and strides reuse the textures";
    EXPECT_FALSE(log.contains("OpenGL error"));
    if (qEnvironmentVariableIsSet("VELTRIX_VIEWER_FALLBACK_CHILD")) {
        EXPECT_TRUE(log.contains("Using GLSL 1.30 fallback shaders"));
    }
}

TEST_F(ViewerTest, OnlyTheLatestPendingFrameIsDrawnAndAnEarlyFrameWaitsForGl) {
    widget->updateFrame(makeCard(128, 96, kOtherCard));  // before the GL context exists
    widget->updateFrame(makeCard(128, 96, kCard));
    showAndWait();
    expectCard(kCard);

    widget->updateFrame(makeCard(128, 96, kOtherCard));
    widget->updateFrame(makeCard(128, 96, kCard));
    expectCard(kCard);
    EXPECT_EQ(log.count("Created NV12 textures"), 1u);
}

TEST_F(ViewerTest, OddSizesHalveTheChromaRoundingDown) {
    widget->resize(641, 361);
    showAndWait();
    widget->updateFrame(makeCard(641, 361, kCard));
    expectCard(kCard);
    EXPECT_TRUE(log.contains("Created NV12 textures: 641x361 (yStride=641, uvStride=640)"));
    EXPECT_FALSE(log.contains("OpenGL error"));
}

TEST_F(ViewerTest, FramesWhoseStridesOrPlanesDoNotCoverTheirSizeAreDropped) {
    showAndWait();
    widget->updateFrame(makeCard(128, 96, kCard));
    expectCard(kCard);

    struct BadFrame {
        const char* name;
        void (*spoil)(DecodedFrame&);
    };
    const BadFrame cases[] = {
        {"Y stride below the width", [](DecodedFrame& f) { f.strideY = f.width - 1; }},
        {"UV stride below the chroma row", [](DecodedFrame& f) { f.strideUV = f.width - 2; }},
        {"odd UV stride", [](DecodedFrame& f) { f.strideUV = f.width + 1; }},
        {"Y plane too short", [](DecodedFrame& f) { f.y.resize(f.y.size() - 1); }},
        {"UV plane too short", [](DecodedFrame& f) { f.uv.resize(f.uv.size() / 2); }},
        {"huge stride over a small plane", [](DecodedFrame& f) { f.strideY = 1 << 30; }},
        {"negative size", [](DecodedFrame& f) { f.height = -96; }},
    };
    for (const auto& c : cases) {
        auto frame = makeCard(128, 96, kOtherCard);
        c.spoil(*frame);
        EXPECT_FALSE(RemoteDesktopWidget::frameDefect(*frame).empty()) << c.name;
        log.clear();
        widget->updateFrame(frame);
        expectCard(kCard);  // the last good picture stays
        EXPECT_TRUE(log.contains("RemoteDesktopWidget dropped a frame")) << c.name;
    }
    EXPECT_TRUE(RemoteDesktopWidget::frameDefect(*makeCard(128, 96, kCard, 8)).empty());
}

TEST_F(ViewerTest, ZoomedPictureIsSavedForALook) {
    widget->resize(320, 180);
    widget->setScaleMode(0);
    showAndWait();
    widget->updateFrame(makeCard(640, 360, kCard));
    widget->setZoom(1.25);
    const QImage image = widget->grabFramebuffer();
    const QString folder = QStringLiteral(VELTRIX_TEST_BUILD_DIR "/artefacts/gui_tests");
    QDir().mkpath(folder);
    EXPECT_TRUE(image.save(folder + "/viewer-card-125.png"));
    EXPECT_EQ(widget->videoRect(), QRect(-40, -23, 400, 225));
}

// On a display with two device pixels per logical pixel, one to one means one frame pixel per
// device pixel, and the device size the viewer reports is twice its logical size.
TEST_F(ViewerTest, AtRatioTwoOneToOneShowsAFramePixelPerDevicePixel) {
    if (!qEnvironmentVariableIsSet("VELTRIX_VIEWER_RATIO_CHILD")) {
        GTEST_SKIP() << "runs in a child with QT_SCALE_FACTOR=2";
    }
    std::vector<QSize> announced;
    QObject::connect(widget.get(), &RemoteDesktopWidget::displayResolutionChanged,
                     [&](QSize size) { announced.push_back(size); });
    widget->resize(1000, 600);
    showAndWait();
    ASSERT_DOUBLE_EQ(widget->devicePixelRatioF(), 2.0);
    widget->updateFrame(makeCard(1920, 1080, kCard));
    widget->grabFramebuffer();
    EXPECT_EQ(widget->devicePixelSize(), QSize(2000, 1200));
    EXPECT_EQ(widget->videoRect(), QRect(20, 30, 960, 540));
    widget->resize(1001, 600);
    widget->grabFramebuffer();
    widget->grabFramebuffer();
    EXPECT_EQ(announced, (std::vector<QSize>{QSize(2000, 1200), QSize(2002, 1200)})) << "once per change";
}

TEST(ViewerRatio, TheViewerAtDevicePixelRatioTwo) {
    if (qEnvironmentVariableIsSet("VELTRIX_VIEWER_RATIO_CHILD")) {
        GTEST_SKIP() << "running as the child";
    }
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_SCALE_FACTOR", "2");
    environment.insert("VELTRIX_VIEWER_RATIO_CHILD", "1");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {"--gtest_filter=ViewerTest.AtRatioTwoOneToOneShowsAFramePixelPerDevicePixel"});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QString output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

// The 1.30 shaders are the fallback for drivers without GLSL 3.30; Mesa can be told to offer only
// GL 3.0, and the same drawing test then has to pass on them.
TEST(ViewerFallback, TheOlderShadersDrawTheSameCard) {
    if (qEnvironmentVariableIsSet("VELTRIX_VIEWER_FALLBACK_CHILD")) {
        GTEST_SKIP() << "running as the fallback child";
    }
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("MESA_GL_VERSION_OVERRIDE", "3.0");
    environment.insert("MESA_GLSL_VERSION_OVERRIDE", "130");
    environment.insert("VELTRIX_VIEWER_FALLBACK_CHILD", "1");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {"--gtest_filter=ViewerTest.DrawsTheCardInItsColoursWithTightOrPaddedStrides:ViewerFallback.*"});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QString output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

}  // namespace
}  // namespace veltrix
