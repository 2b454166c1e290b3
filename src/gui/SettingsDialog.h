#pragma once

#include <QDialog>
#include <QString>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QWidget;

namespace veltrix {

class ServiceIpcClient;
class SettingsController;

// The client's settings window: Display, Security, Network and Advanced tabs over OK, Cancel and
// Apply. It reads every value from the settings controller when it opens; Apply and OK write them
// back, tell the service what the service uses itself (display mode, clipboard sharing, capture
// monitor, secure password, unattended access) and write or remove the log-in autostart entry.
// The values live in the stores, not here: the dialog is built for one opening and thrown away.
class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    // `ipcClient` may be null: then only the local stores are written.
    SettingsDialog(SettingsController* settings, ServiceIpcClient* ipcClient, QWidget* parent = nullptr);

signals:
    void settingsChanged();

public slots:
    // Applies every setting; false only when the secure password fails the policy, in which case
    // the refusal is shown and nothing after the password is applied.
    bool applySettings();

private:
    friend class SettingsDialogTestAccess;

    QWidget* buildDisplayTab();
    QWidget* buildSecurityTab();
    QWidget* buildNetworkTab();
    QWidget* buildAdvancedTab();
    void loadSettings();

    bool applySecurePassword();
    void applyLanguage();
    void applyDisplay();
    void applyLogonTask();
    void applyUnattendedAccess();

    void onOkClicked();
    void onShowPasswordToggled(bool shown);

    SettingsController* settings_;
    ServiceIpcClient* ipcClient_;

    QTabWidget* tabs_ = nullptr;
    QComboBox* languageCombo_ = nullptr;
    QComboBox* displayModeCombo_ = nullptr;
    QComboBox* monitorCombo_ = nullptr;
    QCheckBox* clipboardCheck_ = nullptr;
    QLineEdit* securePasswordEdit_ = nullptr;
    QPushButton* showPasswordButton_ = nullptr;
    QPushButton* clearPasswordButton_ = nullptr;
    QCheckBox* autoReconnectCheck_ = nullptr;
    QSpinBox* reconnectAttemptsSpin_ = nullptr;
    QCheckBox* startAtLoginCheck_ = nullptr;
    QCheckBox* unattendedCheck_ = nullptr;
    QCheckBox* updateOnStartupCheck_ = nullptr;
    QCheckBox* autoInstallCheck_ = nullptr;
    QCheckBox* minimizeToTrayCheck_ = nullptr;

    // The unattended-access state the service was last told (or the stored one at opening), so
    // the command goes out only when the user changed the box: the service refuses it to
    // non-administrators, who would otherwise see that refusal on every OK.
    bool unattendedBaseline_ = false;
};

}  // namespace veltrix
