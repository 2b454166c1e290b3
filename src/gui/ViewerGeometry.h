#pragma once

#include <QRect>
#include <QSize>

namespace veltrix {

// Where the remote picture sits inside the viewer, in the widget's logical coordinates. A pure
// function of its inputs so that fit, one-to-one, zoom, pan and the device pixel ratio can be
// checked without a GL context.
struct ViewerGeometry {
    QSize frame;                  // remote picture in pixels; not positive = no picture yet
    QSize widget;                 // widget in logical pixels
    double devicePixelRatio = 1.0;
    int scaleMode = 1;            // 1 = one frame pixel per device pixel, anything else = fit
    double zoom = 1.0;
    double panX = 0.5;            // frame point (fraction) shown at the widget's centre
    double panY = 0.5;

    QRect videoRect() const;
};

// Rounds half away from zero, as every size and position of the viewer is rounded.
int roundHalfAway(double value);

// A widget's logical size in device pixels, each side rounded half away from zero.
QSize toDevicePixels(QSize logical, double devicePixelRatio);

}  // namespace veltrix
