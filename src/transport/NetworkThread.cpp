#include "transport/NetworkThread.h"

#include <pthread.h>

#include <condition_variable>

namespace veltrix {

namespace {

// The posted-work source has no prepare or check: it is ready exactly when its ready time is
// due, which post() sets from any thread.
GSourceFuncs g_postedFuncs = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

thread_local NetworkThread* t_current = nullptr;

// After the loop ends: how long cancelled asynchronous work (a name lookup, a TLS connection) may
// take to come back and be freed.
constexpr gint64 kSettleUs = 100 * 1000;

}  // namespace

NetworkThread::NetworkThread(const char* name) {
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    g_postedFuncs.dispatch = &NetworkThread::dispatchPosted;
    postedSource_ = g_source_new(&g_postedFuncs, sizeof(GSource));
    g_source_set_callback(postedSource_, nullptr, this, nullptr);
    g_source_set_ready_time(postedSource_, -1);
    g_source_attach(postedSource_, context_);
    thread_ = std::thread([this, name] { run(name); });
}

NetworkThread::~NetworkThread() {
    post([this] { g_main_loop_quit(loop_); });
    if (thread_.joinable()) thread_.join();
    g_source_destroy(postedSource_);
    g_source_unref(postedSource_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

NetworkThread* NetworkThread::current() { return t_current; }

void NetworkThread::run(const char* name) {
    pthread_setname_np(pthread_self(), name);
    t_current = this;
    // Asynchronous GLib work started here (name resolution, TLS) completes here too.
    g_main_context_push_thread_default(context_);
    g_main_loop_run(loop_);
    drain();
    const gint64 until = g_get_monotonic_time() + kSettleUs;
    while (g_get_monotonic_time() < until)
        if (!g_main_context_iteration(context_, FALSE)) g_usleep(1000);
    g_main_context_pop_thread_default(context_);
    t_current = nullptr;
}

void NetworkThread::post(std::function<void()> work) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        wake = posted_.empty();
        posted_.push_back(std::move(work));
    }
    if (wake) g_source_set_ready_time(postedSource_, 0);
}

void NetworkThread::invoke(const std::function<void()>& work) {
    if (isCurrent()) {
        work();
        return;
    }
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    post([&] {
        work();
        std::lock_guard lock(mutex);
        finished = true;
        done.notify_one();
    });
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
}

gboolean NetworkThread::dispatchPosted(GSource* source, GSourceFunc, gpointer data) {
    g_source_set_ready_time(source, -1);
    static_cast<NetworkThread*>(data)->drain();
    return G_SOURCE_CONTINUE;
}

void NetworkThread::drain() {
    std::deque<std::function<void()>> work;
    {
        std::lock_guard lock(mutex_);
        work.swap(posted_);
    }
    for (auto& item : work) item();
}

void NetworkThread::Timer::start(std::chrono::milliseconds delay, bool repeat) {
    stop();
    repeat_ = repeat;
    source_ = g_timeout_source_new(static_cast<guint>(std::max<std::int64_t>(0, delay.count())));
    g_source_set_callback(source_, &Timer::fire, this, nullptr);
    g_source_attach(source_, current()->context());
}

void NetworkThread::Timer::stop() {
    if (!source_) return;
    g_source_destroy(source_);
    g_source_unref(source_);
    source_ = nullptr;
}

gboolean NetworkThread::Timer::fire(gpointer data) {
    auto* timer = static_cast<Timer*>(data);
    if (!timer->repeat_) {
        // The callback may start the timer again or destroy it: let go of the source first.
        g_source_unref(timer->source_);
        timer->source_ = nullptr;
        timer->callback_();
        return G_SOURCE_REMOVE;
    }
    GSource* source = timer->source_;
    g_source_ref(source);
    timer->callback_();  // may stop or destroy the timer
    const bool keep = !g_source_is_destroyed(source);
    g_source_unref(source);
    return keep ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

}  // namespace veltrix
