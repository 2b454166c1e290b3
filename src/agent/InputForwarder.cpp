#include "agent/InputForwarder.h"

#include <spdlog/spdlog.h>

namespace veltrix {

InputForwarder::InputForwarder(std::unique_ptr<IInputBackend> backend, QObject* parent)
    : QObject(parent), backend_(std::move(backend)) {
    coalesceTimer_.setSingleShot(true);
    coalesceTimer_.setInterval(kCoalesceIntervalMs);
    connect(&coalesceTimer_, &QTimer::timeout, this, &InputForwarder::flushPendingMouseMove);
}

InputForwarder::~InputForwarder() {
    flushPendingMouseMove();
    coalesceTimer_.stop();
}

void InputForwarder::processEvent(InputEvent event) {
    if (!backend_) {
        spdlog::warn("InputForwarder: no backend available");
        return;
    }
    if (event.type == InputEvent::MouseMove) {
        pendingMove_ = event;
        hasPendingMove_ = true;
        if (coalesceTimer_.isActive()) return;
        backend_->injectEvent(event);
        hasPendingMove_ = false;
        coalesceTimer_.start();
        return;
    }
    // The move the viewer sent before this event comes first; the timer then finds nothing.
    flushPendingMouseMove();
    if (!backend_->injectEvent(event)) {
        spdlog::warn("InputForwarder: failed to inject event type {}", event.type);
    }
}

void InputForwarder::releaseHeldInput() {
    flushPendingMouseMove();
    if (backend_) backend_->releaseHeldInput();
}

void InputForwarder::flushPendingMouseMove() {
    if (!hasPendingMove_ || !backend_) return;
    hasPendingMove_ = false;
    backend_->injectEvent(pendingMove_);
}

}  // namespace veltrix
