#pragma once

#include <memory>
#include <vector>

#include "agent/IInputBackend.h"

namespace veltrix::test {

// What a RecordingInputBackend saw; shared so it outlives the backend its owner deletes.
struct InputRecord {
    struct Rect {
        int x, y, width, height;
        bool operator==(const Rect&) const = default;
    };
    std::vector<InputEvent> injected;
    std::vector<Rect> monitorRects;
    int initializeCalls = 0;
    int releaseCalls = 0;
    bool refuse = false;  // every injection fails
};

class RecordingInputBackend final : public IInputBackend {
public:
    explicit RecordingInputBackend(std::shared_ptr<InputRecord> record) : record_(std::move(record)) {}
    bool initialize() override {
        ++record_->initializeCalls;
        return true;
    }
    void shutdown() override {}
    bool injectEvent(const InputEvent& event) override {
        record_->injected.push_back(event);
        return !record_->refuse;
    }
    void setMonitorRect(int x, int y, int width, int height) override {
        record_->monitorRects.push_back({x, y, width, height});
    }
    void releaseHeldInput() override { ++record_->releaseCalls; }

private:
    std::shared_ptr<InputRecord> record_;
};

}  // namespace veltrix::test
