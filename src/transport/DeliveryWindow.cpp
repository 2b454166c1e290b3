#include "transport/DeliveryWindow.h"

namespace veltrix {

std::shared_ptr<DeliveryWindow::Ticket> DeliveryWindow::admit(std::uint64_t size) {
    waiting_ += size;
    return std::make_shared<Ticket>(shared_from_this(), size);
}

bool DeliveryWindow::hasRoom() {
    std::lock_guard lock(mutex_);
    if (waiting_.load() < limit_) return true;
    stalled_ = true;
    return false;
}

void DeliveryWindow::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    resume_ = nullptr;
}

void DeliveryWindow::settle(std::uint64_t size) {
    std::function<void()> resume;
    {
        std::lock_guard lock(mutex_);
        waiting_ -= size;
        if (!stalled_ || closed_ || waiting_.load() >= limit_) return;
        stalled_ = false;
        resume = resume_;
    }
    if (resume) resume();
}

}  // namespace veltrix
