#include "MediaThreads.h"

#include <gst/gst.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <thread>

namespace veltrix::test {
namespace {

long threadCount()
{
    std::error_code error;
    std::filesystem::directory_iterator tasks("/proc/self/task", error);
    if (error)
        return -1;
    return std::distance(tasks, std::filesystem::directory_iterator{});
}

// Waits until the thread count has not changed for `quiet`, at most `limit` in all.
void waitForSteadyThreadCount(std::chrono::milliseconds quiet, std::chrono::milliseconds limit)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    long last = threadCount();
    auto steadySince = Clock::now();
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const long now = threadCount();
        if (now != last) {
            last = now;
            steadySince = Clock::now();
        } else if (Clock::now() - steadySince >= quiet) {
            return;
        }
    }
}

} // namespace

void quiesceMediaThreads()
{
    if (!gst_is_initialized())
        return;
    gst_task_cleanup_all();
    g_thread_pool_set_max_unused_threads(0);
    g_thread_pool_stop_unused_threads();
    waitForSteadyThreadCount(std::chrono::milliseconds(300), std::chrono::seconds(5));
}

} // namespace veltrix::test
