#include "service/SystemAgentPlatform.h"

#include <cerrno>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include "platform/InstancePaths.h"
#include "platform/NamedMutex.h"
#include "platform/ProcessInfo.h"

namespace veltrix::service {
namespace {

namespace sessions = platform::sessions;

void addSessionDisplay(AgentToken& token, const sessions::TerminalSession& session) {
    token.sessionId = session.id;
    token.display = session.display;
    token.xauthority = session.xauthority;
}

}  // namespace

std::string SystemAgentPlatform::agentProgram() {
    return (platform::process::ownProgramPath().parent_path() / "VeltrixClient").string();
}

std::vector<sessions::TerminalSession> SystemAgentPlatform::sessions() { return sessions::enumerate(); }

std::uint32_t SystemAgentPlatform::activeConsoleSession() { return sessions::activeConsoleSessionId(); }

bool SystemAgentPlatform::clientMutexExists() {
    // Each account's client holds its own mutex. Those of root, the service's own account and the
    // users with a terminal session count: they are the ones the pipe admits, and each one's lock
    // lies where only that account can make it.
    std::vector<uid_t> users{0, geteuid()};
    for (const auto& session : sessions::enumerate()) users.push_back(session.uid);
    return platform::NamedMutex::isHeldByAnyOf(kClientMutexName, users);
}

std::optional<AgentToken> SystemAgentPlatform::userToken(std::uint32_t sessionId, int& error) {
    const auto session = sessions::find(sessionId);
    if (!session || session->state != sessions::ConnectState::Active) {
        error = ENOENT;  // no user logged on there
        return std::nullopt;
    }
    AgentToken token;
    token.uid = session->uid;
    token.groups = platform::agents::accountGroups(session->uid, &token.gid);
    if (token.gid == static_cast<gid_t>(-1)) {
        error = ESRCH;  // the session names an account this machine does not have
        return std::nullopt;
    }
    addSessionDisplay(token, *session);
    return token;
}

std::optional<AgentToken> SystemAgentPlatform::linkedToken(const AgentToken& userToken) {
    platform::process::Credentials credentials{userToken.uid, userToken.gid, userToken.groups};
    if (!platform::process::isAdministrator(credentials)) return std::nullopt;
    return userToken;
}

std::optional<AgentToken> SystemAgentPlatform::serviceTokenInSession(std::uint32_t sessionId, int& error) {
    AgentToken token;
    token.uid = geteuid();
    token.gid = getegid();
    const int count = getgroups(0, nullptr);
    if (count < 0) {
        error = errno;
        return std::nullopt;
    }
    token.groups.resize(static_cast<std::size_t>(count));
    if (count > 0 && getgroups(count, token.groups.data()) < 0) {
        error = errno;
        return std::nullopt;
    }
    token.sessionId = sessionId;
    if (const auto session = sessions::find(sessionId)) addSessionDisplay(token, *session);
    return token;
}

ProcessLaunch SystemAgentPlatform::createProcess(const AgentToken& token, AgentKind kind, bool /*withToken*/) {
    platform::agents::LaunchSpec spec;
    spec.program = agentProgram();
    spec.arguments = {kind == AgentKind::Headless ? "--headless" : "--minimized"};
    spec.workingDirectory = platform::process::ownProgramPath().parent_path().string();
    spec.uid = token.uid;
    spec.gid = token.gid;
    spec.groups = token.groups;
    std::vector<std::string> extras{std::string(sessions::kSessionVariable) + "=" + std::to_string(token.sessionId)};
    if (!token.display.empty()) extras.push_back("DISPLAY=" + token.display);
    if (!token.xauthority.empty()) extras.push_back("XAUTHORITY=" + token.xauthority);
    if (const auto root = platform::paths::instanceRoot(); !root.empty()) {
        extras.push_back(std::string(platform::paths::kRootVariable) + "=" + root.string());
    }
    spec.environment = platform::agents::accountEnvironment(token.uid, extras);
    if (kind == AgentKind::UserSession) {
        // The user-session agent is the desktop client: its single-instance lock goes in its
        // user's folder, which must exist before it starts.
        platform::SystemError folderError;
        if (!platform::NamedMutex::prepareUserFolder(token.uid, folderError)) {
            spdlog::warn("SystemAgentPlatform: cannot prepare the lock folder of uid {} (error {})", token.uid,
                         folderError.text());
        }
    }

    ProcessLaunch result;
    platform::SystemError error;
    if (const auto launched = platform::agents::launch(spec, error)) {
        result.ok = true;
        result.process = *launched;
    } else {
        result.lastError = error.code;
    }
    return result;
}

bool SystemAgentPlatform::isRunning(const platform::agents::LaunchedProcess& process) {
    return platform::agents::isRunning(process);
}

void SystemAgentPlatform::terminate(const platform::agents::LaunchedProcess& process, int waitMs) {
    platform::agents::terminate(process, waitMs);
}

AgentSupervisor& systemAgentSupervisor() {
    static AgentSupervisor supervisor(std::make_shared<SystemAgentPlatform>());
    return supervisor;
}

}  // namespace veltrix::service
