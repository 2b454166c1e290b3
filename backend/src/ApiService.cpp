#include "ApiService.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QStringDecoder>

#include <spdlog/spdlog.h>

#include "BackendState.h"
#include "SignalingHub.h"

namespace veltrix::backend {
namespace {

using json = nlohmann::json;

constexpr int kMaxTextMember = 4096;
constexpr int kMaxKeyMember = 16384;
// A device that sent a heartbeat within this time counts as online even without signaling.
constexpr qint64 kOnlineWindowSeconds = 90;

HttpResponse reply(int status, const json& body) {
    return {status, "application/json", QByteArray::fromStdString(body.dump())};
}

HttpResponse fail(int status, const std::string& detail) { return reply(status, {{"detail", detail}}); }

// A member that must be a string when present; `error` names the member otherwise.
bool readText(const json& body, const char* key, QString& out, std::string& error, int limit = kMaxTextMember) {
    const auto it = body.find(key);
    if (it == body.end() || it->is_null()) return true;
    if (!it->is_string() || it->get_ref<const std::string&>().size() > size_t(limit)) {
        error = std::string(key) + " must be a string of at most " + std::to_string(limit) + " bytes";
        return false;
    }
    out = QString::fromStdString(it->get<std::string>());
    return true;
}

json companyName(const BackendState& state, const QString& clientId) {
    const auto& company = state.company();
    if (company.enabled() && company.includes(clientId)) return company.name.toStdString();
    return nullptr;
}

bool isValidUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    [[maybe_unused]] const QString decoded = decoder.decode(bytes);
    return !decoder.hasError();
}

QString isoTime(const QDateTime& time) {
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

}  // namespace

ApiService::ApiService(BackendState& state, SignalingHub& signaling) : state_(state), signaling_(signaling) {}

HttpResponse ApiService::handle(const HttpRequest& request) {
    json body = json::object();
    const char* refusal = nullptr;
    if ((request.method == "POST" || request.method == "PATCH") && !request.body.isEmpty()) {
        if (!isValidUtf8(request.body)) {
            refusal = "Request body is not valid UTF-8";
        } else {
            body = json::parse(request.body.begin(), request.body.end(), nullptr, false);
            if (body.is_discarded()) {
                refusal = "Request body is not valid JSON";
            } else if (!body.is_object()) {
                refusal = "Request body must be a JSON object";
            }
        }
    }
    HttpResponse response = refusal ? fail(400, refusal) : route(request, body);
    spdlog::info("API: {} {} -> {}", request.method.toStdString(), request.path.toStdString(), response.status);
    return response;
}

HttpResponse ApiService::route(const HttpRequest& request, const json& body) {
    const QString& path = request.path;
    const QByteArray& method = request.method;

    if (path == u"/auth/auto-register") return method == "POST" ? autoRegister(body) : fail(405, "Method not allowed");
    if (path == u"/auth/auto-login") return method == "POST" ? autoLogin(body) : fail(405, "Method not allowed");

    static const QRegularExpression sessionPath(QStringLiteral("^/sessions/([^/]+)/(handshake-ack|complete|close)$"));
    const bool known = path == u"/sessions/create" || path == u"/clients/heartbeat" ||
                       path == u"/clients/company-clients" || path == u"/nat/relay-candidates" ||
                       sessionPath.match(path).hasMatch();
    if (!known) return fail(404, "Not found");

    // Everything outside /auth/ needs a live bearer token.
    const QByteArray authorization = request.header("authorization");
    const QString token = authorization.startsWith("Bearer ") ? QString::fromLatin1(authorization.mid(7).trimmed()) : QString();
    QString caller;
    switch (state_.checkToken(token, &caller)) {
        case BackendState::TokenCheck::Valid: break;
        case BackendState::TokenCheck::Missing: return fail(401, "Not authenticated");
        case BackendState::TokenCheck::Unknown: return fail(401, "Invalid token");
        case BackendState::TokenCheck::Expired: return fail(401, "Token expired");
    }

    if (path == u"/sessions/create") return method == "POST" ? createSession(caller, body) : fail(405, "Method not allowed");
    if (path == u"/clients/heartbeat") return method == "POST" ? heartbeat(caller, request, body) : fail(405, "Method not allowed");
    if (path == u"/clients/company-clients") return method == "GET" ? companyClients(caller) : fail(405, "Method not allowed");
    if (path == u"/nat/relay-candidates") return method == "GET" ? reply(200, relayCandidates()) : fail(405, "Method not allowed");

    const auto match = sessionPath.match(path);
    const QString sessionId = match.captured(1);
    const QString action = match.captured(2);
    if (action == u"handshake-ack") return method == "POST" ? handshakeAck(caller, sessionId, body) : fail(405, "Method not allowed");
    if (action == u"complete") return method == "PATCH" ? completeSession(caller, sessionId, body) : fail(405, "Method not allowed");
    return method == "PATCH" ? closeSession(caller, sessionId, body) : fail(405, "Method not allowed");
}

HttpResponse ApiService::autoRegister(const json& body) {
    QString name, version, fingerprint, secret;
    std::string error;
    if (!readText(body, "client_name", name, error) || !readText(body, "agent_version", version, error) ||
        !readText(body, "machine_fingerprint", fingerprint, error) || !readText(body, "device_secret", secret, error)) {
        return fail(422, error);
    }
    const auto [clientId, deviceSecret] = state_.registerDevice(name, version, fingerprint, secret);
    spdlog::info("API: registered device {} ({})", clientId.toStdString(), name.toStdString());
    return reply(200, {{"client_id", clientId.toStdString()},
                       {"device_secret", deviceSecret.toStdString()},
                       {"token", state_.issueToken(clientId).toStdString()},
                       {"company_name", companyName(state_, clientId)}});
}

HttpResponse ApiService::autoLogin(const json& body) {
    QString clientId, secret, name;
    std::string error;
    if (!readText(body, "client_id", clientId, error) || !readText(body, "device_secret", secret, error) ||
        !readText(body, "client_name", name, error)) {
        return fail(422, error);
    }
    switch (state_.checkCredentials(clientId, secret)) {
        case BackendState::LoginResult::InvalidClientId: return fail(401, "Invalid client_id");
        case BackendState::LoginResult::ClientNotFound: return fail(401, "Client not found");
        case BackendState::LoginResult::InvalidCredentials: return fail(401, "Invalid device credentials");
        case BackendState::LoginResult::Ok: break;
    }
    ClientRecord* record = state_.client(clientId);
    if (!name.isEmpty() && record->clientName != name) {
        record->clientName = name;
        state_.clientChanged();
    }
    return reply(200, {{"client_id", clientId.toStdString()},
                       {"token", state_.issueToken(clientId).toStdString()},
                       {"company_name", companyName(state_, clientId)}});
}

HttpResponse ApiService::createSession(const QString& caller, const json& body) {
    QString master, target, password, purpose, ecdh, spake2;
    std::string error;
    if (!readText(body, "master_client_id", master, error) || !readText(body, "target_client_id", target, error) ||
        !readText(body, "session_password", password, error) || !readText(body, "purpose", purpose, error) ||
        !readText(body, "master_ecdh_public_key", ecdh, error, kMaxKeyMember) ||
        !readText(body, "master_spake2_element", spake2, error, kMaxKeyMember)) {
        return fail(422, error);
    }
    if (!master.isEmpty() && master != caller) return fail(403, "master_client_id does not match the token");
    if (!BackendState::isClientId(target)) return fail(422, "target_client_id must be nine digits");
    if (target == caller) return fail(422, "Cannot connect to yourself");
    if (!state_.client(target)) return fail(404, "Target client not found");
    // The session password is proven by the SPAKE2 exchange between the two devices; a request
    // without an element would open a session bound to no password at all, and this backend
    // holds no device's password to check "session_password" against instead.
    if (spake2.isEmpty()) return fail(403, "Password authentication is required");

    SessionRecord& session = state_.createSession(caller, target);
    const QString sessionId = session.sessionId;
    const bool online = signaling_.isOnline(target);
    if (!online) session.state = QStringLiteral("failed");
    spdlog::info("API: session {} from {} to {} ({})", sessionId.toStdString(), caller.toStdString(),
                 target.toStdString(), online ? "target online" : "target offline");

    HttpResponse response = reply(200, {{"session_id", sessionId.toStdString()},
                                        {"relay_token", session.relayToken.toStdString()},
                                        {"master_client_id", caller.toStdString()},
                                        {"target_client_id", target.toStdString()},
                                        {"state", session.state.toStdString()}});
    SignalingHub* hub = &signaling_;
    if (online) {
        const json push = sessionOffer_ == SessionOffer::AutoAccept
                              ? json{{"type", "SESSION_AUTO_ACCEPT"},
                                     {"session_id", sessionId.toStdString()},
                                     {"master_client_id", caller.toStdString()},
                                     {"master_ecdh_public_key", ecdh.toStdString()},
                                     {"relay_token", session.relayToken.toStdString()},
                                     {"master_spake2_element", spake2.toStdString()}}
                              : json{{"type", "SESSION_HANDSHAKE_REQUEST"},
                                     {"session_id", sessionId.toStdString()},
                                     {"master_client_id", caller.toStdString()},
                                     {"purpose", purpose.toStdString()}};
        response.afterWritten = [hub, target, push] {
            if (!hub->push(target, push)) spdlog::warn("API: target {} went offline before its session offer", target.toStdString());
        };
    } else {
        const json push{{"type", "SESSION_FAILED"}, {"session_id", sessionId.toStdString()}, {"reason", "target_unavailable"}};
        response.afterWritten = [hub, caller, push] { hub->push(caller, push); };
    }
    return response;
}

HttpResponse ApiService::handshakeAck(const QString& caller, const QString& sessionId, const json& body) {
    QString target, ecdh, nat, relay, spake2;
    std::string error;
    if (!readText(body, "target_client_id", target, error) ||
        !readText(body, "target_ecdh_public_key", ecdh, error, kMaxKeyMember) ||
        !readText(body, "target_nat_type", nat, error) || !readText(body, "preferred_relay_id", relay, error) ||
        !readText(body, "target_spake2_element", spake2, error, kMaxKeyMember)) {
        return fail(422, error);
    }
    SessionRecord* session = state_.session(sessionId);
    if (!session) return fail(404, "Session not found");
    if (session->targetClientId != caller || (!target.isEmpty() && target != caller)) {
        return fail(403, "Only the session's target can acknowledge it");
    }
    if (session->state == u"closed" || session->state == u"failed") return fail(409, "Session is no longer active");
    session->state = QStringLiteral("accepted");
    const QString master = session->masterClientId;
    // The reply's state must not read as "connected", "closed" or "failed": the target's session
    // manager acts on those.
    HttpResponse response = reply(200, {{"session_id", sessionId.toStdString()}, {"state", "accepted"}});
    const json push{{"type", "SESSION_HANDSHAKE_ACK"},
                    {"session_id", sessionId.toStdString()},
                    {"state", "accepted"},
                    {"target_ecdh_public_key", ecdh.toStdString()},
                    {"target_spake2_element", spake2.toStdString()}};
    SignalingHub* hub = &signaling_;
    response.afterWritten = [hub, master, push] {
        if (!hub->push(master, push)) spdlog::warn("API: master {} is offline, handshake ack dropped", master.toStdString());
    };
    return response;
}

HttpResponse ApiService::completeSession(const QString& caller, const QString& sessionId, const json& body) {
    QString method, relayNode;
    std::string error;
    if (!readText(body, "connection_method", method, error) || !readText(body, "relay_node_id", relayNode, error)) {
        return fail(422, error);
    }
    if (method != u"p2p" && method != u"relay") return fail(422, "connection_method must be \"p2p\" or \"relay\"");
    SessionRecord* session = state_.session(sessionId);
    if (!session) return fail(404, "Session not found");
    if (session->masterClientId != caller && session->targetClientId != caller) return fail(403, "Not a party of this session");
    if (session->state == u"closed" || session->state == u"failed") return fail(409, "Session is no longer active");
    session->state = QStringLiteral("connected");
    session->connectionMethod = method;
    return reply(200, {{"session_id", sessionId.toStdString()}, {"state", "connected"}, {"connection_method", method.toStdString()}});
}

HttpResponse ApiService::closeSession(const QString& caller, const QString& sessionId, const json& body) {
    QString reason;
    std::string error;
    if (!readText(body, "reason", reason, error)) return fail(422, error);
    const auto bytes = body.find("transferred_bytes");
    if (bytes != body.end() && !bytes->is_number_integer()) return fail(422, "transferred_bytes must be an integer");
    SessionRecord* session = state_.session(sessionId);
    if (!session) return fail(404, "Session not found");
    if (session->masterClientId != caller && session->targetClientId != caller) return fail(403, "Not a party of this session");

    const bool wasOpen = session->state != u"closed" && session->state != u"failed";
    const bool declinedByTarget = wasOpen && caller == session->targetClientId && reason == u"unattended_access_disabled";
    if (wasOpen) {
        session->state = QStringLiteral("closed");
        session->closeReason = reason;
    }
    HttpResponse response = reply(200, {{"session_id", sessionId.toStdString()}, {"state", "closed"}});
    if (declinedByTarget) {
        const QString master = session->masterClientId;
        const json push{{"type", "SESSION_FAILED"}, {"session_id", sessionId.toStdString()}, {"reason", "target_unavailable"}};
        SignalingHub* hub = &signaling_;
        response.afterWritten = [hub, master, push] { hub->push(master, push); };
    }
    return response;
}

HttpResponse ApiService::heartbeat(const QString& caller, const HttpRequest&, const json& body) {
    QString clientId, localIp, publicIp, natType, version;
    std::string error;
    if (!readText(body, "client_id", clientId, error) || !readText(body, "local_ip", localIp, error) ||
        !readText(body, "public_ip", publicIp, error) || !readText(body, "nat_type", natType, error) ||
        !readText(body, "agent_version", version, error)) {
        return fail(422, error);
    }
    if (!clientId.isEmpty() && clientId != caller) return fail(403, "client_id does not match the token");
    ClientRecord* record = state_.client(caller);
    if (!record) return fail(404, "Client not found");
    record->localIp = localIp;
    record->publicIp = publicIp;
    record->natType = natType;
    if (!version.isEmpty()) record->agentVersion = version;
    record->lastHeartbeat = state_.now();
    state_.clientChanged();
    return reply(200, {{"status", "ok"}});
}

HttpResponse ApiService::companyClients(const QString& caller) {
    const CompanyConfig& company = state_.company();
    if (!company.enabled() || !company.includes(caller)) return fail(404, "Not part of a company");
    // Listed devices first in their configured order, then the other registered members by ID.
    QStringList ids = company.listedClients;
    if (company.everyDevice) {
        QStringList others;
        for (const auto& record : state_.clients()) {
            if (!ids.contains(record.clientId)) others.append(record.clientId);
        }
        others.sort();
        ids += others;
    }
    const QDateTime now = state_.now();
    json clients = json::array();
    for (const QString& id : ids) {
        if (id == caller) continue;
        const ClientRecord* record = state_.client(id);
        const QDateTime last = record ? record->lastHeartbeat : QDateTime();
        const bool online = signaling_.isOnline(id) || (last.isValid() && last.secsTo(now) <= kOnlineWindowSeconds);
        clients.push_back({{"id", id.toStdString()},
                           {"label", company.labels.value(id).toStdString()},
                           {"client_name", record ? record->clientName.toStdString() : std::string()},
                           {"is_online", online},
                           {"last_heartbeat", isoTime(last).toStdString()}});
    }
    return reply(200, {{"company_name", company.name.toStdString()}, {"clients", clients}});
}

json ApiService::relayCandidates() const {
    json list = json::array();
    for (const RelayOffer& relay : relays_) {
        json entry{{"relay_id", relay.relayId.toStdString()}, {"ip", relay.host.toStdString()}, {"port", relay.port}};
        if (turn_.port > 0) {
            entry["turn_ip"] = turn_.host.toStdString();
            entry["turn_port"] = turn_.port;
            entry["turn_username"] = turn_.username.toStdString();
            entry["turn_password"] = turn_.password.toStdString();
        }
        list.push_back(entry);
    }
    return list;
}

HttpResponse echoAddress(const HttpRequest& request) {
    if (request.path != u"/") return {404, "text/plain", "not found\n"};
    if (request.method != "GET") return {405, "text/plain", "method not allowed\n"};
    bool mapped = false;
    const quint32 v4 = request.peer.toIPv4Address(&mapped);
    const QString text = mapped ? QHostAddress(v4).toString() : request.peer.toString();
    return {200, "text/plain; charset=utf-8", text.toUtf8()};
}

}  // namespace veltrix::backend
