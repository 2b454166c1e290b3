#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace veltrix {

// Bounds the received messages of each channel that wait for the receiving thread.
//
// Each rebuilt message is admitted before it is handed over, and the Ticket it gets travels with
// it and gives its room back wherever the message ends (delivered, or dropped with a closed
// attempt). The thread that feeds the network's input to the protocol stack calls waitForRoom()
// before each packet: while any channel is at its limit, input stops, acknowledgements stop, and
// the sender's window closes, so back-pressure reaches the peer instead of memory growing here.
// Only whole messages count: one being rebuilt must be able to complete, and it is bounded by
// the largest message anyway.
class ReceiveWindow : public std::enable_shared_from_this<ReceiveWindow> {
public:
    static constexpr int kChannels = 2;

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

    // Counts a message of `size` bytes on `channel` (0 or 1) until its ticket goes away.
    std::shared_ptr<Ticket> admit(int channel, std::uint64_t size);
    // Blocks while a channel is at its limit. Returns at once when the window is closed.
    void waitForRoom();
    // Wakes every waiter; waitForRoom() no longer blocks.
    void close();

    std::uint64_t waiting(int channel) const;
    std::uint64_t waitingTotal() const;
    std::uint64_t limit() const { return limit_; }

private:
    void settle(int channel, std::uint64_t size);
    bool full() const;  // with mutex_ held

    const std::uint64_t limit_;
    mutable std::mutex mutex_;
    std::condition_variable room_;
    std::uint64_t waiting_[kChannels] = {0, 0};
    bool closed_ = false;
};

}  // namespace veltrix
