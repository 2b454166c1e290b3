#include "gui/ClientEntry.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLocale>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTranslator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <spdlog/spdlog.h>

#include "agent/ServiceIpcClient.h"
#include "agent/StartupDiagnostics.h"
#include "core/SettingsController.h"
#include "gui/ButtonCursorFilter.h"
#include "gui/ClientIcon.h"
#include "gui/ClientStyleSheet.h"
#include "gui/ClientVersion.h"
#include "gui/ConnectionDialog.h"
#include "gui/MainWindow.h"
#include "gui/SynthesizedInputFilter.h"
#include "gui/UpdateService.h"
#include "platform/CurrentThread.h"
#include "platform/InstancePaths.h"
#include "platform/LogonTask.h"
#include "platform/NamedMutex.h"
#include "platform/ProcessInfo.h"
#include "platform/ServiceControl.h"
#include "platform/ServiceManager.h"
#include "shared/Logging.h"

namespace veltrix {
namespace {

constexpr const char* kClientMutexName = "Global\\VeltrixClientMutex";
constexpr const char* kServiceName = "VeltrixService";
constexpr int kServicePollIntervalMs = 100;
constexpr int kServicePollCount = 30;
constexpr int kPipeAttempts = 5;
constexpr int kPipeRetryDelayMs = 500;
// How long a client waits for the service to make its lock folder (a session that has just
// begun), looking every 100 ms.
constexpr int kLockFolderWaitMs = 3000;
constexpr int kLockFolderPollMs = 100;

std::filesystem::path clientLogPath() {
    return platform::paths::userDataDir() / "VeltrixClient" / "VeltrixClient.log";
}

// Only the four levels the command line knows; anything else is info.
spdlog::level::level_enum levelFromArgument(const QString& argument) {
    const QString name = argument.toLower();
    if (name == QLatin1String("debug")) return spdlog::level::debug;
    if (name == QLatin1String("warning")) return spdlog::level::warn;
    if (name == QLatin1String("error")) return spdlog::level::err;
    return spdlog::level::info;
}

void installTranslation(QApplication& app, QTranslator& translator, SettingsController& settings) {
    QString language = settings.language();
    if (language.isEmpty()) language = QLocale::system().name().left(2);
    const QString folder = QCoreApplication::applicationDirPath() + QStringLiteral("/translations");
    if (translator.load(QStringLiteral("veltrix_") + language, folder)) {
        app.installTranslator(&translator);
        spdlog::info("Loaded translation: {}", language.toStdString());
    } else if (language != QLatin1String("en")) {
        spdlog::info("No translation found for '{}', using English", language.toStdString());
    }
}

// Starts the service when the service manager reports it neither running nor starting; a
// service that cannot be opened or queried is left alone.
void ensureServiceRunning() {
    namespace control = platform::servicecontrol;
    const auto state = control::queryState(kServiceName);
    if (!state || *state == platform::service::kRunning || *state == platform::service::kStartPending) return;
    spdlog::info("VeltrixService is not running, attempting to start it");
    int exitCode = 0;
    if (!control::startService(kServiceName, exitCode)) {
        spdlog::warn("Failed to start VeltrixService: error {}", exitCode);
        return;
    }
    // At most 30 polls 100 ms apart, and never longer than those 3 s in all, even when the
    // control program itself is slow to answer.
    QElapsedTimer polling;
    polling.start();
    for (int poll = 0; poll < kServicePollCount && polling.elapsed() < kServicePollCount * kServicePollIntervalMs;
         ++poll) {
        const auto now = control::queryState(kServiceName);
        if (now && *now == platform::service::kRunning) {
            spdlog::info("VeltrixService started successfully");
            return;
        }
        QThread::msleep(kServicePollIntervalMs);
    }
    spdlog::warn("VeltrixService was started but did not report running within {} ms",
                 kServicePollCount * kServicePollIntervalMs);
}

// Takes the single-instance mutex. A folder the service has not made yet (the user's session has
// just begun) is waited for a moment; any other failure is final.
bool acquireInstanceMutex(platform::NamedMutex& mutex, platform::SystemError& error) {
    QElapsedTimer waiting;
    waiting.start();
    for (;;) {
        if (mutex.acquire(kClientMutexName, error)) return true;
        if (error.code != ENOENT || waiting.elapsed() >= kLockFolderWaitMs) return false;
        QThread::msleep(kLockFolderPollMs);
    }
}

bool connectToServicePipe(ServiceIpcClient& client) {
    for (int attempt = 1; attempt <= kPipeAttempts; ++attempt) {
        if (client.connectToService()) return true;
        spdlog::info("Waiting for service pipe (attempt {}/{})...", attempt, kPipeAttempts);
        QThread::msleep(kPipeRetryDelayMs);
    }
    return false;
}

}  // namespace

ClientOptions parseClientOptions(const QStringList& arguments) {
    ClientOptions options;
    bool levelSeen = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--install")) options.install = true;
        if (argument == QLatin1String("--uninstall")) options.uninstall = true;
        if (argument == QLatin1String("--minimized")) options.minimized = true;
        if (argument == QLatin1String("--log-level") && !levelSeen) {
            levelSeen = true;
            if (i + 1 < arguments.size()) options.logLevel = levelFromArgument(arguments[i + 1]);
        }
    }
    return options;
}

