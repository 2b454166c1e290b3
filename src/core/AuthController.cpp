#include "core/AuthController.h"
#include "core/SecurePasswordPolicy.h"

#include <QRandomGenerator64>
#include <QSysInfo>

#include <openssl/rand.h>
#include <spdlog/spdlog.h>

#include "core/ApiClient.h"
#include "core/AppVersion.h"
#include "core/HeartbeatService.h"
#include "core/MachineFingerprint.h"
#include "core/SettingsController.h"
#include "platform/MachineIdentity.h"
#include "transport/SignalingClient.h"
#include "shared/Logging.h"

namespace veltrix {
namespace {

std::string text(const QString& value) { return value.toStdString(); }

// Index into a table of n entries from a uniform 32-bit draw.
std::size_t pick(std::uint32_t r, std::size_t n) {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(r) * n) >> 32);
}

std::uint32_t systemDraw() { return static_cast<std::uint32_t>(QRandomGenerator64::system()->generate()); }

std::optional<std::uint32_t> opensslDraw() {
    std::uint32_t v = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&v), sizeof v) != 1) return std::nullopt;
    return v;
}

}  // namespace

AuthController::AuthController(ApiClient& api, SignalingClient& signaling, HeartbeatService& heartbeat,
                               SettingsController& settings, QObject* parent)
    : QObject(parent), api_(api), signaling_(signaling), heartbeat_(heartbeat), settings_(settings) {
    ephemeralPassword_ = generateEphemeralPassword(systemDraw);
    securePassword_ = settings_.savedSecurePassword();
    regeneratePairingCode();
    pairingTimer_.setInterval(kDefaultPairingIntervalMs);
    connect(&pairingTimer_, &QTimer::timeout, this, &AuthController::regeneratePairingCode);
    pairingTimer_.start();

    connect(&api_, &ApiClient::autoRegisterSuccess, this, &AuthController::onAutoRegisterSuccess);
    connect(&api_, &ApiClient::authSuccess, this, &AuthController::onAuthSuccess);
    connect(&api_, &ApiClient::authError, this, &AuthController::onAuthError);
    connect(&signaling_, &SignalingClient::connected, this, &AuthController::onSignalingConnected);
    connect(&api_, &ApiClient::tokenExpired, this, &AuthController::onTokenExpired);
    connect(&signaling_, &SignalingClient::reconnectAttemptsExhausted, this, &AuthController::onSignalingGaveUp);
    connect(&signaling_, &SignalingClient::authenticationRejected, this, &AuthController::onSignalingAuthRejected);

    retryTimer_.setSingleShot(true);
    retryTimer_.setInterval(kDefaultRetryIntervalMs);
    connect(&retryTimer_, &QTimer::timeout, this, &AuthController::tryAuthenticate);
    signalingRetryTimer_.setSingleShot(true);
    connect(&signalingRetryTimer_, &QTimer::timeout, this, [this] {
        if (!reauthInProgress_) reauthenticate();
    });
}

AuthController::~AuthController() = default;

void AuthController::setRetryInterval(int milliseconds) { retryTimer_.setInterval(milliseconds); }

void AuthController::setPairingInterval(int milliseconds) { pairingTimer_.setInterval(milliseconds); }

QString AuthController::clientId() const { return api_.clientId(); }

// --- log-in ---------------------------------------------------------------------------------------

QString AuthController::machineClientName() {
    const QString host = QSysInfo::machineHostName();
    const QString group = QString::fromStdString(platform::machine::workgroupName());
    return group.isEmpty() ? host : group + QLatin1Char('\\') + host;
}

void AuthController::tryAuthenticate() {
    // A retry that was due is this log-in now; and one log-in at a time, so two replies never
    // race to set the identity.
    retryTimer_.stop();
    signalingRetryTimer_.stop();
    if (loginInFlight_) {
        spdlog::info("AuthController: a log-in is already under way");
        return;
    }
    loginInFlight_ = true;
    if (settings_.hasClientId()) {
        const QString storedId = settings_.clientId();
        spdlog::info("Auto-login with stored client ID: {}", text(storedId));
        api_.autoLogin(storedId, settings_.deviceSecret(), machineClientName());
        return;
    }
    spdlog::info("Auto-registering...");
    const QString fingerprint = MachineFingerprint();
    if (fingerprint.isEmpty()) spdlog::warn("Could not generate machine fingerprint; ID will not survive reinstalls");
    api_.autoRegister(machineClientName(), applicationVersion(), fingerprint, settings_.deviceSecret());
}

