#pragma once

#include <QLabel>
#include <QString>

namespace veltrix {

// A label with a fixed style sheet, the dialogs' most common widget. Its text is plain: much of
// what the dialogs show comes from the service or the backend, and markup in it is not drawn.
inline QLabel* styledLabel(const QString& text, const char* style, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setStyleSheet(QString::fromLatin1(style));
    return label;
}

}  // namespace veltrix
