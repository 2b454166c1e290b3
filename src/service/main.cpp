// VeltrixService: for now it runs in console mode only, logging to the instance's common data
// folder, until it is stopped with SIGINT or SIGTERM.
#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <spdlog/spdlog.h>

#include "platform/InstancePaths.h"
#include "shared/Logging.h"

namespace {

std::atomic<bool> stopRequested{false};

void onStopSignal(int) { stopRequested.store(true); }

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    using namespace veltrix;
    const auto logFile = platform::paths::commonDataDir() / "Veltrix" / "service.log";
    logging::initialize(logging::RotatingFile{logFile, 5 * 1024 * 1024, 3}, true);
    spdlog::info("VeltrixService starting in console mode (log: {})", logFile.string());

    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    QTimer stopPoll;
    QObject::connect(&stopPoll, &QTimer::timeout, &app, [] {
        if (stopRequested.load()) QCoreApplication::quit();
    });
    stopPoll.start(100);

    const int code = app.exec();
    spdlog::info("VeltrixService stopped");
    logging::flush();
    return code;
}
