#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

namespace veltrix::backend {

struct ClientRecord {
    QString clientId;           // nine digits
    QByteArray secretDigest;    // SHA-256 of the device secret; the secret itself is never kept
    QString clientName;
    QString machineFingerprint;
    QString agentVersion;
    QString localIp;
    QString publicIp;
    QString natType;
    QString pairingCode;
    QDateTime lastHeartbeat;    // UTC; invalid until the first heartbeat
};

struct SessionRecord {
    QString sessionId;
    QString relayToken;
    QString masterClientId;
    QString targetClientId;
    QString state;  // "pending", "accepted", "connected", "closed", "failed"
    QString connectionMethod;
    QString closeReason;
    QDateTime createdAt;
    QDateTime lastHeartbeat;
};

// The company the backend serves: its name, the labels of listed devices and whether every
// registered device belongs to it.
struct CompanyConfig {
    QString name;
    bool everyDevice = false;
    QStringList listedClients;            // client IDs in listing order
    QHash<QString, QString> labels;       // client ID -> label
    bool enabled() const { return !name.isEmpty(); }
    bool includes(const QString& clientId) const { return everyDevice || labels.contains(clientId) || listedClients.contains(clientId); }
};

// Devices, access tokens and sessions of the backend. Devices are kept in `<data folder>/clients.json`,
// rewritten atomically after each change, so a restart keeps registered devices; tokens and
// sessions live in memory (a restarted backend makes devices log in again).
class BackendState : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<QDateTime()>;

    BackendState(QString dataFolder, std::chrono::seconds tokenLifetime, QObject* parent = nullptr);
    ~BackendState() override;

    // Reads the stored devices; false (and logged) when the file exists but cannot be used.
    bool load();
    // Writes pending changes now.
    bool flush();

    void setClock(Clock clock) { clock_ = std::move(clock); }
    QDateTime now() const { return clock_ ? clock_() : QDateTime::currentDateTimeUtc(); }

    CompanyConfig& company() { return company_; }
    const CompanyConfig& company() const { return company_; }

    // Registration: a known fingerprint gets its client ID back only with that device's current
    // secret (a fingerprint is no secret: anyone may know it); otherwise a new nine-digit ID.
    // Either way a fresh device secret is issued, and the tokens of the old one are void.
    // Returns the client ID and the secret.
    std::pair<QString, QString> registerDevice(const QString& clientName, const QString& agentVersion,
                                               const QString& fingerprint, const QString& deviceSecret);
    enum class LoginResult { Ok, InvalidClientId, ClientNotFound, InvalidCredentials };
    LoginResult checkCredentials(const QString& clientId, const QString& deviceSecret) const;

    ClientRecord* client(const QString& clientId);
    const QHash<QString, ClientRecord>& clients() const { return clients_; }
    void clientChanged();

    QString issueToken(const QString& clientId);
    // Voids every token of the client.
    void revokeTokens(const QString& clientId);
    enum class TokenCheck { Valid, Missing, Unknown, Expired };
    TokenCheck checkToken(const QString& token, QString* clientId) const;

    SessionRecord& createSession(const QString& masterClientId, const QString& targetClientId);
    SessionRecord* session(const QString& sessionId);
    bool relayTokenAdmits(const QString& sessionId, const QString& relayToken) const;

    static bool isClientId(const QString& text);

private:
    QString newClientId() const;
    void scheduleSave();

    QString dataFolder_;
    std::chrono::seconds tokenLifetime_;
    Clock clock_;
    CompanyConfig company_;
    QHash<QString, ClientRecord> clients_;
    struct TokenRecord {
        QString clientId;
        QDateTime expires;
    };
    QHash<QString, TokenRecord> tokens_;
    QHash<QString, SessionRecord> sessions_;
    QTimer saveTimer_;
    bool dirty_ = false;
};

// Random bytes from the operating system's generator, as lower-case hex or URL-safe Base64.
QString randomHex(int bytes);
QString randomToken(int bytes);

}  // namespace veltrix::backend
