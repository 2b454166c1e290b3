#include "platform/TerminalSessions.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <charconv>
#include <fstream>
#include <iterator>

#include "platform/InstancePaths.h"

namespace veltrix::platform::sessions {
namespace {

ConnectState stateFromText(const QString& text) {
    if (text == QLatin1String("active")) return ConnectState::Active;
    if (text == QLatin1String("connected")) return ConnectState::Connected;
    return ConnectState::Disconnected;
}

// An environment larger than this is not searched to its end: what lies beyond names no session.
constexpr std::size_t kMaxEnvironmentRead = 1 << 20;

std::optional<std::uint32_t> sessionFromEnvironment(pid_t pid) {
    std::ifstream environ("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    if (!environ) return std::nullopt;
    std::string all(kMaxEnvironmentRead, '\0');
    environ.read(all.data(), static_cast<std::streamsize>(all.size()));
    all.resize(static_cast<std::size_t>(environ.gcount()));
    const std::string prefix = std::string(kSessionVariable) + "=";
    for (std::size_t start = 0; start < all.size();) {
        const std::size_t end = all.find('\0', start);
        const std::string_view entry(all.data() + start, (end == std::string::npos ? all.size() : end) - start);
        if (entry.substr(0, prefix.size()) == prefix) {
            std::uint32_t id = 0;
            const auto value = entry.substr(prefix.size());
            const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), id);
            if (ec == std::errc() && ptr == value.data() + value.size()) return id;
            return std::nullopt;
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace

std::string sessionsFilePath() { return (paths::runDir() / "sessions.json").string(); }

std::vector<TerminalSession> enumerate() {
    QFile file(QString::fromStdString(sessionsFilePath()));
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QJsonArray list = QJsonDocument::fromJson(file.readAll()).object().value("sessions").toArray();
    std::vector<TerminalSession> result;
    for (const QJsonValue& value : list) {
        const QJsonObject o = value.toObject();
        const double id = o.value("id").toDouble(-1);
        const double uid = o.value("uid").toDouble(-1);
        if (id < 0 || id >= kNoSession || uid < 0 || uid > 0xFFFFFFFE) continue;
        TerminalSession s;
        s.id = static_cast<std::uint32_t>(id);
        s.uid = static_cast<uid_t>(uid);
        s.userName = o.value("user").toString().toStdString();
        s.state = stateFromText(o.value("state").toString());
        s.console = o.value("console").toBool(false);
        s.display = o.value("display").toString().toStdString();
        s.xauthority = o.value("xauthority").toString().toStdString();
        result.push_back(std::move(s));
    }
    return result;
}

std::uint32_t activeConsoleSessionId() {
    // The session attached to the machine's screen: a user's, or the log-on screen's
    // ("connected", nobody logged on yet), which the headless agent serves.
    std::uint32_t waiting = kNoSession;
    for (const auto& s : enumerate()) {
        if (!s.console) continue;
        if (s.state == ConnectState::Active) return s.id;
        if (s.state == ConnectState::Connected && waiting == kNoSession) waiting = s.id;
    }
    return waiting;
}

std::optional<TerminalSession> find(std::uint32_t sessionId) {
    for (auto& s : enumerate()) {
        if (s.id == sessionId) return s;
    }
    return std::nullopt;
}

std::uint32_t sessionOfUser(uid_t uid) {
    std::optional<std::uint32_t> first;
    for (const auto& s : enumerate()) {
        if (s.uid != uid) continue;
        if (s.state == ConnectState::Active) return s.id;
        if (!first) first = s.id;
    }
    return first.value_or(0);
}

std::optional<std::uint32_t> claimedSession(pid_t pid) { return sessionFromEnvironment(pid); }

}  // namespace veltrix::platform::sessions
