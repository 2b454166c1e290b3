#include "core/SettingsController.h"

#include <QSettings>

#include <openssl/crypto.h>
#include <spdlog/spdlog.h>

#include "platform/DataProtection.h"
#include "platform/InstanceConfig.h"
#include "platform/SettingsLocations.h"

namespace veltrix {
namespace {

const QString kOrganisation = QStringLiteral("Veltrix");
const QString kUserApplication = QStringLiteral("VeltrixClient");
const QString kMachineApplication = QStringLiteral("VeltrixService");

const QString kMonitorIndexKey = QStringLiteral("display/monitorIndex");
const QString kClipboardSharingKey = QStringLiteral("display/clipboardSharing");
const QString kDisplayModeKey = QStringLiteral("display/mode");
const QString kClientIdKey = QStringLiteral("auth/clientId");
const QString kDeviceSecretKey = QStringLiteral("auth/deviceSecret");
const QString kSessionPasswordKey = QStringLiteral("auth/sessionPassword");
const QString kUnattendedAccessKey = QStringLiteral("advanced/unattendedAccess");

const QString kWrappedPrefix = QStringLiteral("DPAPI2:");
const QString kLegacyWrappedPrefix = QStringLiteral("DPAPI:");

constexpr const char* kDeviceSecretRefusal = "Refusing to store deviceSecret: DPAPI wrap failed";
constexpr const char* kSecurePasswordRefusal = "Refusing to store securePassword: DPAPI wrap failed";

constexpr const char* kPrimaryServer = "https://api.veltrix.net:443";
constexpr const char* kFailoverServer = "https://api2.veltrix.net:443";
constexpr const char* kPrimaryServerKey = "backend/api_url";
constexpr const char* kFailoverServerKey = "backend/failover_url";

// Bound into every "DPAPI2:" value: 16 ASCII characters and 16 arbitrary bytes.
QByteArray secretEntropy() {
    static const QByteArray entropy =
        QByteArray::fromHex("56656c747269782d656e74726f7079373c9e51a07b28d4f6e0a91c3b5d7f2648");
    return entropy;
}

void wipe(QByteArray& bytes) {
    if (!bytes.isEmpty()) OPENSSL_cleanse(bytes.data(), static_cast<std::size_t>(bytes.size()));
}

std::string text(const QString& value) { return value.toStdString(); }

std::string text(const QUrl& url) { return url.toString().toStdString(); }

// An API server named in the instance file: an http or https URL with a host.
QUrl configuredServer(const char* key) {
    const auto value = platform::config::value(key);
    if (!value || value->empty()) return {};
    QUrl url(QString::fromStdString(*value), QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != QLatin1String("https") && scheme != QLatin1String("http"))) {
        spdlog::warn("SettingsController: ignoring {} '{}' in {}: not an http or https URL", key, *value,
                     platform::config::filePath());
        return {};
    }
    return url;
}

}  // namespace

SettingsController::SettingsController(QObject* parent)
    : QObject(parent),
      userStore_(platform::settings::openStore(platform::settings::Scope::User, kOrganisation, kUserApplication)),
      machineStore_(
          platform::settings::openStore(platform::settings::Scope::Machine, kOrganisation, kMachineApplication)) {
    loadServerOverrides();
    migrateLegacyIdentity();
}

SettingsController::~SettingsController() = default;

// --- store access -------------------------------------------------------------------------------

QSettings& SettingsController::store(Store which) const {
    return which == Store::Machine ? *machineStore_ : *userStore_;
}

// Both programs use the stores at the same time; a read first picks up what the other process
// wrote (a cheap check of the file when nothing changed).
QVariant SettingsController::read(Store which, const QString& key) const {
    QSettings& settings = store(which);
    settings.sync();
    return settings.value(key);
}

int SettingsController::readInt(Store which, const QString& key, int fallback) const {
    bool ok = false;
    const int value = read(which, key).toInt(&ok);
    return ok ? value : fallback;
}

bool SettingsController::readBool(Store which, const QString& key, bool fallback) const {
    const QVariant value = read(which, key);
    if (!value.isValid()) return fallback;
    if (value.typeId() == QMetaType::Bool) return value.toBool();
    const QString word = value.toString().trimmed().toLower();
    if (word == QLatin1String("true") || word == QLatin1String("1")) return true;
    if (word == QLatin1String("false") || word == QLatin1String("0")) return false;
    return fallback;
}

