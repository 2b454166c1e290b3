#include "gui/ClientIcon.h"

#include <QFont>
#include <QPainter>

namespace veltrix {

QPixmap paintClientIconPixmap(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing | QPainter::SmoothPixmapTransform);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(34, 102, 187, 255));
    const int radius = (size * 12) / 64;
    painter.drawRoundedRect(QRect(0, 0, size, size), radius, radius, Qt::AbsoluteSize);
    painter.setPen(Qt::white);
    // The system's sans-serif face stands in where the designed one is not installed.
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSize((size * 36) / 64);
    font.setWeight(QFont::Bold);
    font.setItalic(false);
    painter.setFont(font);
    painter.drawText(QRect(0, 0, size, size), Qt::AlignCenter, QStringLiteral("V"));
    return pixmap;
}

QIcon clientIcon() {
    QIcon icon;
    for (const int size : kClientIconSizes) icon.addPixmap(paintClientIconPixmap(size), QIcon::Normal, QIcon::Off);
    return icon;
}

}  // namespace veltrix
