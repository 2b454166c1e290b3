#pragma once

#include <QLabel>
#include <QString>

namespace veltrix {

// A label with a fixed style sheet, the dialogs' most common widget.
inline QLabel* styledLabel(const QString& text, const char* style, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setStyleSheet(QString::fromLatin1(style));
    return label;
}

}  // namespace veltrix