// Every change reaches the file at once, so the other program sees it and a crash loses nothing.
bool SettingsController::commit(Store which) {
    QSettings& settings = store(which);
    settings.sync();
    if (settings.status() == QSettings::NoError) return true;
    spdlog::error("SettingsController: cannot write {} (status {})", text(settings.fileName()),
                  static_cast<int>(settings.status()));
    return false;
}

bool SettingsController::write(Store which, const QString& key, const QVariant& value) {
    store(which).setValue(key, value);
    return commit(which);
}

bool SettingsController::erase(Store which, const QString& key) {
    store(which).remove(key);
    return commit(which);
}

// --- display and encoder ------------------------------------------------------------------------

int SettingsController::monitorIndex() const { return readInt(Store::User, kMonitorIndexKey, 0); }

void SettingsController::setMonitorIndex(int index) { write(Store::User, kMonitorIndexKey, index); }

bool SettingsController::clipboardSharingEnabled() const { return readBool(Store::User, kClipboardSharingKey, true); }

void SettingsController::setClipboardSharingEnabled(bool enabled) { write(Store::User, kClipboardSharingKey, enabled); }

int SettingsController::displayMode() const { return readInt(Store::User, kDisplayModeKey, 1); }

void SettingsController::setDisplayMode(int mode) { write(Store::User, kDisplayModeKey, mode); }

int SettingsController::encoderFps() const { return displayMode() == 0 ? 30 : 20; }

int SettingsController::encoderCrf() const { return displayMode() == 0 ? 18 : 45; }

QString SettingsController::encoderPreset() const {
    return displayMode() == 0 ? QStringLiteral("7") : QStringLiteral("13");
}

int SettingsController::encoderBitrateKbps() const { return displayMode() == 0 ? 8000 : 1500; }

// --- identity -----------------------------------------------------------------------------------

QString SettingsController::clientId() const { return read(Store::Machine, kClientIdKey).toString(); }

void SettingsController::setClientId(const QString& clientId) { write(Store::Machine, kClientIdKey, clientId); }

bool SettingsController::hasClientId() { return !clientId().isEmpty() && !deviceSecret().isEmpty(); }

QString SettingsController::deviceSecret() { return readSecret(kDeviceSecretKey, "deviceSecret"); }

void SettingsController::setDeviceSecret(const QString& secret) {
    storeSecret(kDeviceSecretKey, secret, kDeviceSecretRefusal);
}

QString SettingsController::savedSecurePassword() { return readSecret(kSessionPasswordKey, "savedSecurePassword"); }

bool SettingsController::setSavedSecurePassword(const QString& password) {
    // A refused secret leaves the key removed, which storeSecret reports as a successful write.
    return storeSecret(kSessionPasswordKey, password, kSecurePasswordRefusal) &&
           (password.isEmpty() || !read(Store::Machine, kSessionPasswordKey).toString().isEmpty());
}

bool SettingsController::unattendedAccessEnabled() const {
    return readBool(Store::Machine, kUnattendedAccessKey, true);
}

void SettingsController::setUnattendedAccessEnabled(bool enabled) {
    write(Store::Machine, kUnattendedAccessKey, enabled);
}

// A value in an older form (plain, or protected without entropy) is replaced by its current form
// the first time it is read.
QString SettingsController::readSecret(const QString& key, const char* name) {
    const QString stored = read(Store::Machine, key).toString();
    if (stored.isEmpty()) return {};
    const QString clear = unwrapSecret(stored);
    if (!stored.startsWith(kWrappedPrefix) && !clear.isEmpty()) {
        const QString wrapped = wrapSecret(clear);
        if (!wrapped.isEmpty() && write(Store::Machine, key, wrapped)) {
            spdlog::info("Migrated {} to DPAPI-wrapped storage", name);
        }
    }
    return clear;
}

// A secret is never written in clear: when it cannot be protected the key is removed instead, and
// an empty secret removes the key too. False when the machine store could not be written.
bool SettingsController::storeSecret(const QString& key, const QString& clear, const char* refusal) {
    if (clear.isEmpty()) return erase(Store::Machine, key);
    const QString wrapped = wrapSecret(clear);
    if (wrapped.isEmpty()) {
        spdlog::error("{}", refusal);
        return erase(Store::Machine, key);
    }
    return write(Store::Machine, key, wrapped);
}

// --- protection ---------------------------------------------------------------------------------

QString SettingsController::wrapSecret(const QString& text) const {
    if (text.isEmpty()) return {};
    QByteArray clear = text.toUtf8();
    platform::SystemError error;
    const auto blob = platform::protection::protect(clear, secretEntropy(), error);
    wipe(clear);
    if (!blob) {
        spdlog::error("CryptProtectData failed (err {})", error.code);
        return {};
    }
    return kWrappedPrefix + QString::fromLatin1(blob->toBase64());
}

