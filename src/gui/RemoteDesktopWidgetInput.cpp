// The input side of the viewer: local mouse, wheel and key events become InputEvents in the
// remote frame's coordinates while viewing mode is on; the zoom gestures stay local.
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

#include <algorithm>
#include <atomic>
#include <chrono>

#include <spdlog/spdlog.h>

#include "RemoteDesktopWidget.h"
#include "platform/KeyCodes.h"

namespace veltrix {

namespace {

std::int64_t steadyNowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::uint8_t mouseButtonOf(Qt::MouseButton button) {
    switch (button) {
    case Qt::RightButton: return 2;
    case Qt::MiddleButton: return 3;
    case Qt::BackButton: return 4;
    case Qt::ForwardButton: return 5;
    default: return 1;
    }
}

// Shift, Ctrl, Alt (each also by side) and the two Windows keys.
bool isModifierKey(std::uint32_t virtualKey) {
    return (virtualKey >= 0x10 && virtualKey <= 0x12) || (virtualKey >= 0xA0 && virtualKey <= 0xA5) ||
           virtualKey == 0x5B || virtualKey == 0x5C;
}

bool sameKey(const InputEvent& a, const InputEvent& b) { return a.vk_code == b.vk_code && a.scan_code == b.scan_code; }

bool isCentred(double zoom, double panX, double panY) {
    return std::abs(zoom - 1.0) < 1e-6 && std::abs(panX - 0.5) < 1e-6 && std::abs(panY - 0.5) < 1e-6;
}

}  // namespace

bool RemoteDesktopWidget::widgetToNormalized(double px, double py, double& nx, double& ny) const {
    const QRect rect = videoRect();
    if (rect.width() <= 0 || rect.height() <= 0) {
        return false;
    }
    nx = (px - rect.x()) / rect.width();
    ny = (py - rect.y()) / rect.height();

    static std::atomic<unsigned> calls{0};
    if (++calls % 60 == 0) {
        spdlog::info("widgetToNormalized: widget=({:.0f},{:.0f}) videoRect=({},{} {}x{}) frameSize={}x{} "
                     "widgetSize={}x{} dpr={:.2f} norm=({:.4f},{:.4f})",
                     px, py, rect.x(), rect.y(), rect.width(), rect.height(), frameWidth_, frameHeight_, width(),
                     height(), devicePixelRatioF(), nx, ny);
    }
    return nx >= 0.0 && nx <= 1.0 && ny >= 0.0 && ny <= 1.0;
}

InputEvent RemoteDesktopWidget::keyEvent(std::uint8_t type, const QKeyEvent* event) const {
    // X reports the physical key as its key code; the partner expects the PC keyboard's virtual
    // key and set-1 scan code, which the shared key table gives for every key it knows.
    InputEvent input;
    input.type = type;
    input.timestamp_ms = steadyNowMs();
    const quint32 xKeycode = event->nativeScanCode();
    if (const auto* entry = xKeycode <= 0xFF ? platform::keys::entryForXKeycode(static_cast<std::uint8_t>(xKeycode))
                                             : nullptr) {
        input.vk_code = entry->virtualKey;
        input.scan_code = entry->scanCode;
    }
    input.extended = (input.scan_code & 0xE000u) != 0;
    return input;
}

InputEvent RemoteDesktopWidget::mouseEvent(std::uint8_t type, double nx, double ny, std::uint8_t button) const {
    InputEvent input;
    input.type = type;
    input.timestamp_ms = steadyNowMs();
    input.mouse_x = nx;
    input.mouse_y = ny;
    input.mouse_button = button;
    return input;
}

bool RemoteDesktopWidget::handleZoomKey(QKeyEvent* event) {
    if (!(event->modifiers() & Qt::ControlModifier)) {
        return false;
    }
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal: setZoom(zoom_ * 1.25); break;
    case Qt::Key_Minus:
    case Qt::Key_Underscore: setZoom(zoom_ * 0.8); break;
    case Qt::Key_0:
        if (!isCentred(zoom_, panX_, panY_)) {
            applyZoomAndPan(1.0, 0.5, 0.5);
        }
        break;
    case Qt::Key_1:
        scaleMode_ = 1;
        applyZoomAndPan(1.0, 0.5, 0.5);
        break;
    default: return false;
    }
    event->accept();
    return true;
}