void AuthController::onAuthSuccess(const QString& clientId, const QString& token, const QString& companyName) {
    loginInFlight_ = false;
    retryTimer_.stop();
    failureCount_ = 0;
    reauthInProgress_ = false;
    spdlog::info("Auto-login successful. Client ID: {}", logging::peerText(clientId));
    completeAuthentication(clientId, token, companyName);
}

void AuthController::onAutoRegisterSuccess(const QString& clientId, const QString& deviceSecret,
                                           const QString& token, const QString& companyName) {
    loginInFlight_ = false;
    retryTimer_.stop();
    failureCount_ = 0;
    reauthInProgress_ = false;
    settings_.setClientId(clientId);
    settings_.setDeviceSecret(deviceSecret);
    spdlog::info("Auto-registration successful. Client ID: {}", logging::peerText(clientId));
    completeAuthentication(clientId, token, companyName);
}

void AuthController::completeAuthentication(const QString& clientId, const QString& token,
                                            const QString& companyName) {
    authenticated_ = true;
    if (!pairingCode_.isEmpty()) {
        pairingHash_ = QString::fromLatin1((clientId + QLatin1Char(':') + pairingCode_).toUtf8().toBase64());
        emit pairingHashChanged(pairingHash_);
    }
    connectSignaling(clientId, token.isEmpty() ? api_.token() : token);
    heartbeat_.start(heartbeatIntervalMs_);
    emit authenticated(clientId, companyName);
}

bool AuthController::isCredentialError(const QString& error) {
    for (const char* credentialText : {"Invalid device credentials", "Client not found", "Invalid client_id"}) {
        if (error.contains(QLatin1String(credentialText), Qt::CaseInsensitive)) return true;
    }
    return false;
}

void AuthController::connectSignaling(const QString& clientId, const QString& token) {
    const QUrl server = settings_.serverUrl();
    if (signaling_.isAuthenticated() && signaling_.isConnected() && signaling_.serverUrl() == server &&
        signaling_.clientId() == clientId) {
        signaling_.setToken(token);
        return;
    }
    signaling_.connectToServer(server, clientId, token);
}

void AuthController::onAuthError(const QString& error) {
    loginInFlight_ = false;
    reauthInProgress_ = false;
    api_.failPendingRequests(error);
    ++failureCount_;
    spdlog::warn("Authentication failed (attempt {}): {}. Retrying in 20 seconds...", failureCount_, logging::peerText(error));
    const bool credentialError = isCredentialError(error);
    if (credentialError && settings_.hasClientId()) {
        spdlog::info("Credential error — clearing client ID, will auto-register on next retry");
        settings_.setClientId(QString());
    }
    if (!credentialError && failureCount_ >= 2) {
        settings_.failoverServer();
        api_.setBaseUrl(settings_.serverUrl());
        failureCount_ = 0;
    }
    emit authenticationFailed(error);
    retryTimer_.start();
}

void AuthController::onTokenExpired() {
    if (reauthInProgress_) return;
    spdlog::warn("Token expired — re-authenticating...");
    reauthenticate();
}

void AuthController::onSignalingGaveUp() {
    if (!authenticated_ || reauthInProgress_) return;
    spdlog::warn("AuthController: signaling connection lost for good — logging in again");
    reauthenticate();
}

void AuthController::onSignalingAuthRejected() {
    if (reauthInProgress_ || signalingRetryTimer_.isActive()) return;
    // A backend that admits the log-in and still refuses its token would otherwise get log-ins
    // and signaling handshakes back to back: the log-in waits as signaling's reconnects do,
    // 1 s doubling up to 30 s while the refusals go on.
    const int delay = signaling_.reconnectDelay(signalingRefusals_++);
    spdlog::warn("AuthController: signaling refused the token — logging in again in {} ms", delay);
    signalingRetryTimer_.start(delay);
}

// The signaling connection is left as it is: while it still works the device stays reachable,
// and the new token reaches it when the log-in succeeds.
void AuthController::reauthenticate() {
    reauthInProgress_ = true;
    heartbeat_.stop();
    authenticated_ = false;
    tryAuthenticate();
}

