#include "core/ApiClient.h"

#include <QNetworkReply>
#include <QNetworkRequest>

#include <spdlog/spdlog.h>

#include "core/AppVersion.h"
#include "platform/TrustedCertificates.h"
#include "shared/JsonFields.h"
#include "shared/Logging.h"

namespace veltrix {
namespace {

using Json = nlohmann::json;

std::string text(const QString& value) { return value.toStdString(); }

QString qtext(const std::string& value) { return QString::fromStdString(value); }

// A string member, or nothing when it is absent or of another kind.
std::optional<QString> stringMember(const Json& body, std::string_view key) {
    const Json* value = json::member(body, key);
    if (!value || !value->is_string()) return std::nullopt;
    return qtext(value->get<std::string>());
}

}  // namespace

ApiClient::ApiClient(const QUrl& baseUrl, QObject* parent)
    : QObject(parent), baseUrl_(baseUrl), tls_(platform::tls::clientConfiguration()) {
    reauthTimer_.setSingleShot(true);
    reauthTimer_.setInterval(kDefaultReauthTimeoutMs);
    connect(&reauthTimer_, &QTimer::timeout, this, &ApiClient::onReauthTimeout);
}

// Parked requests are dropped without being called: their owners go away with the service.
ApiClient::~ApiClient() = default;

void ApiClient::setBaseUrl(const QUrl& url) { baseUrl_ = url; }

void ApiClient::setReauthTimeout(int milliseconds) { reauthTimer_.setInterval(milliseconds); }

// --- bodies and replies ---------------------------------------------------------------------------

QByteArray ApiClient::requestBody(const QList<Member>& members, const Json& extra) {
    Json body = extra.is_object() ? extra : Json::object();
    for (const Member& member : members) {
        if (member.value.isEmpty() && !member.always) continue;
        body[member.key] = text(member.value);
    }
    // nlohmann's object keeps its members sorted by key.
    return QByteArray::fromStdString(json::toText(body));
}

Json ApiClient::parseBody(const QByteArray& body) {
    if (body.isEmpty()) return nullptr;
    Json parsed;
    if (!json::parse(std::string_view(body.constData(), static_cast<std::size_t>(body.size())), parsed)) return nullptr;
    return parsed;
}

QString ApiClient::detailOr(const Json& body, const QString& fallback) {
    return stringMember(body, "detail").value_or(fallback);
}

std::optional<ApiClient::Identity> ApiClient::readIdentity(const Json& body, bool withDeviceSecret) {
    Identity identity;
    const auto clientId = stringMember(body, "client_id");
    const auto token = stringMember(body, "token");
    if (!clientId || clientId->isEmpty() || !token || token->isEmpty()) return std::nullopt;
    identity.clientId = *clientId;
    identity.token = *token;
    if (withDeviceSecret) {
        const auto secret = stringMember(body, "device_secret");
        if (!secret || secret->isEmpty()) return std::nullopt;
        identity.deviceSecret = *secret;
    }
    identity.companyName = stringMember(body, "company_name").value_or(QString());
    return identity;
}

// --- requests -------------------------------------------------------------------------------------

void ApiClient::autoLogin(const QString& clientId, const QString& deviceSecret, const QString& clientName) {
    const QByteArray body = requestBody({{"client_id", clientId, true}, {"device_secret", deviceSecret, true},
                                         {"client_name", clientName}});
    send(Method::Post, QStringLiteral("/auth/auto-login"), body, false, [this](int status, const Json& reply) {
        const auto identity = status == 200 ? readIdentity(reply, false) : std::nullopt;
        if (!identity) {
            const QString detail = detailOr(reply, QStringLiteral("Auto-login failed"));
            spdlog::warn("Auto-login failed: {}", logging::peerText(detail));
            emit authError(detail);
            return;
        }
        spdlog::info("Auto-login successful for client {}", logging::peerText(identity->clientId));
        adoptToken(identity->clientId, identity->token);
        emit authSuccess(identity->clientId, identity->token, identity->companyName);
    });
}

void ApiClient::autoRegister(const QString& clientName, const QString& agentVersion,
                             const QString& machineFingerprint, const QString& deviceSecret) {
    const QByteArray body = requestBody({{"client_name", clientName},
                                         {"agent_version", agentVersion},
                                         {"machine_fingerprint", machineFingerprint},
                                         {"device_secret", deviceSecret}});
    send(Method::Post, QStringLiteral("/auth/auto-register"), body, false, [this](int status, const Json& reply) {
        const auto identity = status == 200 ? readIdentity(reply, true) : std::nullopt;
        if (!identity) {
            const QString detail = detailOr(reply, QStringLiteral("Auto-registration failed"));
            spdlog::warn("Auto-register failed: {}", logging::peerText(detail));
            emit authError(detail);
            return;
        }
        spdlog::info("Auto-registered as client {}", logging::peerText(identity->clientId));
        adoptToken(identity->clientId, identity->token);
        emit autoRegisterSuccess(identity->clientId, identity->deviceSecret, identity->token, identity->companyName);
    });
}

ApiClient::Completion ApiClient::sessionCompletion(const QString& endpoint, const QString& fallback, bool created) {
    return [this, endpoint, fallback, created](int status, const Json& reply) {
        if (status != 200) {
            emit requestError(endpoint, status, detailOr(reply, fallback));
        } else if (created) {
            emit sessionCreated(reply);
        } else {
            emit sessionUpdated(reply, endpoint);
        }
    };
}

void ApiClient::createSession(const QString& targetClientId, const QString& sessionPassword, const QString& purpose,
                              const QString& masterEcdhPublicKey, const QString& masterSpake2Element) {
    const QByteArray body = requestBody({{"master_client_id", clientId_, true},
                                         {"target_client_id", targetClientId, true},
                                         {"session_password", sessionPassword},
                                         {"purpose", purpose},
                                         {"master_ecdh_public_key", masterEcdhPublicKey},
                                         {"master_spake2_element", masterSpake2Element}});
    send(Method::Post, QStringLiteral("/sessions/create"), body, true,
         sessionCompletion(QStringLiteral("/sessions/create"), QStringLiteral("Session creation failed"), true));
}

void ApiClient::handshakeAck(const QString& sessionId, const QString& targetEcdhPublicKey,
                             const QString& targetNatType, const QString& preferredRelayId,
                             const QString& targetSpake2Element) {
    const QByteArray body = requestBody({{"target_client_id", clientId_, true},
                                         {"target_ecdh_public_key", targetEcdhPublicKey},
                                         {"target_nat_type", targetNatType},
                                         {"preferred_relay_id", preferredRelayId},
                                         {"target_spake2_element", targetSpake2Element}});
    // The endpoint names the session, so an error can be told apart from another session's.
    const QString endpoint = QStringLiteral("/sessions/") + sessionId + QStringLiteral("/handshake-ack");
    send(Method::Post, endpoint, body, true, sessionCompletion(endpoint, QStringLiteral("Handshake ACK failed"), false));
}

void ApiClient::completeSession(const QString& sessionId, const QString& connectionMethod,
                                const QString& relayNodeId) {
    const QByteArray body =
        requestBody({{"connection_method", connectionMethod, true}, {"relay_node_id", relayNodeId}});
    const QString endpoint = QStringLiteral("/sessions/") + sessionId + QStringLiteral("/complete");
    send(Method::Patch, endpoint, body, true, sessionCompletion(endpoint, QStringLiteral("Session complete failed"), false));
}

void ApiClient::closeSession(const QString& sessionId, const QString& reason, qint64 transferredBytes) {
    const QByteArray body = requestBody({{"reason", reason}},
                                        Json{{"transferred_bytes", static_cast<std::int64_t>(transferredBytes)}});
    const QString endpoint = QStringLiteral("/sessions/") + sessionId + QStringLiteral("/close");
    send(Method::Patch, endpoint, body, true, sessionCompletion(endpoint, QStringLiteral("Session close failed"), false));
}

void ApiClient::sendHeartbeat(const QString& localIp, const QString& publicIp, const QString& natType) {
    const QByteArray body = requestBody({{"client_id", clientId_, true},
                                         {"local_ip", localIp},
                                         {"public_ip", publicIp},
                                         {"nat_type", natType},
                                         {"agent_version", applicationVersion(), true}});
    send(Method::Post, QStringLiteral("/clients/heartbeat"), body, true, [this](int status, const Json&) {
        if (status == 200) {
            emit heartbeatSent();
        } else {
            spdlog::warn("Heartbeat failed with status {}", status);
        }
    });
}

void ApiClient::fetchCompanyClients(Completion completion) {
    send(Method::Get, QStringLiteral("/clients/company-clients"), {}, true, std::move(completion));
}

void ApiClient::getRelayCandidates(Completion completion) {
    send(Method::Get, QStringLiteral("/nat/relay-candidates"), {}, true, std::move(completion));
}

// --- transport ------------------------------------------------------------------------------------

void ApiClient::send(Method method, const QString& path, const QByteArray& body, bool authorised,
                     Completion completion) {
    dispatch(Outgoing{method, path, body, authorised, QString(), false, std::move(completion)});
}

void ApiClient::dispatch(Outgoing outgoing) {
    QUrl url = baseUrl_;
    url.setPath(outgoing.path, QUrl::DecodedMode);
    QNetworkRequest request(url);
    request.setSslConfiguration(tls_);
    // A server that accepts the connection and then says nothing must not hold the request for
    // ever: the time-out ends it as a network failure, which the callers retry or fail over from.
    request.setTransferTimeout(transferTimeoutMs_);
    if (outgoing.method != Method::Get) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    }
    outgoing.token = outgoing.authorised ? token_ : QString();
    if (!outgoing.token.isEmpty()) request.setRawHeader("Authorization", "Bearer " + outgoing.token.toUtf8());

