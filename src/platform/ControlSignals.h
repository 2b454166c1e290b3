#pragma once

#include <QObject>

#include <vector>

// Stop and shutdown reach the service program as signals: SIGTERM (stop; what a service manager
// sends) and SIGINT (shutdown; Ctrl+C on a console). They are never handled asynchronously: every
// thread blocks them and one reader takes them from a descriptor, on the service manager's control
// thread in service mode and on the Qt thread in console mode.
namespace veltrix::platform::control {

// Blocks the control signals in the calling thread and in every thread it starts later. Call
// first in main, before any thread exists.
void blockControlSignals();

// Unblocks them again (a child process between fork and exec, a test).
void unblockControlSignals();

// The control signals as a readable descriptor.
class ControlSignalReader {
public:
    ControlSignalReader();
    ~ControlSignalReader();
    ControlSignalReader(const ControlSignalReader&) = delete;
    ControlSignalReader& operator=(const ControlSignalReader&) = delete;

    bool isValid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // The signals that arrived since the last call (SIGTERM, SIGINT), in order.
    std::vector<int> readPending();

private:
    int fd_ = -1;
};

// The Qt-thread form of the reader (console mode).
class TerminationNotifier : public QObject {
    Q_OBJECT
public:
    explicit TerminationNotifier(QObject* parent = nullptr);
    ~TerminationNotifier() override;

    bool isValid() const { return reader_.isValid(); }

signals:
    void terminationRequested(int signalNumber);

private:
    ControlSignalReader reader_;
};

}  // namespace veltrix::platform::control
