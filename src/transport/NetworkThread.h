#pragma once

#include <glib.h>

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace veltrix {

// A thread that runs one GLib main context: the thread a peer connection's stack lives on. ICE
// (libnice), DTLS (OpenSSL) and SCTP (usrsctp) of the connection are used only here, and their
// callbacks arrive here. Each connection has its own, so connections do not wait for each other.
//
// Contract at this seam: other threads reach the stack only through post(), which runs work here
// in posting order; work and timers never block.
class NetworkThread {
public:
    explicit NetworkThread(const char* name = "veltrix-network");
    // Runs what was posted before, lets the context settle briefly, and joins the thread. Must
    // not be called on the thread itself.
    ~NetworkThread();
    NetworkThread(const NetworkThread&) = delete;
    NetworkThread& operator=(const NetworkThread&) = delete;

    // The network thread the caller runs on, or null.
    static NetworkThread* current();

    GMainContext* context() const { return context_; }
    bool isCurrent() const { return current() == this; }

    // Runs `work` on this thread, after whatever was posted before it. Any thread.
    void post(std::function<void()> work);
    // Runs `work` on this thread and waits for it; runs it in place when called from this thread.
    void invoke(const std::function<void()>& work);

    // A one-shot or repeating timer on the network thread it is started on. Created, started,
    // stopped and destroyed on that thread only.
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
    void run(const char* name);
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