    QNetworkReply* reply = nullptr;
    switch (outgoing.method) {
        case Method::Post: reply = network_.post(request, outgoing.body); break;
        case Method::Patch: reply = network_.sendCustomRequest(request, "PATCH", outgoing.body); break;
        case Method::Get: reply = network_.get(request); break;
    }
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, outgoing = std::move(outgoing)] { onReplyFinished(reply, outgoing); });
}

void ApiClient::onReplyFinished(QNetworkReply* reply, const Outgoing& outgoing) {
    reply->deleteLater();
    if (outgoing.method == Method::Post && reply->error() != QNetworkReply::NoError) {
        spdlog::error("Network error on POST {}: {} ({})", reply->url().toString().toStdString(),
                      text(reply->errorString()), static_cast<int>(reply->error()));
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 401 && outgoing.authorised && !outgoing.resent) {
        if (!awaitingReauth_ && outgoing.token != token_) {
            // Sent before the last log-in: its token is simply old, the current one is not in doubt.
            Outgoing again = outgoing;
            again.resent = true;
            dispatch(std::move(again));
            return;
        }
        if (parkUnauthorised(outgoing)) return;
    }
    const Json parsed = parseBody(reply->readAll());
    if (outgoing.completion) outgoing.completion(status, parsed);
}

