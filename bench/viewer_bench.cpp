// Drawing time of the remote desktop viewer on a private X server: each 1920x1080 NV12 picture
// goes through updateFrame, paintGL and the widget's composition, as in a session. Printed: the
// paint time with a new picture (upload and draw) and without one (draw only), their difference
// as the upload, and the frames per second of the whole loop, for tight and padded strides.
#include <QApplication>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "gui/RemoteDesktopWidget.h"
#include "support/XvfbDisplay.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFrames = 240;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// The viewer with its paint timed to the end of the GL work.
class TimedViewer : public veltrix::RemoteDesktopWidget {
public:
    std::vector<double> paintMs;

protected:
    void paintGL() override {
        const auto start = Clock::now();
        RemoteDesktopWidget::paintGL();
        context()->functions()->glFinish();
        paintMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
};

std::shared_ptr<veltrix::DecodedFrame> makeFrame(int padding, int seed) {
    auto frame = std::make_shared<veltrix::DecodedFrame>();
    frame->width = kWidth;
    frame->height = kHeight;
    frame->strideY = kWidth + padding;
    frame->strideUV = kWidth + padding;
    frame->y.resize(static_cast<std::size_t>(frame->strideY) * kHeight);
    frame->uv.resize(static_cast<std::size_t>(frame->strideUV) * (kHeight / 2));
    for (std::size_t i = 0; i < frame->y.size(); ++i) frame->y[i] = static_cast<std::uint8_t>(i * 7 + seed);
    for (std::size_t i = 0; i < frame->uv.size(); ++i) frame->uv[i] = static_cast<std::uint8_t>(i * 3 + seed);
    return frame;
}

struct Stats {
    double median;
    double p95;
};

// Asks for a repaint as a session does (update) and runs the event loop until it happened.
void paintOnce(TimedViewer& viewer) {
    const std::size_t before = viewer.paintMs.size();
    viewer.update();
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (viewer.paintMs.size() == before && Clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
}

Stats statsOf(std::vector<double> values) {
    if (values.empty()) return {-1, -1};
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values[values.size() * 95 / 100]};
}

void run(TimedViewer& viewer, int padding) {
    const std::shared_ptr<veltrix::DecodedFrame> frames[] = {makeFrame(padding, 1), makeFrame(padding, 2)};
    viewer.updateFrame(frames[0]);
    paintOnce(viewer);  // textures for this size and stride

    viewer.paintMs.clear();
    const auto start = Clock::now();
    for (int i = 0; i < kFrames; ++i) {
        viewer.updateFrame(frames[i % 2]);
        paintOnce(viewer);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const Stats withUpload = statsOf(viewer.paintMs);

    viewer.paintMs.clear();
    for (int i = 0; i < kFrames / 4; ++i) paintOnce(viewer);
    const Stats drawOnly = statsOf(viewer.paintMs);

    std::printf("%-22s upload+draw %6.2f ms (p95 %6.2f)  draw %6.2f ms (p95 %6.2f)  upload ~%5.2f ms  %6.1f frames/s "
                "(target >= 60)\n",
                padding ? "padded (+64) strides" : "tight strides", withUpload.median, withUpload.p95, drawOnly.median,
                drawOnly.p95, withUpload.median - drawOnly.median, kFrames / seconds);
}

}  // namespace

int main(int argc, char** argv) {
    spdlog::set_level(spdlog::level::warn);
    veltrix::test::XvfbDisplay display({}, "1920x1080x24");
    if (!display.isRunning()) {
        std::fprintf(stderr, "viewer_bench: Xvfb did not start\n");
        return 1;
    }
    display.makeCurrent();
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);

    TimedViewer viewer;
    viewer.resize(kWidth, kHeight);
    viewer.show();
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while ((!viewer.isGlReady() || viewer.paintMs.empty()) && Clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    if (!viewer.isGlReady()) {
        std::fprintf(stderr, "viewer_bench: no GL context\n");
        return 1;
    }
    viewer.makeCurrent();
    const auto* renderer = reinterpret_cast<const char*>(viewer.context()->functions()->glGetString(GL_RENDERER));
    const QByteArray threads = qgetenv("LP_NUM_THREADS");
    std::printf("GL_RENDERER: %s; llvmpipe threads: %s\n", renderer ? renderer : "?",
                threads.isEmpty() ? QByteArray::number(std::thread::hardware_concurrency()).constData()
                                  : threads.constData());
    viewer.doneCurrent();
    run(viewer, 0);
    run(viewer, 64);
    return 0;
}
