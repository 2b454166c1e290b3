#include "gui/SettingsDialog.h"

#include <cerrno>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include <spdlog/spdlog.h>

#include "agent/ScreenCaptureManager.h"
#include "agent/ServiceIpcClient.h"
#include "core/SecurePasswordPolicy.h"
#include "core/SettingsController.h"
#include "gui/StyledLabel.h"
#include "platform/LogonTask.h"
#include "platform/ProcessInfo.h"

namespace veltrix {
namespace {

struct Language {
    const char* name;  // in its own language, never translated
    const char* code;
};

constexpr Language kLanguages[] = {
    {"", ""},  // "System default", translated at run time
    {"Čeština", "cs"},  {"Slovenčina", "sk"}, {"English", "en"}, {"Deutsch", "de"},
    {"Polski", "pl"},   {"Magyar", "hu"},     {"Français", "fr"}, {"Italiano", "it"},
    {"Español", "es"},  {"Svenska", "sv"},    {"Suomi", "fi"},    {"Norsk", "nb"},
};

constexpr int kMinReconnectAttempts = 1;
constexpr int kMaxReconnectAttempts = 30;

QCheckBox* checkBox(const QString& text, const QString& toolTip, QWidget* parent) {
    auto* box = new QCheckBox(text, parent);
    box->setToolTip(toolTip);
    return box;
}

// The entry whose data equals `value`, or `fallback` when none does.
void selectByData(QComboBox* combo, const QVariant& value, int fallback) {
    const int index = combo->findData(value);
    combo->setCurrentIndex(index >= 0 ? index : fallback);
}

}  // namespace

SettingsDialog::SettingsDialog(SettingsController* settings, ServiceIpcClient* ipcClient, QWidget* parent)
    : QDialog(parent), settings_(settings), ipcClient_(ipcClient) {
    setWindowTitle(tr("Settings"));
    setMinimumSize(460, 380);

    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    tabs_->addTab(buildDisplayTab(), tr("Display"));
    tabs_->addTab(buildSecurityTab(), tr("Security"));
    tabs_->addTab(buildNetworkTab(), tr("Network"));
    tabs_->addTab(buildAdvancedTab(), tr("Advanced"));
    layout->addWidget(tabs_);

    auto* buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this);
    connect(buttons->button(QDialogButtonBox::Ok), &QPushButton::clicked, this, &SettingsDialog::onOkClicked);
    connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, &SettingsDialog::applySettings);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    loadSettings();
}

QWidget* SettingsDialog::buildDisplayTab() {
    auto* tab = new QWidget(this);
    auto* form = new QFormLayout(tab);

    languageCombo_ = new QComboBox(tab);
    for (const Language& language : kLanguages) {
        const QString name = *language.code ? QString::fromUtf8(language.name) : tr("System default");
        languageCombo_->addItem(name, QString::fromLatin1(language.code));
    }
    languageCombo_->setToolTip(tr("Application language. Requires restart to take effect."));
    form->addRow(tr("Language *:"), languageCombo_);
    form->addRow(QString(), styledLabel(tr("* Requires restart"),
                                        "color: #8892b0; font-size: 10px; font-style: italic;", tab));

    displayModeCombo_ = new QComboBox(tab);
    displayModeCombo_->addItem(tr("Optimize Quality"), 0);
    displayModeCombo_->addItem(tr("Optimize Speed"), 1);
    displayModeCombo_->setToolTip(
        tr("Quality: 30 fps, very sharp image, higher bandwidth (~8 Mbps).\n"
           "Speed: 10 fps, lower bandwidth and CPU usage."));
    form->addRow(tr("Display mode:"), displayModeCombo_);

    monitorCombo_ = new QComboBox(tab);
    for (const MonitorListEntry& monitor : ScreenCaptureManager::listMonitors()) {
        monitorCombo_->addItem(tr("Monitor %1: %2 (%3x%4%5)")
                                   .arg(monitor.index + 1)
                                   .arg(monitor.name)
                                   .arg(monitor.width)
                                   .arg(monitor.height)
                                   .arg(monitor.primary ? tr(", Primary") : QString()),
                               monitor.index);
    }
    monitorCombo_->setToolTip(tr("Select which monitor to share when someone connects to this device."));
    form->addRow(tr("Capture monitor:"), monitorCombo_);

    clipboardCheck_ = checkBox(tr("Enable clipboard sharing"),
                               tr("Synchronise clipboard content between the local and remote machines."), tab);
    form->addRow(clipboardCheck_);
    return tab;
}