bool ApiClient::parkUnauthorised(const Outgoing& outgoing) {
    if (pending_.size() >= kMaxPendingRequests) {
        spdlog::warn("Pending-retry queue full ({}), dropping request to {}", kMaxPendingRequests, text(outgoing.path));
        return false;
    }
    pending_.append(outgoing);
    if (!awaitingReauth_) {
        awaitingReauth_ = true;
        reauthTimer_.start();
        spdlog::warn("Got 401 on {} — requesting re-authentication", text(outgoing.path));
        emit tokenExpired();
    }
    return true;
}

void ApiClient::adoptToken(const QString& clientId, const QString& token) {
    clientId_ = clientId;
    token_ = token;
    reauthTimer_.stop();
    awaitingReauth_ = false;
    if (pending_.isEmpty()) return;
    spdlog::info("Resending {} queued request(s) with the new token", pending_.size());
    // Each goes out once more; a second 401 reaches its completion instead of another log-in.
    const QList<Outgoing> parked = std::exchange(pending_, {});
    for (Outgoing outgoing : parked) {
        outgoing.resent = true;
        dispatch(std::move(outgoing));
    }
}

void ApiClient::failPendingRequests(const QString& reason) {
    reauthTimer_.stop();
    awaitingReauth_ = false;
    if (pending_.isEmpty()) return;
    spdlog::warn("Failing {} queued request(s): {}", pending_.size(), logging::peerText(reason));
    // Taken out first: a completion may queue a new request or fail the queue again.
    const QList<Outgoing> failed = std::exchange(pending_, {});
    const Json body{{"detail", text(reason)}};
    for (const Outgoing& request : failed) {
        if (request.completion) request.completion(401, body);
    }
}

void ApiClient::onReauthTimeout() {
    if (!awaitingReauth_) return;
    spdlog::warn("Re-authentication timed out; failing {} queued request(s)", pending_.size());
    failPendingRequests(QStringLiteral("re-auth timeout"));
}

}  // namespace veltrix
