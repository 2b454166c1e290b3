// veltrix_frame_shot, the demo's picture of what a viewing device received: the decoded-frame
// section's NV12 picture comes out as the viewer would draw it.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QProcess>
#include <QString>

#include "shared/DecodedFrame.h"
#include "shared/SharedFrameBuffer.h"
#include "shared/SharedFrameHeader.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {

int runFrameShot(const std::filesystem::path& file, QString* output = nullptr) {
    QProcess tool;
    tool.start(VELTRIX_FRAME_SHOT_PROGRAM, {"--wait-ms", "200", QString::fromStdString(file.string())});
    if (!tool.waitForFinished(10000)) return -1;
    if (output) *output = QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
    return tool.exitCode();
}

// A 64x32 picture, padded rows, left half red and right half blue in full-range BT.601.
DecodedFrame redAndBlue() {
    DecodedFrame frame;
    frame.width = 64;
    frame.height = 32;
    frame.strideY = 80;
    frame.strideUV = 72;
    frame.y.assign(static_cast<std::size_t>(frame.strideY) * frame.height, 0);
    frame.uv.assign(static_cast<std::size_t>(frame.strideUV) * frame.height / 2, 0);
    for (int row = 0; row < frame.height; ++row) {
        for (int column = 0; column < frame.width; ++column) {
            frame.y[static_cast<std::size_t>(row) * frame.strideY + column] = column < 32 ? 76 : 29;
        }
    }
    for (int row = 0; row < frame.height / 2; ++row) {
        for (int column = 0; column < frame.width; column += 2) {
            std::uint8_t* uv = frame.uv.data() + static_cast<std::size_t>(row) * frame.strideUV + column;
            uv[0] = column < 32 ? 85 : 255;   // U
            uv[1] = column < 32 ? 255 : 107;  // V
        }
    }
    return frame;
}

TEST(FrameShot, SavesTheDecodedPictureInTheViewersColours) {
    test::TempInstanceRoot root;
    SharedFrameBuffer section;
    ASSERT_TRUE(section.create(kFrameSectionName, kFrameSectionSize, false, ""));
    ASSERT_TRUE(section.writeFrame(redAndBlue()));

    const auto file = root.path() / "frame.png";
    QString output;
    ASSERT_EQ(runFrameShot(file, &output), 0);
    EXPECT_EQ(output, "64x32 frame 1");
    const QImage picture(QString::fromStdString(file.string()));
    ASSERT_EQ(picture.size(), QSize(64, 32));
    const auto near = [](QColor actual, QColor expected) {
        return std::abs(actual.red() - expected.red()) <= 2 && std::abs(actual.green() - expected.green()) <= 2 &&
               std::abs(actual.blue() - expected.blue()) <= 2;
    };
    for (const QPoint at : {QPoint(0, 0), QPoint(31, 31), QPoint(17, 9)})
        EXPECT_TRUE(near(picture.pixelColor(at), QColor(254, 0, 0))) << at.x() << "," << at.y() << " "
                                                                     << picture.pixelColor(at).name().toStdString();
    for (const QPoint at : {QPoint(32, 0), QPoint(63, 31), QPoint(48, 20)})
        EXPECT_TRUE(near(picture.pixelColor(at), QColor(0, 0, 254))) << at.x() << "," << at.y() << " "
                                                                     << picture.pixelColor(at).name().toStdString();
}

TEST(FrameShot, FailsWithoutAFrameAndWritesNothing) {
    test::TempInstanceRoot root;
    const auto file = root.path() / "frame.png";
    EXPECT_EQ(runFrameShot(file), 1);  // no section at all

    SharedFrameBuffer section;
    ASSERT_TRUE(section.create(kFrameSectionName, kFrameSectionSize, false, ""));
    EXPECT_EQ(runFrameShot(file), 1);  // a section with no frame yet
    EXPECT_FALSE(std::filesystem::exists(file));
}

}  // namespace
}  // namespace veltrix
