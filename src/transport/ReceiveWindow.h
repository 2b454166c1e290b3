#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace veltrix {

// Bounds the bytes of received messages that wait for the receiving thread, per channel.
//
// A library thread that has rebuilt a message admits it before handing it over; while the
// channel's waiting bytes are at the limit, admit() blocks, so the library stops reading from the
// network and the sender's window closes: back-pressure reaches the peer instead of memory
// growing here. The receiving thread settles each message once it has been delivered or dropped
// (a Ticket does it when it goes away). A message larger than the limit is admitted alone.
class ReceiveWindow : public std::enable_shared_from_this<ReceiveWindow> {
public:
    static constexpr int kChannels = 2;

    // Settles one admitted message when destroyed, wherever the message ends.
    class Ticket {
    public:
        Ticket(std::shared_ptr<ReceiveWindow> window, int channel, std::uint64_t size)
            : window_(std::move(window)), channel_(channel), size_(size) {}
        ~Ticket() { window_->settle(channel_, size_); }
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;

    private:
        std::shared_ptr<ReceiveWindow> window_;
        int channel_;
        std::uint64_t size_;
    };

    explicit ReceiveWindow(std::uint64_t limitPerChannel) : limit_(limitPerChannel) {}

    // Waits until `size` more bytes fit on `channel` (0 or 1) and counts them. Returns null,
    // without waiting any longer, once the window is closed.
    std::shared_ptr<Ticket> admit(int channel, std::uint64_t size);
    // Wakes every waiting admit() and refuses all later ones.
    void close();

    std::uint64_t waiting(int channel) const;
    std::uint64_t limit() const { return limit_; }

private:
    void settle(int channel, std::uint64_t size);

    const std::uint64_t limit_;
    mutable std::mutex mutex_;
    std::condition_variable room_;
    std::uint64_t waiting_[kChannels] = {0, 0};
    bool closed_ = false;
};

}  // namespace veltrix