void AuthController::logout() {
    signalingRetryTimer_.stop();
    heartbeat_.stop();
    signaling_.disconnectFromServer();
    authenticated_ = false;
    spdlog::info("Logged out");
    emit loggedOut();
}

// --- pairing code ---------------------------------------------------------------------------------

QString AuthController::pairingCodeFrom(const std::function<std::optional<std::uint32_t>()>& strong,
                                        const std::function<std::uint32_t()>& fallback) {
    // The largest multiple of 900000 that fits: values at or above it would bias the remainder.
    constexpr std::uint32_t kBound = 0xFFFD7280u;
    std::optional<std::uint32_t> v = strong();
    while (v && *v >= kBound) v = strong();
    std::uint32_t code = 0;
    if (v) {
        code = *v % 900000u + 100000u;
    } else {
        spdlog::error("RAND_bytes failed — falling back to QRandomGenerator::system()");
        code = static_cast<std::uint32_t>(pick(fallback(), 900000)) + 100000u;
    }
    return QString::number(code);
}

void AuthController::regeneratePairingCode() {
    pairingCode_ = pairingCodeFrom(opensslDraw, systemDraw);
    const QString id = api_.clientId();
    if (!id.isEmpty()) {
        pairingHash_ = QString::fromLatin1((id + QLatin1Char(':') + pairingCode_).toUtf8().toBase64());
    }
    spdlog::info("Pairing code regenerated");
    emit pairingHashChanged(pairingHash_);
    pushPairingCode();
}

void AuthController::onSignalingConnected() {
    signalingRefusals_ = 0;
    pushPairingCode();
}

void AuthController::pushPairingCode() {
    if (signaling_.isConnected() && !pairingCode_.isEmpty()) {
        signaling_.sendMessage({{"type", "SET_PAIRING_CODE"}, {"code", text(pairingCode_)}});
    }
}

// --- session passwords ----------------------------------------------------------------------------

QString AuthController::generateEphemeralPassword(const std::function<std::uint32_t()>& draw) {
    static constexpr std::string_view kLower = "abcdefghijkmnopqrstuvwxyz";
    static constexpr std::string_view kUpper = "ABCDEFGHJKLMNPQRSTUVWXYZ";
    static constexpr std::string_view kDigits = "23456789";
    static constexpr std::string_view kAll = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    const std::size_t length = (draw() & 0x80000000u) ? 8 : 7;
    std::string password;
    password.reserve(length);
    password += kLower[pick(draw(), kLower.size())];
    password += kUpper[pick(draw(), kUpper.size())];
    password += kDigits[pick(draw(), kDigits.size())];
    while (password.size() < length) password += kAll[pick(draw(), kAll.size())];
    for (std::size_t i = length - 1; i >= 1; --i) {
        const std::size_t j = pick(draw(), i + 1);
        if (i != j) std::swap(password[i], password[j]);
    }
    return QString::fromLatin1(password.data(), static_cast<qsizetype>(password.size()));
}

void AuthController::regenerateEphemeralPassword() {
    ephemeralPassword_ = generateEphemeralPassword(systemDraw);
    emit ephemeralPasswordChanged(ephemeralPassword_);
}

QString AuthController::validateSecurePassword(const QString& password) {
    return SecurePasswordPolicy::refusal(password);
}

QString AuthController::setSecurePassword(const QString& password) {
    const QString refusal = validateSecurePassword(password);
    if (!refusal.isEmpty()) return refusal;
    if (!settings_.setSavedSecurePassword(password)) {
        // The store removed the old value rather than keep a secret in clear: no secure password
        // is set any more, here or on disk.
        spdlog::error("AuthController: the secure password could not be stored");
        const bool wasSet = !securePassword_.isEmpty();
        securePassword_.clear();
        if (wasSet) emit securePasswordChanged(false);
        return tr("Secure password could not be stored.");
    }
    securePassword_ = password;
    emit securePasswordChanged(true);
    return {};
}

void AuthController::clearSecurePassword() {
    if (securePassword_.isEmpty() && settings_.savedSecurePassword().isEmpty()) return;
    securePassword_.clear();
    settings_.setSavedSecurePassword(QString());
    emit securePasswordChanged(false);
}

}  // namespace veltrix
