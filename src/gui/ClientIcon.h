#pragma once

#include <QIcon>
#include <QPixmap>

namespace veltrix {

// The client's painted icon: a white bold "V" on a blue rounded square, one pixmap for each of
// the sizes below. The application's window icon and the tray icon.
inline constexpr int kClientIconSizes[] = {16, 24, 32, 48, 64, 128, 256};

// The pixmap of one size: corner radius (size x 12) / 64, point size (size x 36) / 64.
QPixmap paintClientIconPixmap(int size);
QIcon clientIcon();

}  // namespace veltrix