QWidget* SettingsDialog::buildSecurityTab() {
    auto* tab = new QWidget(this);
    auto* layout = new QVBoxLayout(tab);
    layout->addWidget(styledLabel(tr("Secure password (for unattended access)"), "font-weight: 600;", tab));

    auto* row = new QHBoxLayout;
    securePasswordEdit_ = new QLineEdit(tab);
    securePasswordEdit_->setEchoMode(QLineEdit::Password);
    securePasswordEdit_->setPlaceholderText(tr("Leave empty to disable"));
    row->addWidget(securePasswordEdit_, 1);
    showPasswordButton_ = new QPushButton(tr("Show"), tab);
    showPasswordButton_->setCheckable(true);
    connect(showPasswordButton_, &QPushButton::toggled, this, &SettingsDialog::onShowPasswordToggled);
    row->addWidget(showPasswordButton_);
    clearPasswordButton_ = new QPushButton(tr("Clear"), tab);
    connect(clearPasswordButton_, &QPushButton::clicked, securePasswordEdit_, &QLineEdit::clear);
    row->addWidget(clearPasswordButton_);
    layout->addLayout(row);

    auto* note = styledLabel(
        tr("Must be at least 8 characters with uppercase, lowercase, digit, and a special character. The password "
           "displayed on the main window is regenerated on every launch; this one is a permanent, fixed password "
           "that is also accepted for incoming connections."),
        "color: #8892b0; font-size: 11px;", tab);
    note->setWordWrap(true);
    layout->addWidget(note);
    layout->addStretch();
    return tab;
}

QWidget* SettingsDialog::buildNetworkTab() {
    auto* tab = new QWidget(this);
    auto* form = new QFormLayout(tab);
    autoReconnectCheck_ =
        checkBox(tr("Auto-reconnect on disconnect"),
                 tr("Automatically attempt to re-establish the connection after an unexpected disconnect."), tab);
    form->addRow(autoReconnectCheck_);
    reconnectAttemptsSpin_ = new QSpinBox(tab);
    reconnectAttemptsSpin_->setRange(kMinReconnectAttempts, kMaxReconnectAttempts);
    reconnectAttemptsSpin_->setToolTip(tr("Maximum number of consecutive reconnection attempts before giving up."));
    form->addRow(tr("Max reconnect attempts:"), reconnectAttemptsSpin_);
    connect(autoReconnectCheck_, &QCheckBox::toggled, reconnectAttemptsSpin_, &QSpinBox::setEnabled);
    return tab;
}

QWidget* SettingsDialog::buildAdvancedTab() {
    auto* tab = new QWidget(this);
    auto* layout = new QVBoxLayout(tab);
    startAtLoginCheck_ =
        checkBox(tr("Start at log-in"), tr("Automatically start Veltrix when you log in."), tab);
    unattendedCheck_ = checkBox(tr("Unattended access"),
                                tr("Allow incoming connections when no user is logged in or the\n"
                                   "machine is locked (shows the log-in screen to the remote user)."),
                                tab);
    updateOnStartupCheck_ = checkBox(tr("Automatically check for updates on startup"),
                                     tr("When enabled, Veltrix checks for a newer version each time it starts and "
                                        "prompts to update if one is available."),
                                     tab);
    autoInstallCheck_ = checkBox(tr("Automatically download and install updates"),
                                 tr("When enabled, an available update is downloaded, verified and installed "
                                    "automatically without clicking the banner. The install waits until any active "
                                    "remote session has ended."),
                                 tab);
    connect(updateOnStartupCheck_, &QCheckBox::toggled, autoInstallCheck_, &QCheckBox::setEnabled);
    minimizeToTrayCheck_ = checkBox(tr("Minimize to tray on close"),
                                    tr("Keep the application running in the system tray when the window is closed."),
                                    tab);
    for (QCheckBox* box :
         {startAtLoginCheck_, unattendedCheck_, updateOnStartupCheck_, autoInstallCheck_, minimizeToTrayCheck_})
        layout->addWidget(box);
    layout->addStretch();
    return tab;
}

