// The desktop client's own keys of the per-user store: preferences read by the entry, the main
// window and the settings dialog, the recent-partner history and the Wake-on-LAN addresses.
// Every accessor goes to the store at once; nothing is cached.
#include <QSettings>

#include "core/SettingsController.h"

namespace veltrix {
namespace {

const QString kAutoInstallUpdatesKey = QStringLiteral("general/autoInstallUpdates");
const QString kAutoUpdateOnStartupKey = QStringLiteral("general/autoUpdateOnStartup");
const QString kLanguageKey = QStringLiteral("general/language");
const QString kAutoReconnectKey = QStringLiteral("network/autoReconnect");
const QString kMaxReconnectAttemptsKey = QStringLiteral("network/maxReconnectAttempts");
const QString kMinimizeToTrayKey = QStringLiteral("advanced/minimizeToTray");
const QString kRecentPartnerIdsKey = QStringLiteral("history/recentPartnerIds");
const QString kWakeOnLanPrefix = QStringLiteral("wol/");

constexpr int kDefaultMaxReconnectAttempts = 10;

}  // namespace

bool SettingsController::autoInstallUpdates() const { return readBool(Store::User, kAutoInstallUpdatesKey, true); }

void SettingsController::setAutoInstallUpdates(bool enabled) { write(Store::User, kAutoInstallUpdatesKey, enabled); }

bool SettingsController::autoUpdateOnStartup() const { return readBool(Store::User, kAutoUpdateOnStartupKey, true); }

void SettingsController::setAutoUpdateOnStartup(bool enabled) { write(Store::User, kAutoUpdateOnStartupKey, enabled); }

QString SettingsController::language() const { return read(Store::User, kLanguageKey).toString(); }

void SettingsController::setLanguage(const QString& language) { write(Store::User, kLanguageKey, language); }

bool SettingsController::autoReconnect() const { return readBool(Store::User, kAutoReconnectKey, true); }

void SettingsController::setAutoReconnect(bool enabled) { write(Store::User, kAutoReconnectKey, enabled); }

int SettingsController::maxReconnectAttempts() const {
    return readInt(Store::User, kMaxReconnectAttemptsKey, kDefaultMaxReconnectAttempts);
}

void SettingsController::setMaxReconnectAttempts(int attempts) {
    write(Store::User, kMaxReconnectAttemptsKey, attempts);
}

bool SettingsController::minimizeToTray() const { return readBool(Store::User, kMinimizeToTrayKey, true); }

void SettingsController::setMinimizeToTray(bool enabled) { write(Store::User, kMinimizeToTrayKey, enabled); }

// An INI store gives a one-entry list back as a plain text; toStringList reads both forms.
QStringList SettingsController::recentPartnerIds() const {
    return read(Store::User, kRecentPartnerIdsKey).toStringList();
}

void SettingsController::addRecentPartnerId(const QString& id) {
    QString bare = id;
    bare.remove(QLatin1Char(' '));
    if (bare.isEmpty()) return;
    QStringList ids = recentPartnerIds();
    ids.removeAll(bare);
    ids.prepend(bare);
    while (ids.size() > kMaxRecentPartnerIds) ids.removeLast();
    write(Store::User, kRecentPartnerIdsKey, ids);
}

QString SettingsController::wakeOnLanAddress(const QString& partnerId) const {
    return read(Store::User, kWakeOnLanPrefix + partnerId).toString();
}

void SettingsController::setWakeOnLanAddress(const QString& partnerId, const QString& address) {
    write(Store::User, kWakeOnLanPrefix + partnerId, address);
}

}  // namespace veltrix
