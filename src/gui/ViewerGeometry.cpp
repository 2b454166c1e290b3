#include "ViewerGeometry.h"

#include <algorithm>
#include <cmath>

namespace veltrix {

int roundHalfAway(double value) {
    return static_cast<int>(std::round(value));  // std::round rounds halves away from zero
}

QSize toDevicePixels(QSize logical, double devicePixelRatio) {
    return {roundHalfAway(logical.width() * devicePixelRatio), roundHalfAway(logical.height() * devicePixelRatio)};
}

namespace {

// Position of a picture of `scaled` pixels along one axis of `available` pixels: centred when it
// fits, else placed so that `pan` is at the centre without uncovering the widget.
int placeOnAxis(int available, int scaled, double pan) {
    if (scaled <= available) {
        return (available - scaled) / 2;
    }
    const double half = (available * 0.5) / scaled;
    double clamped = pan;
    if (clamped > 1.0 - half) {
        clamped = 1.0 - half;
    }
    if (clamped < half) {
        clamped = half;
    }
    return roundHalfAway(available * 0.5 - scaled * clamped);
}

}  // namespace

QRect ViewerGeometry::videoRect() const {
    if (frame.width() <= 0 || frame.height() <= 0) {
        return {0, 0, widget.width(), widget.height()};
    }
    int baseWidth = 0;
    int baseHeight = 0;
    if (scaleMode == 1) {
        baseWidth = roundHalfAway(frame.width() / devicePixelRatio);
        baseHeight = roundHalfAway(frame.height() / devicePixelRatio);
    } else {
        const double aspect = static_cast<double>(frame.width()) / frame.height();
        const double widgetAspect = widget.height() > 0 ? static_cast<double>(widget.width()) / widget.height() : 0.0;
        if (aspect < widgetAspect) {
            baseHeight = widget.height();
            baseWidth = roundHalfAway(widget.height() * aspect);
        } else {
            baseWidth = widget.width();
            baseHeight = roundHalfAway(widget.width() / aspect);
        }
    }
    const int scaledWidth = std::max(1, roundHalfAway(baseWidth * zoom));
    const int scaledHeight = std::max(1, roundHalfAway(baseHeight * zoom));
    return {placeOnAxis(widget.width(), scaledWidth, panX), placeOnAxis(widget.height(), scaledHeight, panY),
            scaledWidth, scaledHeight};
}

}  // namespace veltrix
