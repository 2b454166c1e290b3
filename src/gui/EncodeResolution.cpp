#include "EncodeResolution.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace veltrix::encode_resolution {

namespace {

QSize automaticTarget(QSize base, double zoom, QSize remote) {
    double w = base.width() * zoom;
    double h = base.height() * zoom;
    const bool remoteKnown = remote.width() > 0 && remote.height() > 0;
    if (remoteKnown && w > 0 && h > 0) {
        const double remoteAspect = static_cast<double>(remote.width()) / remote.height();
        if (w / h > remoteAspect) {
            w = remoteAspect * h;
        } else {
            h = w / remoteAspect;
        }
    }
    int width = static_cast<int>(std::lround(w));
    int height = static_cast<int>(std::lround(h));
    if (remoteKnown) {
        width = std::min(width, remote.width());
        height = std::min(height, remote.height());
    }
    width &= ~1;
    height &= ~1;
    return {std::max(width, 160), std::max(height, 120)};
}

}  // namespace

QSize target(int choice, QSize viewerDevicePixels, double zoom, QSize remoteCapture) {
    switch (choice) {
    case Automatic: return automaticTarget(viewerDevicePixels, zoom, remoteCapture);
    case Native: return {0, 0};
    case FullHd: return {1920, 1080};
    case Hd: return {1280, 720};
    case Wide480: return {854, 480};
    default: return {0, 0};
    }
}

bool worthSending(QSize lastSent, QSize target) {
    if (!lastSent.isValid()) {
        return true;
    }
    return std::abs(lastSent.width() - target.width()) >= 64 || std::abs(lastSent.height() - target.height()) >= 64;
}

}  // namespace veltrix::encode_resolution
