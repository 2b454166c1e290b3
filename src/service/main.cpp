// VeltrixService: the service program. "--install" registers it with the service manager,
// "--uninstall" removes it; without either it runs as the service when the service manager
// started it, and in console mode otherwise.
#include <QCoreApplication>
#include <QObject>

#include <cstdint>
#include <cstring>
#include <optional>
#include <spdlog/spdlog.h>

#include "platform/ControlSignals.h"
#include "platform/CrashHandler.h"
#include "platform/ServiceManager.h"
#include "platform/SessionEvents.h"
#include "platform/TerminalSessions.h"
#include "core/SessionManager.h"
#include "service/CrashFilter.h"
#include "service/ServiceHandoffHost.h"
#include "service/SystemAgentPlatform.h"
#include "transport/SignalingClient.h"
#include "service/ServiceHost.h"
#include "service/ServiceIdentity.h"
#include "service/ServiceInstaller.h"
#include "service/ServiceIpcServer.h"
#include "service/ServiceLogging.h"
#include "service/ServiceObjects.h"
#include "shared/Logging.h"

namespace {

using namespace veltrix;
using service::ServiceHost;
namespace sm = platform::service;
namespace sessions = platform::sessions;

constexpr std::uint32_t kStartPendingWaitHintMs = 10000;

void setApplicationIdentity(bool withVersion) {
    QCoreApplication::setApplicationName(service::kServiceName);
    QCoreApplication::setOrganizationName(service::kOrganizationName);
    if (withVersion) QCoreApplication::setApplicationVersion(service::kServiceVersion);
}

// The first active user session with a real id, if any; only that one gets an agent at start.
std::optional<std::uint32_t> firstActiveUserSession() {
    for (const auto& session : sessions::enumerate()) {
        if (session.state == sessions::ConnectState::Active && session.id != 0) return session.id;
    }
    return std::nullopt;
}

void launchFirstAgent() {
    const auto sessionId = firstActiveUserSession();
    if (!sessionId) return;
    if (service::systemAgentSupervisor().platform().clientMutexExists()) {
        spdlog::info("ServiceMain startup: agent already running, skipping enumeration-time launch");
        return;
    }
    spdlog::info("ServiceMain startup: launching agent in active session {}", *sessionId);
    service::launchAgentInUserSession(*sessionId);
}

// Service mode: the hand-offs read the session manager's state and role and end its session
// (a replacement agent that never connects ends it with "agent_disconnected"); the pipe server's
// agent events are followed.
void connectHandoffsAndAgentEvents(ServiceObjects& objects) {
    SessionManager* sessionManager = objects.sessionManager();
    if (sessionManager) {
        service::serviceHandoffHost().setSessionHooks(
            {[sessionManager] { return sessionManager->state(); }, [sessionManager] { return sessionManager->role(); },
             [sessionManager](const QString& reason) { sessionManager->endSession(reason); }});
    }
    ServiceIpcServer* ipcServer = objects.ipcServer();
    // The agents this service launches act for the sessions it launched them into, and only they
    // report desktop changes.
    ipcServer->setLaunchedAgentLookup([](pid_t pid) { return service::systemAgentSupervisor().launchedAgentOf(pid); });
    // The slot gets the session manager itself, not the host's published pointer, which
    // shutdown clears before it stops the pipe server.
    QObject::connect(ipcServer, &ServiceIpcServer::agentDisconnected, ipcServer,
                     [sessionManager] { service::onAgentDisconnected(sessionManager); });
    QObject::connect(ipcServer, &ServiceIpcServer::desktopChanged, ipcServer, &service::onAgentDesktopChanged);
}

void serviceMain() {
    ServiceHost& host = ServiceHost::instance();
    platform::crash::installCrashHandler(&service::crashFilter);

    const sm::StatusHandle handle =
        sm::registerServiceControlHandler(service::kServiceName, &service::serviceControlHandler, nullptr);
    if (handle == 0) return;
    host.status().setHandle(handle);
    host.status().reportStartPending(kStartPendingWaitHintMs);

    service::setupLogging();
    spdlog::info("VeltrixService v{} starting...", service::kServiceVersion);
    service::cleanupOldLogs(service::logFolder());

    // The service's command line is not the program's: one argument, the service's name.
    static char programName[] = "VeltrixService";
    static char* arguments[] = {programName, nullptr};
    static int argumentCount = 1;
    auto* app = new QCoreApplication(argumentCount, arguments);
    setApplicationIdentity(true);
    host.publishApplication(app);

    auto* sessionNotifier = new sessions::SessionNotifier;
    QObject::connect(sessionNotifier, &sessions::SessionNotifier::sessionChanged, sessionNotifier,
                     &service::onSessionNotification);
    platform::SystemError notifyError;
    if (!sessionNotifier->start(notifyError)) {
        spdlog::warn("WTSRegisterSessionNotification failed (error {})", notifyError.text());
    }

    auto* objects = new ServiceObjects(ServiceObjects::Mode::Service);
    objects->buildSettingsController();
    host.settings.store(objects->settings());
    objects->buildApiClient();
    objects->buildSignalingClient();
    objects->buildHeartbeatService();
    objects->buildAuthController();
    objects->buildSessionManager();
    objects->buildSessionAdmission(service::systemAgentSupervisor());
    objects->wireSessionPasswords();
    host.sessionManager.store(objects->sessionManager());
    objects->applyClipboardSetting();
    objects->wireRelayCandidates();
    objects->buildIpcServer();
    host.ipcServer.store(objects->ipcServer());
    connectHandoffsAndAgentEvents(*objects);

    launchFirstAgent();

    host.status().reportRunning();
    spdlog::info("VeltrixService is running");
    objects->startAuthentication();

    app->exec();

    spdlog::info("VeltrixService shutting down...");
    service::releaseAgentsAtShutdown();
    host.clearObjectPointers();
    // Emits agentDisconnected when an agent is connected outside a hand-off, so a running
    // session ends before anything is destroyed.
    objects->ipcServer()->stop();
    objects->logout();
    delete sessionNotifier;
    // The hand-offs must not reach the session manager once it is gone.
    service::serviceHandoffHost().setSessionHooks({});
    host.withdrawApplication();
    host.status().reportStopped();
    spdlog::info("VeltrixService stopped");

    delete objects;
    delete app;
    veltrix::logging::flush();
}

int runConsoleMode(int argc, char* argv[]) {
    service::setupLogging();
    spdlog::info("Not running as service — starting in console mode");
    QCoreApplication app(argc, argv);
    setApplicationIdentity(false);

    // Ctrl+C or a stop signal ends the event loop, so the objects are torn down in order.
    platform::control::TerminationNotifier termination;
    QObject::connect(&termination, &platform::control::TerminationNotifier::terminationRequested, &app,
                     [](int signalNumber) {
                         spdlog::info("Console mode: stop requested (signal {})", signalNumber);
                         QCoreApplication::quit();
                     });

    int code = 0;
    {
        ServiceObjects objects(ServiceObjects::Mode::Console);
        objects.buildSettingsController();
        objects.buildApiClient();
        objects.buildSignalingClient();
        objects.buildHeartbeatService();
        objects.buildAuthController();
        objects.buildSessionManager();
        objects.buildSessionAdmission(service::systemAgentSupervisor());
        objects.wireSessionPasswords();
        objects.applyClipboardSetting();
        objects.buildIpcServer();
        objects.startAuthentication();
        code = app.exec();
    }
    veltrix::logging::flush();
    return code;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Stop and shutdown are read from a descriptor, never delivered asynchronously: block them
    // before any thread (the logger's, Qt's) exists.
    platform::control::blockControlSignals();

    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--install") == 0) return service::installService() ? 0 : 1;
        if (std::strcmp(argv[i], "--uninstall") == 0) return service::uninstallService() ? 0 : 1;
    }

    const std::uint32_t result = sm::startServiceDispatcher(service::kServiceName, &serviceMain);
    if (result == 0) return 0;
    if (result == sm::kErrorFailedServiceControllerConnect) return runConsoleMode(argc, argv);
    return 1;
}
