#include "service/ServiceHandoffHost.h"

#include <QCoreApplication>
#include <QThread>

#include "core/SettingsController.h"
#include "service/ServiceHost.h"
#include "service/ServiceIpcServer.h"
#include "service/SystemAgentPlatform.h"

namespace veltrix::service {

void ServiceHandoffHost::setSessionHooks(SessionHooks hooks) {
    std::lock_guard lock(hooksMutex_);
    hooks_ = std::move(hooks);
}

bool ServiceHandoffHost::hasPipeServer() { return ServiceHost::instance().ipcServer.load() != nullptr; }

bool ServiceHandoffHost::hasSessionManager() {
    std::lock_guard lock(hooksMutex_);
    return ServiceHost::instance().sessionManager.load() != nullptr && hooks_.state && hooks_.role && hooks_.endSession;
}

bool ServiceHandoffHost::hasSettings() { return ServiceHost::instance().settings.load() != nullptr; }

bool ServiceHandoffHost::post(std::function<void()> work) { return ServiceHost::instance().postToQtThread(std::move(work)); }

void ServiceHandoffHost::beginAgentHandoff() {
    if (auto* server = ServiceHost::instance().ipcServer.load()) server->beginAgentHandoff();
}

bool ServiceHandoffHost::isAgentHandoffInProgress() {
    auto* server = ServiceHost::instance().ipcServer.load();
    return server && server->isAgentHandoffInProgress();
}

void ServiceHandoffHost::clearAgentHandoff() {
    if (auto* server = ServiceHost::instance().ipcServer.load()) server->clearAgentHandoff();
}

bool ServiceHandoffHost::isAgentConnected() {
    auto* server = ServiceHost::instance().ipcServer.load();
    return server && server->isAgentConnected();
}

SessionState ServiceHandoffHost::sessionState() {
    std::lock_guard lock(hooksMutex_);
    return hooks_.state ? hooks_.state() : SessionState::Idle;
}

SessionRole ServiceHandoffHost::sessionRole() {
    std::lock_guard lock(hooksMutex_);
    return hooks_.role ? hooks_.role() : SessionRole::None;
}

void ServiceHandoffHost::endSession(const QString& reason) {
    std::function<void(const QString&)> end;
    {
        std::lock_guard lock(hooksMutex_);
        end = hooks_.endSession;
    }
    if (end) end(reason);
}

bool ServiceHandoffHost::unattendedAccessEnabled() {
    auto* settings = ServiceHost::instance().settings.load();
    return settings && settings->unattendedAccessEnabled();
}

ServiceHandoffHost& serviceHandoffHost() {
    static ServiceHandoffHost host;
    return host;
}

AgentHandoffs& systemAgentHandoffs() {
    static AgentHandoffs* handoffs = [] {
        auto* created = new AgentHandoffs(serviceHandoffHost(), systemAgentSupervisor(), AgentHandoffs::Timing{});
        // Its timers run on the Qt thread, whichever thread asked first.
        if (auto* app = QCoreApplication::instance()) created->moveToThread(app->thread());
        return created;
    }();
    return *handoffs;
}

}  // namespace veltrix::service
