#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace veltrix {

// Bounds the received messages that wait for their receiver (the transport's Qt thread).
//
// The network thread reads the next message from SCTP only while hasRoom(); each message it hands
// over carries a Ticket that gives its bytes back wherever the message ends (delivered, or
// dropped with a closed transport). While the receiver is behind, nothing more is read: SCTP's
// receive buffer fills, its advertised window closes and the sender stops, so back-pressure
// reaches the peer instead of memory growing here. When room returns after the reader stopped,
// `resume` runs (on the thread that freed the room) to start reading again.
//
// Thread-safe.
class DeliveryWindow : public std::enable_shared_from_this<DeliveryWindow> {
public:
    class Ticket {
    public:
        Ticket(std::shared_ptr<DeliveryWindow> window, std::uint64_t size) : window_(std::move(window)), size_(size) {}
        ~Ticket() { window_->settle(size_); }
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;

    private:
        std::shared_ptr<DeliveryWindow> window_;
        std::uint64_t size_;
    };

    DeliveryWindow(std::uint64_t limit, std::function<void()> resume) : limit_(limit), resume_(std::move(resume)) {}

    // Counts a message of `size` bytes until its ticket goes away.
    std::shared_ptr<Ticket> admit(std::uint64_t size);
    // Whether the reader may take another message. A reader told no is resumed later.
    bool hasRoom();
    // No resume after this.
    void close();

    std::uint64_t waiting() const { return waiting_.load(); }

private:
    void settle(std::uint64_t size);

    const std::uint64_t limit_;
    std::mutex mutex_;  // guards resume_, stalled_ and closed_
    std::function<void()> resume_;
    std::atomic<std::uint64_t> waiting_{0};
    bool stalled_ = false;
    bool closed_ = false;
};

}  // namespace veltrix
