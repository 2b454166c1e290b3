#include "transport/ReceiveWindow.h"

namespace veltrix {

std::shared_ptr<ReceiveWindow::Ticket> ReceiveWindow::admit(int channel, std::uint64_t size) {
    {
        std::lock_guard lock(mutex_);
        waiting_[channel] += size;
    }
    return std::make_shared<Ticket>(shared_from_this(), channel, size);
}

void ReceiveWindow::waitForRoom() {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return closed_ || !full(); });
}

void ReceiveWindow::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    room_.notify_all();
}

std::uint64_t ReceiveWindow::waiting(int channel) const {
    std::lock_guard lock(mutex_);
    return waiting_[channel];
}

std::uint64_t ReceiveWindow::waitingTotal() const {
    std::lock_guard lock(mutex_);
    return waiting_[0] + waiting_[1];
}

void ReceiveWindow::settle(int channel, std::uint64_t size) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        const bool wasFull = full();
        waiting_[channel] -= size;
        wake = wasFull && !full();
    }
    if (wake) room_.notify_all();
}

bool ReceiveWindow::full() const { return waiting_[0] >= limit_ || waiting_[1] >= limit_; }

}  // namespace veltrix
