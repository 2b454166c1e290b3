#pragma once

#include "shared/InputEvent.h"

namespace veltrix {

// Replays one remote input event on this machine's desktop. Used on one thread (the agent's main
// thread); every injection before `initialize` is refused.
class IInputBackend {
public:
    virtual ~IInputBackend() = default;

    virtual bool initialize() = 0;
    virtual void shutdown() = 0;
    // False when the event was refused (unknown type or button, rate limit) or not inserted.
    virtual bool injectEvent(const InputEvent& event) = 0;

    // The captured monitor's rectangle on the virtual desktop, so that the event's fractions
    // address that monitor. A backend that maps onto a fixed surface ignores it.
    virtual void setMonitorRect(int x, int y, int width, int height) {
        (void)x, (void)y, (void)width, (void)height;
    }

    // Releases every key and button this backend pressed and has not released yet, so that a
    // session or capture that ends between a remote key-down and its key-up leaves nothing held
    // on this desktop. A backend that keeps no such record does nothing.
    virtual void releaseHeldInput() {}
};

}  // namespace veltrix
