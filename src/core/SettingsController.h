#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariant>

#include <memory>

class QSettings;

namespace veltrix {

// The persistent configuration shared by the service and the desktop client: display and encoder
// preferences in the per-user store, the device identity, the saved secure password and the
// unattended-access switch in the machine store, and the API servers with fail-over. The two
// secrets exist in the stores only in their protected form ("DPAPI2:" + Base64), bound to this
// machine.
class SettingsController : public QObject {
    Q_OBJECT

public:
    explicit SettingsController(QObject* parent = nullptr);
    ~SettingsController() override;

    // Display ("display/..." in the user store).
    int monitorIndex() const;
    void setMonitorIndex(int index);
    bool clipboardSharingEnabled() const;
    void setClipboardSharingEnabled(bool enabled);
    int displayMode() const;
    void setDisplayMode(int mode);

    // Encoder values of the display mode: 0 favours quality, every other mode speed.
    int encoderFps() const;
    int encoderCrf() const;
    QString encoderPreset() const;
    int encoderBitrateKbps() const;

    // Identity and access ("auth/..." and "advanced/..." in the machine store).
    QString clientId() const;
    void setClientId(const QString& clientId);
    // A client ID and a device secret that unwraps.
    bool hasClientId();
    QString deviceSecret();
    void setDeviceSecret(const QString& secret);
    QString savedSecurePassword();
    // False when the password is not stored as given (protection failed and the key was removed,
    // or the store cannot be written).
    bool setSavedSecurePassword(const QString& password);
    bool unattendedAccessEnabled() const;
    void setUnattendedAccessEnabled(bool enabled);

    // The protected form of a secret; empty for an empty text or when protection fails.
    QString wrapSecret(const QString& text) const;
    // The clear text of a "DPAPI2:" or "DPAPI:" value, a plain value unchanged; empty when the
    // value cannot be unwrapped.
    QString unwrapSecret(const QString& text) const;

    // Desktop client preferences and histories (user store; see SettingsControllerClientKeys.cpp).
    bool autoInstallUpdates() const;
    void setAutoInstallUpdates(bool enabled);
    bool autoUpdateOnStartup() const;
    void setAutoUpdateOnStartup(bool enabled);
    // Empty: follow the system's language.
    QString language() const;
    void setLanguage(const QString& language);
    bool autoReconnect() const;
    void setAutoReconnect(bool enabled);
    int maxReconnectAttempts() const;
    void setMaxReconnectAttempts(int attempts);
    bool minimizeToTray() const;
    void setMinimizeToTray(bool enabled);
    // At most kMaxRecentPartnerIds distinct IDs without blanks, most recent first.
    static constexpr int kMaxRecentPartnerIds = 10;
    QStringList recentPartnerIds() const;
    // Moves the ID (blanks removed) to the front of the list; an empty ID is ignored.
    void addRecentPartnerId(const QString& id);
    // The Wake-on-LAN address remembered for a partner ID (taken as given).
    QString wakeOnLanAddress(const QString& partnerId) const;
    void setWakeOnLanAddress(const QString& partnerId, const QString& address);

    // The API server in use, and the switch to the other one.
    QUrl serverUrl() const;
    void failoverServer();

private:
    enum class Store { User, Machine };

    QSettings& store(Store which) const;
    QVariant read(Store which, const QString& key) const;
    int readInt(Store which, const QString& key, int fallback) const;
    bool readBool(Store which, const QString& key, bool fallback) const;
    bool write(Store which, const QString& key, const QVariant& value);
    bool erase(Store which, const QString& key);
    bool commit(Store which);

    QString readSecret(const QString& key, const char* name);
    bool storeSecret(const QString& key, const QString& clear, const char* refusal);
    void migrateLegacyIdentity();

    QList<QUrl> serverList() const;
    void loadServerOverrides();

    std::unique_ptr<QSettings> userStore_;
    std::unique_ptr<QSettings> machineStore_;
    int currentServerIndex_ = 0;
    QUrl primaryOverride_;
    QUrl failoverOverride_;
};

}  // namespace veltrix
