#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <nlohmann/json.hpp>

#include "HttpMessage.h"

namespace veltrix::backend {

class BackendState;
class SignalingHub;

// A relay node and the TURN server as the relay-candidate list offers them to every device.
struct RelayOffer {
    QString relayId;
    QString host;
    quint16 port = 0;
};

struct TurnOffer {
    QString host;
    quint16 port = 0;  // 0: no TURN server
    QString username;
    QString password;
};

// How a new session is put to its target over signaling: SESSION_AUTO_ACCEPT with the master's
// key material and the relay token, or SESSION_HANDSHAKE_REQUEST with only the session id, the
// master and the purpose (the target then admits or declines it by its own rules).
enum class SessionOffer { AutoAccept, HandshakeRequest };

// The REST API of the backend. Every answer is JSON; 200 is the only success status and every
// failure carries {"detail": text}. Session events reach the devices through the signaling hub,
// always after the reply that caused them has been written.
class ApiService {
public:
    ApiService(BackendState& state, SignalingHub& signaling);

    void setRelayOffers(QList<RelayOffer> relays) { relays_ = std::move(relays); }
    void setTurnOffer(TurnOffer turn) { turn_ = std::move(turn); }
    void setSessionOffer(SessionOffer offer) { sessionOffer_ = offer; }

    HttpResponse handle(const HttpRequest& request);

    // The relay-candidate list as GET /nat/relay-candidates returns it.
    nlohmann::json relayCandidates() const;

private:
    HttpResponse route(const HttpRequest& request, const nlohmann::json& body);
    HttpResponse autoRegister(const nlohmann::json& body);
    HttpResponse autoLogin(const nlohmann::json& body);
    HttpResponse createSession(const QString& caller, const nlohmann::json& body);
    HttpResponse handshakeAck(const QString& caller, const QString& sessionId, const nlohmann::json& body);
    HttpResponse completeSession(const QString& caller, const QString& sessionId, const nlohmann::json& body);
    HttpResponse closeSession(const QString& caller, const QString& sessionId, const nlohmann::json& body);
    HttpResponse heartbeat(const QString& caller, const HttpRequest& request, const nlohmann::json& body);
    HttpResponse companyClients(const QString& caller);

    BackendState& state_;
    SignalingHub& signaling_;
    QList<RelayOffer> relays_;
    TurnOffer turn_;
    SessionOffer sessionOffer_ = SessionOffer::AutoAccept;
};

// The public-IP echo: GET / answers the caller's address as plain text.
HttpResponse echoAddress(const HttpRequest& request);

}  // namespace veltrix::backend
