#include "agent/HeadlessAgent.h"

#include <QCoreApplication>
#include <QStandardPaths>

#include <chrono>
#include <filesystem>
#include <optional>
#include <spdlog/spdlog.h>
#include <string>
#include <thread>

#include "agent/ServiceIpcClient.h"
#include "agent/StartupDiagnostics.h"
#include "platform/CurrentThread.h"
#include "platform/InputDesktop.h"
#include "platform/InstancePaths.h"
#include "shared/Logging.h"

namespace veltrix {
namespace {

constexpr int kConnectAttempts = 10;
constexpr auto kConnectRetryWait = std::chrono::milliseconds(500);

// The argument after the first "--log-level", in lower case: debug, info, warning or error;
// anything else (or nothing) is info.
spdlog::level::level_enum logLevelFromArguments(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) != "--log-level") continue;
        if (i + 1 >= argc) break;
        const QString value = QString::fromLocal8Bit(argv[i + 1]).toLower();
        if (value == "debug") return spdlog::level::debug;
        if (value == "warning") return spdlog::level::warn;
        if (value == "error") return spdlog::level::err;
        break;
    }
    return spdlog::level::info;
}

std::filesystem::path logFolder() {
    const std::filesystem::path common = platform::paths::commonDataDir();
    if (!common.empty()) return common / "Veltrix";
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation).toStdString();
}

}  // namespace

int runHeadless(int argc, char* argv[]) {
    // The main thread works on the desktop that receives input (the secure one when it shows).
    auto desktop = platform::desktops::openInputDesktop();
    if (!desktop) desktop = platform::desktops::openDesktop(platform::desktops::kSecureDesktop);
    if (desktop) platform::desktops::setThreadDesktop(*desktop);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("VeltrixClient");
    QCoreApplication::setOrganizationName("Veltrix");
    QCoreApplication::setApplicationVersion("1.301");

    const std::filesystem::path folder = logFolder();
    platform::paths::ensureDirectory(folder);
    logging::initialize(logging::TruncatedFile{folder / "headless.log"});
    spdlog::default_logger()->flush_on(spdlog::level::debug);
    logging::setLevel(logLevelFromArguments(argc, argv));

    spdlog::info("Veltrix Client starting in HEADLESS mode (main tid={})", platform::currentThreadId());
    logStartupDiagnostics("headless");

    ServiceIpcClient client;
    for (int attempt = 1; attempt <= kConnectAttempts; ++attempt) {
        if (client.connectToService()) {
            spdlog::info("Headless: connected to VeltrixService via IPC");
            return app.exec();
        }
        spdlog::info("Headless: waiting for service pipe (attempt {}/{})...", attempt, kConnectAttempts);
        std::this_thread::sleep_for(kConnectRetryWait);
    }
    spdlog::error("Headless: failed to connect to VeltrixService pipe");
    return 1;
}

}  // namespace veltrix
