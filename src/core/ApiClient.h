#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <optional>

#include <nlohmann/json.hpp>

class QNetworkReply;

namespace veltrix {

// The service's client of the backend's JSON API. Every request is asynchronous; results arrive as
// signals or through the caller's completion on the Qt thread. Every request has a transfer time-out,
// so a server that accepts and never answers fails it like any other network error. Requests
// outside "/auth/" carry the access token; an authorised request answered 401 is parked while the
// device logs in again and is sent once more with the new token when that log-in succeeds; it
// fails when the log-in fails or the re-authentication wait runs out.
class ApiClient : public QObject {
    Q_OBJECT

public:
    using Completion = std::function<void(int status, const nlohmann::json& body)>;

    static constexpr int kMaxPendingRequests = 16;
    static constexpr int kDefaultReauthTimeoutMs = 30000;
    static constexpr int kDefaultTransferTimeoutMs = 20000;

    explicit ApiClient(const QUrl& baseUrl, QObject* parent = nullptr);
    ~ApiClient() override;

    QString token() const { return token_; }
    QString clientId() const { return clientId_; }
    QUrl baseUrl() const { return baseUrl_; }
    void setBaseUrl(const QUrl& url);

    // How long parked requests wait for a new token.
    void setReauthTimeout(int milliseconds);
    // How long a request may go without any byte moving before it fails with status 0.
    void setTransferTimeout(int milliseconds) { transferTimeoutMs_ = milliseconds; }
    int pendingRequestCount() const { return static_cast<int>(pending_.size()); }
    bool awaitingReauthentication() const { return awaitingReauth_; }

    void autoLogin(const QString& clientId, const QString& deviceSecret, const QString& clientName);
    void autoRegister(const QString& clientName, const QString& agentVersion, const QString& machineFingerprint,
                      const QString& deviceSecret);
    void createSession(const QString& targetClientId, const QString& sessionPassword, const QString& purpose,
                       const QString& masterEcdhPublicKey, const QString& masterSpake2Element = {});
    void handshakeAck(const QString& sessionId, const QString& targetEcdhPublicKey, const QString& targetNatType,
                      const QString& preferredRelayId, const QString& targetSpake2Element = {});
    void completeSession(const QString& sessionId, const QString& connectionMethod, const QString& relayNodeId);
    void closeSession(const QString& sessionId, const QString& reason, qint64 transferredBytes);
    void sendHeartbeat(const QString& localIp, const QString& publicIp, const QString& natType);
    void fetchCompanyClients(Completion completion);
    void getRelayCandidates(Completion completion);

    // Ends every parked request with status 401 and {"detail": reason}, in the order parked.
    void failPendingRequests(const QString& reason);

    // --- reply readers (pure; they never throw on whatever the server sent) ---------------------

    // The reply body as JSON: null when empty or not JSON.
    static nlohmann::json parseBody(const QByteArray& body);
    // The "detail" member when it is a string, else the fall-back.
    static QString detailOr(const nlohmann::json& body, const QString& fallback);

    struct Identity {
        QString clientId;
        QString token;
        QString deviceSecret;
        QString companyName;
    };
    // The identity of a log-in (withDeviceSecret false) or registration reply: nothing when a
    // required member is missing, is not a string or is empty.
    static std::optional<Identity> readIdentity(const nlohmann::json& body, bool withDeviceSecret);

    // The body of a request: compact, sorted keys, empty strings left out except `always`.
    struct Member {
        const char* key;
        QString value;
        bool always = false;
    };
    static QByteArray requestBody(const QList<Member>& members, const nlohmann::json& extra = nlohmann::json::object());

signals:
    void autoRegisterSuccess(const QString& clientId, const QString& deviceSecret, const QString& token,
                             const QString& companyName);
    void authSuccess(const QString& clientId, const QString& token, const QString& companyName);
    void authError(const QString& error);
    void heartbeatSent();
    void sessionCreated(const nlohmann::json& sessionData);
    // The reply to a handshake-ack, complete or close request; `endpoint` is its request path
    // ("/sessions/<id>/complete" ...), so the caller can tell which request it answers.
    void sessionUpdated(const nlohmann::json& sessionData, const QString& endpoint);
    void clientInfoReceived(const nlohmann::json& clientData);
    // `endpoint` is the request path ("/sessions/create", "/sessions/<id>/complete", ...).
    void requestError(const QString& endpoint, int statusCode, const QString& detail);
    void tokenExpired();

private:
    enum class Method : int { Post = 0, Get = 1, Patch = 2 };

    // One request as sent: what is needed to send it again after a new log-in.
    struct Outgoing {
        Method method;
        QString path;
        QByteArray body;
        bool authorised = false;
        QString token;         // the token it was sent with
        bool resent = false;   // already sent again after a 401: a second 401 ends it
        Completion completion;
    };

    void send(Method method, const QString& path, const QByteArray& body, bool authorised, Completion completion);
    void dispatch(Outgoing outgoing);
    void onReplyFinished(QNetworkReply* reply, const Outgoing& outgoing);
    bool parkUnauthorised(const Outgoing& outgoing);
    // A log-in succeeded: the parked requests go out again with the new token.
    void adoptToken(const QString& clientId, const QString& token);
    void onReauthTimeout();

    // The completion of a session request: sessionCreated/sessionUpdated on 200, else requestError.
    Completion sessionCompletion(const QString& endpoint, const QString& fallback, bool created);

    QUrl baseUrl_;
    QNetworkAccessManager network_;
    QSslConfiguration tls_;
    QString token_;
    QString clientId_;
    bool awaitingReauth_ = false;
    QList<Outgoing> pending_;
    QTimer reauthTimer_;
    int transferTimeoutMs_ = kDefaultTransferTimeoutMs;
};

}  // namespace veltrix
