#include "transport/ReceiveWindow.h"

namespace veltrix {

std::shared_ptr<ReceiveWindow::Ticket> ReceiveWindow::admit(int channel, std::uint64_t size) {
    {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] { return closed_ || waiting_[channel] == 0 || waiting_[channel] + size <= limit_; });
        if (closed_) return nullptr;
        waiting_[channel] += size;
    }
    return std::make_shared<Ticket>(shared_from_this(), channel, size);
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

void ReceiveWindow::settle(int channel, std::uint64_t size) {
    {
        std::lock_guard lock(mutex_);
        waiting_[channel] -= size;
    }
    room_.notify_all();
}

}  // namespace veltrix