void SettingsDialog::loadSettings() {
    const QString language = settings_->language();
    int languageIndex = 0;
    for (int i = 1; i < languageCombo_->count(); ++i) {
        if (languageCombo_->itemData(i).toString().compare(language, Qt::CaseInsensitive) == 0) {
            languageIndex = i;
            break;
        }
    }
    languageCombo_->setCurrentIndex(languageIndex);
    selectByData(displayModeCombo_, settings_->displayMode(), 1);
    clipboardCheck_->setChecked(settings_->clipboardSharingEnabled());
    selectByData(monitorCombo_, settings_->monitorIndex(), 0);

    autoReconnectCheck_->setChecked(settings_->autoReconnect());
    reconnectAttemptsSpin_->setValue(settings_->maxReconnectAttempts());
    reconnectAttemptsSpin_->setEnabled(autoReconnectCheck_->isChecked());

    securePasswordEdit_->setText(settings_->savedSecurePassword());
    startAtLoginCheck_->setChecked(platform::logon::taskStartsProgram(platform::process::ownProgramPath()));
    unattendedBaseline_ = settings_->unattendedAccessEnabled();
    unattendedCheck_->setChecked(unattendedBaseline_);
    updateOnStartupCheck_->setChecked(settings_->autoUpdateOnStartup());
    autoInstallCheck_->setChecked(settings_->autoInstallUpdates());
    autoInstallCheck_->setEnabled(updateOnStartupCheck_->isChecked());
    minimizeToTrayCheck_->setChecked(settings_->minimizeToTray());
}

bool SettingsDialog::applySettings() {
    if (!applySecurePassword()) return false;
    applyLanguage();
    applyDisplay();
    settings_->setAutoReconnect(autoReconnectCheck_->isChecked());
    settings_->setMaxReconnectAttempts(reconnectAttemptsSpin_->value());
    applyLogonTask();
    applyUnattendedAccess();
    settings_->setAutoUpdateOnStartup(updateOnStartupCheck_->isChecked());
    settings_->setAutoInstallUpdates(autoInstallCheck_->isChecked());
    settings_->setMinimizeToTray(minimizeToTrayCheck_->isChecked());
    emit settingsChanged();
    return true;
}

bool SettingsDialog::applySecurePassword() {
    const QString typed = securePasswordEdit_->text();
    const QString stored = settings_->savedSecurePassword();
    if (typed.isEmpty()) {
        if (!stored.isEmpty() && ipcClient_) ipcClient_->clearSecurePassword();
        return true;
    }
    const QString refusal = SecurePasswordPolicy::refusal(typed);
    if (!refusal.isEmpty()) {
        QMessageBox::warning(this, tr("Invalid Secure Password"), refusal);
        return false;
    }
    if (typed != stored && ipcClient_) ipcClient_->setSecurePassword(typed);
    return true;
}

void SettingsDialog::applyLanguage() {
    const QString chosen = languageCombo_->currentData().toString();
    if (chosen == settings_->language()) return;
    settings_->setLanguage(chosen);
    QMessageBox::information(this, tr("Language Changed"),
                             tr("Please restart the application to apply the new language."));
}

void SettingsDialog::applyDisplay() {
    const int mode = displayModeCombo_->currentData().toInt();
    const bool clipboard = clipboardCheck_->isChecked();
    // With no display listed the stored index stays as it is.
    const int monitor = monitorCombo_->count() > 0 ? monitorCombo_->currentData().toInt() : settings_->monitorIndex();
    settings_->setDisplayMode(mode);
    settings_->setClipboardSharingEnabled(clipboard);
    settings_->setMonitorIndex(monitor);
    if (!ipcClient_) return;
    ipcClient_->setDisplayMode(mode);
    ipcClient_->setClipboardSharing(clipboard);
    ipcClient_->setMonitor(monitor);
}

// The user's own autostart entry: written for this very program, or removed. Its outcome is only
// logged; the next opening shows the real state.
void SettingsDialog::applyLogonTask() {
    platform::SystemError error;
    if (startAtLoginCheck_->isChecked()) {
        const auto program = platform::process::ownProgramPath();
        if (program.empty() || !platform::logon::createTask(program, error))
            spdlog::warn("SettingsDialog: cannot write the log-in entry {}: {}", platform::logon::entryPath().string(),
                         error.text());
    } else if (!platform::logon::deleteTask(error) && error.code != ENOENT) {
        spdlog::warn("SettingsDialog: cannot remove the log-in entry {}: {}", platform::logon::entryPath().string(),
                     error.text());
    }
}

void SettingsDialog::applyUnattendedAccess() {
    const bool enabled = unattendedCheck_->isChecked();
    if (!ipcClient_ || enabled == unattendedBaseline_) return;
    ipcClient_->setUnattendedAccess(enabled);
    unattendedBaseline_ = enabled;
}

void SettingsDialog::onOkClicked() {
    if (applySettings()) accept();
}

void SettingsDialog::onShowPasswordToggled(bool shown) {
    securePasswordEdit_->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
    showPasswordButton_->setText(shown ? tr("Hide") : tr("Show"));
}

}  // namespace veltrix
