#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>

namespace veltrix {

class ApiClient;
class HeartbeatService;
class SettingsController;
class SignalingClient;

// The machine's identity with the backend: logs in with the stored identity or registers with the
// machine fingerprint, keeps the device logged in (retries, fail-over, re-login when the token
// expires), and holds the machine's pairing code and its two session passwords.
class AuthController : public QObject {
    Q_OBJECT

public:
    static constexpr int kDefaultRetryIntervalMs = 20000;
    static constexpr int kDefaultPairingIntervalMs = 300000;
    static constexpr int kDefaultHeartbeatIntervalMs = 30000;

    AuthController(ApiClient& api, SignalingClient& signaling, HeartbeatService& heartbeat,
                   SettingsController& settings, QObject* parent = nullptr);
    ~AuthController() override;

    void tryAuthenticate();
    void logout();

    void regenerateEphemeralPassword();
    // Empty on success, else why the password was refused or could not be stored.
    QString setSecurePassword(const QString& password);
    void clearSecurePassword();
    // The secure-password rule (SecurePasswordPolicy); empty when the password passes.
    static QString validateSecurePassword(const QString& password);

    QString clientId() const;
    QString ephemeralPassword() const { return ephemeralPassword_; }
    QString securePassword() const { return securePassword_; }
    QString pairingCode() const { return pairingCode_; }
    QString pairingHash() const { return pairingHash_; }
    bool isAuthenticated() const { return authenticated_; }
    bool isLoggingIn() const { return loginInFlight_; }
    bool retryPending() const { return retryTimer_.isActive(); }
    // A log-in after signaling refused the token is waiting.
    bool signalingRetryPending() const { return signalingRetryTimer_.isActive(); }
    int failureCount() const { return failureCount_; }

    // Intervals, shortened by tests.
    void setRetryInterval(int milliseconds);
    void setPairingInterval(int milliseconds);
    void setHeartbeatInterval(int milliseconds) { heartbeatIntervalMs_ = milliseconds; }

    // The generators, over explicit random sources so their mapping can be checked.
    // `draw` gives uniform 32-bit values.
    static QString generateEphemeralPassword(const std::function<std::uint32_t()>& draw);
    // `strong` gives a 32-bit value or nothing when the strong source failed; `fallback` is used then.
    static QString pairingCodeFrom(const std::function<std::optional<std::uint32_t>()>& strong,
                                   const std::function<std::uint32_t()>& fallback);
    static bool isCredentialError(const QString& error);
    static QString machineClientName();

signals:
    void pairingHashChanged(const QString& hash);
    void ephemeralPasswordChanged(const QString& password);
    void securePasswordChanged(bool isSet);
    void authenticated(const QString& clientId, const QString& companyName);
    void authenticationFailed(const QString& error);
    void loggedOut();

public slots:
    void onAutoRegisterSuccess(const QString& clientId, const QString& deviceSecret, const QString& token,
                               const QString& companyName);
    void onAuthSuccess(const QString& clientId, const QString& token, const QString& companyName);
    void onAuthError(const QString& error);
    void onSignalingConnected();
    void onTokenExpired();
    // Signaling used up its reconnects: the connection is gone, so log in again, which also
    // connects signaling anew and keeps the heartbeat from reporting an unreachable device.
    void onSignalingGaveUp();
    // The signaling server refused the token: log in again, which reconnects signaling, after a
    // back-off that grows while the refusals repeat.
    void onSignalingAuthRejected();
    void regeneratePairingCode();

private:
    void completeAuthentication(const QString& clientId, const QString& token, const QString& companyName);
    void pushPairingCode();
    void reauthenticate();
    // Hands the new token to signaling: an authenticated connection to the same server and ID
    // keeps running with it (its next AUTH sends it); otherwise signaling connects anew.
    void connectSignaling(const QString& clientId, const QString& token);

    ApiClient& api_;
    SignalingClient& signaling_;
    HeartbeatService& heartbeat_;
    SettingsController& settings_;
    bool authenticated_ = false;
    QString ephemeralPassword_;
    QString securePassword_;
    QString pairingCode_;
    QString pairingHash_;
    QTimer retryTimer_;
    QTimer signalingRetryTimer_;
    // Refusals of the token by signaling since it last accepted one.
    int signalingRefusals_ = 0;
    QTimer pairingTimer_;
    int failureCount_ = 0;
    bool reauthInProgress_ = false;
    // A log-in or registration request is out: no second one starts until it is answered.
    bool loginInFlight_ = false;
    int heartbeatIntervalMs_ = kDefaultHeartbeatIntervalMs;
};

}  // namespace veltrix
