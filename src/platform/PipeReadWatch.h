#pragma once

#include <functional>
#include <memory>

#include "platform/PipeConnection.h"

class QSocketNotifier;

// Tells the owner of a pipe end as soon as there is something to read, so a message is handled
// when it arrives instead of at the owner's next timer tick.
//
// Contract: `onReadable` runs on the thread that made the watch, from its event loop, whenever
// the connection has unread data or its other end has gone. It is level-triggered: while data
// stays unread (or the end stays closed) it runs again on the loop's next turn, so the owner may
// read part of what is there and leave the rest for later. The connection must stay open for as
// long as the watch lives; the watch may be destroyed from inside `onReadable`.
//
// Linux stand-in: a Qt socket notifier on the socket's descriptor.
namespace veltrix::platform {

class PipeReadWatch {
public:
    PipeReadWatch(const PipeConnection& connection, std::function<void()> onReadable);
    ~PipeReadWatch();
    PipeReadWatch(const PipeReadWatch&) = delete;
    PipeReadWatch& operator=(const PipeReadWatch&) = delete;

private:
    // Owned. A watch that ends inside its own call hands it to the event loop for deletion, since
    // Qt is still delivering its signal.
    QSocketNotifier* notifier_ = nullptr;
    std::shared_ptr<bool> dispatching_ = std::make_shared<bool>(false);
};

}  // namespace veltrix::platform
