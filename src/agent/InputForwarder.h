#pragma once

#include <QObject>
#include <QTimer>

#include <memory>

#include "agent/IInputBackend.h"
#include "shared/InputEvent.h"

namespace veltrix {

// Hands remote input to the input backend and thins out mouse moves to about 60 a second: a move
// after a quiet period goes out at once, later moves within the next 16 ms only replace the
// pending one, and the latest is injected when the timer fires.
//
// Any other event first injects a pending move, so a click or key lands where the pointer was
// last sent and a drag follows the path the viewer drew.
class InputForwarder : public QObject {
    Q_OBJECT
public:
    static constexpr int kMoveRatePerSecond = 60;
    static constexpr int kCoalesceIntervalMs = 1000 / kMoveRatePerSecond > 1 ? 1000 / kMoveRatePerSecond : 1;

    explicit InputForwarder(std::unique_ptr<IInputBackend> backend, QObject* parent = nullptr);
    ~InputForwarder() override;

    IInputBackend* backend() const { return backend_.get(); }
    bool hasPendingMove() const { return hasPendingMove_; }

    // The partner's session ended: every key and button it pressed through the backend goes up.
    void releaseHeldInput();

public slots:
    void processEvent(veltrix::InputEvent event);
    void flushPendingMouseMove();

private:
    std::unique_ptr<IInputBackend> backend_;
    QTimer coalesceTimer_;
    InputEvent pendingMove_;
    bool hasPendingMove_ = false;
};

}  // namespace veltrix
