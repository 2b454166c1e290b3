// veltrix_frame_shot [--wait-ms N] <file.png>: saves the picture in the decoded-frame section of
// the instance named by VELTRIX_ROOT (what the service of a viewing device decoded last) as a PNG,
// converted from NV12 the way the viewer draws it (full-range BT.601). Waits up to N ms (default
// 5000) for a first frame. Prints "<width>x<height> frame <sequence>"; exit 0 when saved, 1 when
// there was no frame or it could not be saved, 2 on a wrong command line.
#include <QImage>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/SharedSection.h"
#include "shared/SharedFrameHeader.h"
#include "shared/SharedFrameReader.h"

using namespace veltrix;
using Clock = std::chrono::steady_clock;

namespace {

struct Picture {
    SharedFrameInfo info;
    std::vector<std::uint8_t> planes;  // the Y plane, then height / 2 rows of interleaved UV
};

// The latest complete frame of the section, once it has one that the planes fit.
std::optional<Picture> readPicture(const platform::SectionView& view) {
    Picture picture;
    const auto info = readSharedFrameInto(view.address(), view.size(), picture.planes);
    if (!info || info->sequence == 0 || info->width == 0 || info->height == 0) return std::nullopt;
    if (info->strideY < info->width || info->strideUV < (info->width + 1) / 2 * 2) return std::nullopt;
    const std::uint64_t needed = std::uint64_t{info->strideY} * info->height +
                                 std::uint64_t{info->strideUV} * (info->height / 2);
    if (picture.planes.size() < needed) return std::nullopt;
    picture.info = *info;
    return picture;
}

std::uint8_t clampToByte(int value) { return static_cast<std::uint8_t>(std::clamp(value, 0, 255)); }

// Full-range BT.601 in 16-bit fixed point, the viewer's shader in integers.
QImage toImage(const Picture& picture) {
    const SharedFrameInfo& info = picture.info;
    QImage image(static_cast<int>(info.width), static_cast<int>(info.height), QImage::Format_RGB888);
    const std::uint8_t* yPlane = picture.planes.data();
    const std::uint8_t* uvPlane = yPlane + std::uint64_t{info.strideY} * info.height;
    const std::uint32_t lastChromaRow = info.height / 2 == 0 ? 0 : info.height / 2 - 1;
    for (std::uint32_t row = 0; row < info.height; ++row) {
        const std::uint8_t* y = yPlane + std::uint64_t{row} * info.strideY;
        // An odd height's last row borrows the chroma row above it.
        const std::uint8_t* uv = uvPlane + std::uint64_t{std::min(row / 2, lastChromaRow)} * info.strideUV;
        std::uint8_t* out = image.scanLine(static_cast<int>(row));
        for (std::uint32_t column = 0; column < info.width; ++column, out += 3) {
            const int luma = y[column] << 16;
            const int u = info.height >= 2 ? uv[column & ~1u] - 128 : 0;
            const int v = info.height >= 2 ? uv[(column & ~1u) + 1] - 128 : 0;
            out[0] = clampToByte((luma + 91881 * v + 32768) >> 16);
            out[1] = clampToByte((luma - 22554 * u - 46802 * v + 32768) >> 16);
            out[2] = clampToByte((luma + 116130 * u + 32768) >> 16);
        }
    }
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    int waitMs = 5000;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--wait-ms") == 0 && i + 1 < argc) waitMs = std::atoi(argv[++i]);
        else if (!file) file = argv[i];
        else file = nullptr, i = argc;
    }
    if (!file) {
        std::fputs("usage: veltrix_frame_shot [--wait-ms N] <file.png>\n", stderr);
        return 2;
    }

    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(waitMs, 0));
    platform::SectionHandle section;
    platform::SectionView view;
    std::optional<Picture> picture;
    for (;;) {
        platform::SystemError error;
        if (!section.isValid()) section = platform::openSection(kFrameSectionName, platform::SectionMode::ReadOnly, error);
        if (section.isValid() && !view.isValid()) view = platform::mapSection(section, platform::SectionMode::ReadOnly, error);
        if (view.isValid()) picture = readPicture(view);
        if (picture || Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!picture) {
        std::fprintf(stderr, "veltrix_frame_shot: no decoded frame in the section%s\n",
                     section.isValid() ? "" : " (the section does not exist)");
        return 1;
    }
    if (!toImage(*picture).save(QString::fromLocal8Bit(file), "PNG")) {
        std::fprintf(stderr, "veltrix_frame_shot: cannot save %s\n", file);
        return 1;
    }
    std::printf("%ux%u frame %llu\n", picture->info.width, picture->info.height,
                static_cast<unsigned long long>(picture->info.sequence));
    return 0;
}
