#pragma once

#include <glib.h>

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace veltrix {

// The one thread the data-channel stack runs on, process-wide: ICE (libnice), DTLS (OpenSSL) and
// SCTP (usrsctp, without threads of its own) of every peer connection live here, on one GLib main
// context, and every callback of those libraries arrives here. Nothing else touches their state.
//
// Contract at this seam: other threads reach the stack only through post(), which runs work here
// in posting order; work and timers never block, so one connection cannot hold up another.
class NetworkThread {
public:
    static NetworkThread& instance();

    NetworkThread(const NetworkThread&) = delete;
    NetworkThread& operator=(const NetworkThread&) = delete;

    GMainContext* context() const { return context_; }
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

    // Runs `work` on this thread, after whatever was posted before it. Any thread.
    void post(std::function<void()> work);
    // Runs `work` on this thread and waits for it; runs it in place when called from this thread.
    void invoke(const std::function<void()>& work);

    // A one-shot or repeating timer on this thread. Created, started, stopped and destroyed on
    // this thread only.
    class Timer {
    public:
        explicit Timer(std::function<void()> callback) : callback_(std::move(callback)) {}
        ~Timer() { stop(); }
        Timer(const Timer&) = delete;
        Timer& operator=(const Timer&) = delete;

        void start(std::chrono::milliseconds delay, bool repeat = false);
        void stop();
        bool active() const { return source_ != nullptr; }

    private:
        static gboolean fire(gpointer data);

        std::function<void()> callback_;
        GSource* source_ = nullptr;
        bool repeat_ = false;
    };

private:
    NetworkThread();
    ~NetworkThread();

    void run();
    void drain();
    static gboolean dispatchPosted(GSource* source, GSourceFunc, gpointer);

    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GSource* postedSource_ = nullptr;
    std::mutex mutex_;  // guards posted_
    std::deque<std::function<void()>> posted_;
    std::thread thread_;
};

}  // namespace veltrix
