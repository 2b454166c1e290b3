#pragma once

#include <QMessageBox>
#include <QString>

namespace veltrix {

// A warning box with one OK button whose text is shown exactly as given. Texts that come from
// the service, the partner or the backend may hold markup; a box left to guess the format would
// draw it.
inline void warnInPlainText(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

}  // namespace veltrix