QString SettingsController::unwrapSecret(const QString& text) const {
    QString payload;
    QByteArray entropy;
    if (text.startsWith(kWrappedPrefix)) {
        payload = text.mid(kWrappedPrefix.size());
        entropy = secretEntropy();
    } else if (text.startsWith(kLegacyWrappedPrefix)) {
        payload = text.mid(kLegacyWrappedPrefix.size());
    } else {
        return text;  // a plain value of the older layout
    }
    // Strict decoding: text that is not Base64 is unreadable, not a shorter blob.
    const auto decoded =
        QByteArray::fromBase64Encoding(payload.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty()) {
        spdlog::warn("DPAPI value base64 decode produced empty buffer");
        return {};
    }
    platform::SystemError error;
    auto clear = platform::protection::unprotect(decoded.decoded, entropy, error);
    if (!clear) {
        spdlog::error("CryptUnprotectData failed (err {})", error.code);
        return {};
    }
    const QString result = QString::fromUtf8(*clear);
    wipe(*clear);
    return result;
}

// --- start-up migration -------------------------------------------------------------------------

// An older layout kept the identity in the user store. It moves to the machine store once, when
// the machine store has no client ID yet; the user store keeps its client ID.
void SettingsController::migrateLegacyIdentity() {
    if (!read(Store::Machine, kClientIdKey).toString().isEmpty()) return;
    const QString oldClientId = read(Store::User, kClientIdKey).toString();
    const QString oldSecret = read(Store::User, kDeviceSecretKey).toString();
    if (oldClientId.isEmpty() || oldSecret.isEmpty()) return;

    bool stored = write(Store::Machine, kClientIdKey, oldClientId);
    stored = storeSecret(kDeviceSecretKey, unwrapSecret(oldSecret), kDeviceSecretRefusal) && stored;
    const QString oldPassword = read(Store::User, kSessionPasswordKey).toString();
    if (!oldPassword.isEmpty()) {
        stored = storeSecret(kSessionPasswordKey, unwrapSecret(oldPassword), kSecurePasswordRefusal) && stored;
    }

    // An account that cannot write the machine store (the desktop client) must not drop the old
    // values: they would be lost with nothing in their place.
    if (!stored) {
        spdlog::error("SettingsController: machine store not writable; the identity stays in the user store");
        return;
    }
    QSettings& user = store(Store::User);
    user.remove(kDeviceSecretKey);
    user.remove(kSessionPasswordKey);
    commit(Store::User);
}

// --- API servers --------------------------------------------------------------------------------

void SettingsController::loadServerOverrides() {
    primaryOverride_ = configuredServer(kPrimaryServerKey);
    failoverOverride_ = configuredServer(kFailoverServerKey);
    const QList<QUrl> servers = serverList();
    if (primaryOverride_.isEmpty() && failoverOverride_.isEmpty()) {
        spdlog::info("SettingsController: API servers {} and {} (built in)", text(servers[0]), text(servers[1]));
    } else {
        spdlog::info("SettingsController: API servers {} and {} (from {} in {})", text(servers[0]), text(servers[1]),
                     fmt::format("{}/{}", kPrimaryServerKey, kFailoverServerKey), platform::config::filePath());
    }
}

// The primary and the fail-over server. An instance that names only its primary server uses it for
// both, so a device pointed at a private backend never fails over to the public one.
QList<QUrl> SettingsController::serverList() const {
    const QUrl primary =
        primaryOverride_.isEmpty() ? QUrl(QString::fromLatin1(kPrimaryServer), QUrl::TolerantMode) : primaryOverride_;
    QUrl failover = failoverOverride_;
    if (failover.isEmpty()) {
        failover = primaryOverride_.isEmpty() ? QUrl(QString::fromLatin1(kFailoverServer), QUrl::TolerantMode)
                                              : primaryOverride_;
    }
    return {primary, failover};
}

QUrl SettingsController::serverUrl() const {
    const QList<QUrl> servers = serverList();
    if (currentServerIndex_ < 0 || currentServerIndex_ >= servers.size()) return servers.first();
    return servers.at(currentServerIndex_);
}

void SettingsController::failoverServer() {
    currentServerIndex_ = (currentServerIndex_ + 1) % static_cast<int>(serverList().size());
    spdlog::info("Server failover: switched to {}", text(serverUrl()));
}

}  // namespace veltrix
