#pragma once

#include <QObject>

namespace veltrix {

// Application event filter that gives every push button the pointing-hand cursor when it is
// polished; it never consumes an event.
class ButtonCursorFilter : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace veltrix