void RemoteDesktopWidget::keyPressEvent(QKeyEvent* event) {
    if (handleZoomKey(event)) {
        keepHeldBackModifiersLocal();
        return;
    }
    if (!viewingMode_) {
        QOpenGLWidget::keyPressEvent(event);
        return;
    }
    if (event->isAutoRepeat()) {
        return;
    }
    const InputEvent input = keyEvent(InputEvent::KeyDown, event);
    if (input.vk_code == 0) {
        spdlog::debug("RemoteDesktopWidget: key code {} has no PC key, not sent", event->nativeScanCode());
        return;
    }
    event->accept();
    if (isModifierKey(input.vk_code)) {
        // Sent with the next key or click that goes to the partner, or as a tap on its release.
        heldBackModifiers_.push_back({input});
        return;
    }
    sendHeldBackModifiers();
    keysDown_.insert({input.vk_code, input.scan_code});
    emit inputEvent(input);
}

void RemoteDesktopWidget::keyReleaseEvent(QKeyEvent* event) {
    if (!viewingMode_) {
        QOpenGLWidget::keyReleaseEvent(event);
        return;
    }
    if (event->isAutoRepeat()) {
        return;
    }
    const InputEvent input = keyEvent(InputEvent::KeyUp, event);
    if (input.vk_code == 0) {
        return;
    }
    event->accept();
    const auto heldBack = std::find_if(heldBackModifiers_.begin(), heldBackModifiers_.end(),
                                       [&](const HeldBackModifier& m) { return sameKey(m.down, input); });
    if (heldBack != heldBackModifiers_.end()) {
        const HeldBackModifier modifier = *heldBack;
        heldBackModifiers_.erase(heldBack);
        if (!modifier.keptLocal) {
            emit inputEvent(modifier.down);
            emit inputEvent(input);
        }
        return;
    }
    if (keysDown_.erase({input.vk_code, input.scan_code}) > 0) {
        emit inputEvent(input);
        return;
    }
    // Its press never reached the partner: the window took it (a shortcut, the paste of files),
    // and the modifiers held with it were meant for the window too.
    keepHeldBackModifiersLocal();
}

bool RemoteDesktopWidget::event(QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride && viewingMode_) {
        if (isLocalShortcut(*static_cast<QKeyEvent*>(event))) {
            keepHeldBackModifiersLocal();
            return QOpenGLWidget::event(event);  // not taken: the window's shortcut acts
        }
        // Any other key is the partner's: no shortcut of the application may take it.
        event->accept();
        return true;
    }
    return QOpenGLWidget::event(event);
}

bool RemoteDesktopWidget::focusNextPrevChild(bool next) {
    // Tab and Shift+Tab go to the partner while viewing; the focus stays here.
    if (viewingMode_) return false;
    return QOpenGLWidget::focusNextPrevChild(next);
}

bool RemoteDesktopWidget::isLocalShortcut(const QKeyEvent& event) const {
    const QKeySequence pressed(QKeyCombination(event.modifiers() & ~Qt::KeypadModifier, Qt::Key(event.key())));
    return std::any_of(localShortcuts_.begin(), localShortcuts_.end(), [&](const QKeySequence& shortcut) {
        return shortcut.matches(pressed) == QKeySequence::ExactMatch;
    });
}

void RemoteDesktopWidget::sendHeldBackModifiers() {
    for (const HeldBackModifier& modifier : std::exchange(heldBackModifiers_, {})) {
        keysDown_.insert({modifier.down.vk_code, modifier.down.scan_code});
        emit inputEvent(modifier.down);
    }
}

void RemoteDesktopWidget::keepHeldBackModifiersLocal() {
    for (HeldBackModifier& modifier : heldBackModifiers_) modifier.keptLocal = true;
}

void RemoteDesktopWidget::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::MiddleButton && zoom_ > 1.000001) {
        dragging_ = true;
        dragAnchor_ = event->position().toPoint();
        dragStartPanX_ = panX_;
        dragStartPanY_ = panY_;
        setCursor(Qt::ClosedHandCursor);
        event->accept();
        return;
    }
    if (!viewingMode_) {
        QOpenGLWidget::mousePressEvent(event);
        return;
    }
    double nx = 0.0;
    double ny = 0.0;
    if (widgetToNormalized(event->position().x(), event->position().y(), nx, ny)) {
        const std::uint8_t button = mouseButtonOf(event->button());
        sendHeldBackModifiers();
        buttonsDown_.insert(button);
        forward(mouseEvent(InputEvent::MouseDown, nx, ny, button));
    }
}

void RemoteDesktopWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (dragging_ && event->button() == Qt::MiddleButton) {
        dragging_ = false;
        unsetCursor();
        event->accept();
        return;
    }
    if (!viewingMode_) {
        QOpenGLWidget::mouseReleaseEvent(event);
        return;
    }
    const std::uint8_t button = mouseButtonOf(event->button());
    double nx = 0.0;
    double ny = 0.0;
    const bool inside = widgetToNormalized(event->position().x(), event->position().y(), nx, ny);
    // A button pressed on the picture is released on the partner wherever the pointer is now,
    // at the nearest edge of the picture; otherwise it would stay held there.
    const bool wasForwarded = buttonsDown_.erase(button) > 0;
    if (inside || (wasForwarded && videoRect().width() > 0 && videoRect().height() > 0)) {
        forward(mouseEvent(InputEvent::MouseUp, std::clamp(nx, 0.0, 1.0), std::clamp(ny, 0.0, 1.0), button));
    }
}

void RemoteDesktopWidget::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_) {
        const QRect rect = videoRect();
        if (rect.width() <= 0 || rect.height() <= 0) {
            return;
        }
        const QPoint position = event->position().toPoint();
        const double dx = position.x() - dragAnchor_.x();
        const double dy = position.y() - dragAnchor_.y();
        panX_ = std::clamp(dragStartPanX_ - dx / rect.width(), 0.0, 1.0);
        panY_ = std::clamp(dragStartPanY_ - dy / rect.height(), 0.0, 1.0);
        update();
        return;
    }
    if (!viewingMode_) {
        QOpenGLWidget::mouseMoveEvent(event);
        return;
    }
    double nx = 0.0;
    double ny = 0.0;
    if (widgetToNormalized(event->position().x(), event->position().y(), nx, ny)) {
        forward(mouseEvent(InputEvent::MouseMove, nx, ny, 1));
    }
}

void RemoteDesktopWidget::zoomAboutPointer(double factor, QPointF position) {
    if (frameWidth_ <= 0 || frameHeight_ <= 0) {
        return;
    }
    double before_x = 0.0;
    double before_y = 0.0;
    const bool inside = widgetToNormalized(position.x(), position.y(), before_x, before_y);
    const double newZoom = std::clamp(zoom_ * factor, 1.0, 8.0);
    if (std::abs(newZoom - zoom_) < 1e-6) {
        return;
    }
    zoom_ = newZoom;
    if (zoom_ <= 1.000001) {
        panX_ = 0.5;
        panY_ = 0.5;
    } else if (inside) {
        double after_x = 0.0;
        double after_y = 0.0;
        widgetToNormalized(position.x(), position.y(), after_x, after_y);
        panX_ = std::clamp(before_x - after_x + panX_, 0.0, 1.0);
        panY_ = std::clamp(before_y - after_y + panY_, 0.0, 1.0);
    }
    emit zoomChanged(zoom_);
    update();
}

void RemoteDesktopWidget::wheelEvent(QWheelEvent* event) {
    const int dy = event->angleDelta().y();
    if (dy != 0 && (event->modifiers() & Qt::ControlModifier)) {
        zoomAboutPointer(dy > 0 ? 1.25 : 0.8, event->position());
        event->accept();
        return;
    }
    if (!viewingMode_) {
        QOpenGLWidget::wheelEvent(event);
        return;
    }
    double nx = 0.0;
    double ny = 0.0;
    if (dy != 0 && widgetToNormalized(event->position().x(), event->position().y(), nx, ny)) {
        InputEvent input = mouseEvent(InputEvent::MouseWheel, nx, ny, 1);
        input.wheel_delta = static_cast<std::int16_t>(std::clamp(dy, -32768, 32767));
        sendHeldBackModifiers();
        forward(input);
    }
}

void RemoteDesktopWidget::forward(const InputEvent& input) {
    if (input.type >= InputEvent::MouseMove && input.type <= InputEvent::MouseWheel) {
        lastSentX_ = input.mouse_x;
        lastSentY_ = input.mouse_y;
    }
    emit inputEvent(input);
}

void RemoteDesktopWidget::focusOutEvent(QFocusEvent* event) {
    releaseEverythingHeld();
    QOpenGLWidget::focusOutEvent(event);
}

void RemoteDesktopWidget::releaseEverythingHeld() {
    if (!viewingMode_) {
        return;
    }
    heldBackModifiers_.clear();  // never sent: nothing to release
    const auto keys = std::exchange(keysDown_, {});
    for (const auto& [virtualKey, scanCode] : keys) {
        InputEvent input;
        input.type = InputEvent::KeyUp;
        input.timestamp_ms = steadyNowMs();
        input.vk_code = virtualKey;
        input.scan_code = scanCode;
        input.extended = (scanCode & 0xE000u) != 0;
        emit inputEvent(input);
    }
    const auto buttons = std::exchange(buttonsDown_, {});
    for (const std::uint8_t button : buttons) {
        forward(mouseEvent(InputEvent::MouseUp, lastSentX_, lastSentY_, button));
    }
}

}  // namespace veltrix
