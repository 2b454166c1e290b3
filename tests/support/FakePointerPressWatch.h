#pragma once

#include <QRect>

#include <cerrno>
#include <cstdint>
#include <map>
#include <vector>

#include "platform/PointerPressWatch.h"

namespace veltrix::test {

// A desktop made up by the test: windows with a client area and a frame, presses the test
// makes, and close requests it builds as native events of its own type.
class FakePointerPressWatch final : public platform::input::PointerPressWatch {
public:
    // The native event the fake reads as a close request: its address with kCloseEventType.
    struct CloseRequest {
        std::uint64_t window = 0;
    };
    static constexpr const char* kCloseEventType = "fake_close_request";

    explicit FakePointerPressWatch(bool startable = true) : startable_(startable) {}

    bool start(PressHandler handler, platform::SystemError& error) override {
        if (!startable_) {
            error.code = ENXIO;
            return false;
        }
        handler_ = std::move(handler);
        return true;
    }

    void flush() override {
        ++flushes_;
        std::vector<platform::input::PointerPress> pending;
        pending.swap(queued_);
        for (const auto& press : pending) handler_(press);
    }

    std::uint64_t closeRequestWindow(const QByteArray& eventType, const void* message) const override {
        if (!message || eventType != kCloseEventType) return 0;
        return static_cast<const CloseRequest*>(message)->window;
    }

    platform::input::WindowPart partAt(std::uint64_t window, std::int32_t x, std::int32_t y) override {
        const auto found = windows_.find(window);
        if (found == windows_.end()) return platform::input::WindowPart::Elsewhere;
        if (found->second.client.contains(x, y)) return platform::input::WindowPart::Client;
        if (found->second.frame.contains(x, y)) return platform::input::WindowPart::Frame;
        return platform::input::WindowPart::Elsewhere;
    }

    // The window's client area and the frame around it, in desktop coordinates.
    void setWindow(std::uint64_t window, QRect client, QRect frame) { windows_[window] = {client, frame}; }

    // A press the watch reports at once, as its event loop reads it.
    void press(const platform::input::PointerPress& press) { handler_(press); }
    // A press the desktop made but the watch has not read yet: reported at the next flush.
    void queue(const platform::input::PointerPress& press) { queued_.push_back(press); }

    int flushes() const { return flushes_; }

private:
    struct Layout {
        QRect client;
        QRect frame;
    };

    bool startable_;
    PressHandler handler_;
    std::vector<platform::input::PointerPress> queued_;
    std::map<std::uint64_t, Layout> windows_;
    int flushes_ = 0;
};

}  // namespace veltrix::test
