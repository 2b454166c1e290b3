#pragma once

#include <QSize>

namespace veltrix {

// The partner's encode resolution as the viewing side asks for it.
namespace encode_resolution {

// The menu's choices, in order.
enum Choice : int { Automatic = 0, Native = 1, FullHd = 2, Hd = 3, Wide480 = 4 };

// The size to ask for. For the automatic choice: the viewer's size in device pixels times its
// zoom, at the partner's aspect ratio, no larger than the partner's capture, even, and at least
// 160 x 120. Native is 0 x 0 (the partner's own size).
QSize target(int choice, QSize viewerDevicePixels, double zoom, QSize remoteCapture);

// Whether `target` is worth sending after `lastSent`: always when nothing was sent yet (invalid),
// else only when it differs by 64 pixels or more in width or height, so that small changes do
// not restart the partner's encoder.
bool worthSending(QSize lastSent, QSize target);

}  // namespace encode_resolution
}  // namespace veltrix