bool wantsHeadless(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--headless") == 0) return true;
    return false;
}

int runTaskInstallation(const ClientOptions& options) {
    platform::SystemError error;
    if (options.install) {
        const auto program = platform::process::ownProgramPath();
        if (program.empty() || !platform::logon::createTask(program, error)) {
            std::fprintf(stderr, "Cannot create the log-on task %s: %s\n", platform::logon::entryPath().c_str(),
                         error.text().c_str());
            return 1;
        }
        std::fprintf(stderr, "Log-on task created: %s\n", platform::logon::entryPath().c_str());
        return 0;
    }
    if (!platform::logon::deleteTask(error)) {
        std::fprintf(stderr, "Cannot delete the log-on task %s: %s\n", platform::logon::entryPath().c_str(),
                     error.text().c_str());
        return 1;
    }
    std::fprintf(stderr, "Log-on task deleted: %s\n", platform::logon::entryPath().c_str());
    return 0;
}

int runClientGui(int argc, char** argv, const ClientOptions& options) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VeltrixClient"));
    QApplication::setOrganizationName(QStringLiteral("Veltrix"));
    QApplication::setApplicationVersion(QString::fromLatin1(kClientVersion));

    // One client per user; a second one leaves without a word (and without touching the log).
    // A mutex that cannot be taken at all is an error: the client would otherwise vanish unseen.
    platform::NamedMutex instanceMutex;
    platform::SystemError mutexError;
    if (!acquireInstanceMutex(instanceMutex, mutexError)) {
        if (mutexError.code == EWOULDBLOCK) return 0;
        const std::string lockPath = instanceMutex.lockPath().string();
        std::fprintf(stderr, "VeltrixClient: cannot take the single-instance lock %s: %s\n", lockPath.c_str(),
                     mutexError.text().c_str());
        logging::initialize(logging::TruncatedFile{clientLogPath()});
        spdlog::error("VeltrixClient: cannot take the single-instance lock {}: {}", lockPath, mutexError.text());
        logging::flush();
        return 1;
    }

    logging::initialize(logging::TruncatedFile{clientLogPath()});
    spdlog::flush_on(spdlog::level::debug);
    logging::setLevel(options.logLevel);
    logStartupDiagnostics("gui");

    auto* cursorFilter = new ButtonCursorFilter(&app);
    app.installEventFilter(cursorFilter);
    app.setStyleSheet(clientStyleSheet());
    QApplication::setWindowIcon(clientIcon());
    // The account dialog is known to the meta-object system, though nothing in the client opens it.
    qRegisterMetaType<ConnectionDialog*>();

    SettingsController settings;
    QTranslator translator;
    installTranslation(app, translator, settings);

    ensureServiceRunning();
    spdlog::info("Veltrix Client starting... (main tid={})", platform::currentThreadId());

    ServiceIpcClient ipcClient;
    if (!connectToServicePipe(ipcClient)) {
        spdlog::error("Failed to connect to VeltrixService pipe");
        QMessageBox::critical(nullptr, QObject::tr("Veltrix"),
                              QObject::tr("Cannot connect to VeltrixService.\nPlease check that the service is running."),
                              QMessageBox::Ok);
        return 1;
    }
    spdlog::info("Connected to VeltrixService via IPC");
    MainWindow window(&ipcClient, &settings);
    UpdateService updateService;
    QObject::connect(&updateService, &UpdateService::updateAvailable, &window,
                     [&window](const QString& version, const QString& url) { window.onUpdateAvailable(version, url); });
    QObject::connect(&updateService, &UpdateService::readyToInstall, &window, &MainWindow::onReadyToInstall);
    // Without this the window's "Update Now", its pending download and the tray's check find no service.
    window.setUpdateService(&updateService);
    // Keeps the partner's injected clicks on this client's window frames from closing the window.
    // A child of the application that still goes before the window whose session it reads.
    SynthesizedInputFilter inputFilter(&window, [&window] { return window.isSessionActive(); }, &app);
    app.installNativeEventFilter(&inputFilter);
    // Hidden only where a tray icon can bring it back: without a tray host nothing could.
    if (!options.minimized) {
        window.show();
    } else if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        spdlog::info("Started minimized, but no tray is available: showing the window");
        window.show();
    }
    if (settings.autoUpdateOnStartup())
        updateService.checkForUpdates();
    else
        spdlog::info("Auto-update on startup is disabled — skipping update check");
    const int result = app.exec();
    logging::flush();
    return result;
}

}  // namespace veltrix
