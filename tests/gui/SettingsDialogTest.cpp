// The settings dialog with real widgets against temporary stores and a pipe server that records
// the commands: the secure-password step, the order and repetition of the service commands, the
// fallbacks of loading, the language notice, the dependent boxes, the log-in entry, and the
// dialog without a pipe client.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "GuiTestSupport.h"
#include "RecordingPipeServer.h"
#include "core/SettingsController.h"
#include "gui/MainWindow.h"
#include "gui/SettingsDialog.h"
#include "platform/LogonTask.h"
#include "platform/ProcessInfo.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

namespace veltrix {

class SettingsDialogTestAccess {
public:
    explicit SettingsDialogTestAccess(SettingsDialog& dialog) : d(dialog) {}
    QTabWidget* tabs() const { return d.tabs_; }
    QComboBox* language() const { return d.languageCombo_; }
    QComboBox* displayMode() const { return d.displayModeCombo_; }
    QComboBox* monitor() const { return d.monitorCombo_; }
    QCheckBox* clipboard() const { return d.clipboardCheck_; }
    QLineEdit* securePassword() const { return d.securePasswordEdit_; }
    QPushButton* showPassword() const { return d.showPasswordButton_; }
    QPushButton* clearPassword() const { return d.clearPasswordButton_; }
    QCheckBox* autoReconnect() const { return d.autoReconnectCheck_; }
    QSpinBox* attempts() const { return d.reconnectAttemptsSpin_; }
    QCheckBox* startAtLogin() const { return d.startAtLoginCheck_; }
    QCheckBox* unattended() const { return d.unattendedCheck_; }
    QCheckBox* updateOnStartup() const { return d.updateOnStartupCheck_; }
    QCheckBox* autoInstall() const { return d.autoInstallCheck_; }
    QCheckBox* minimizeToTray() const { return d.minimizeToTrayCheck_; }
    QPushButton* button(QDialogButtonBox::StandardButton which) const {
        return d.findChild<QDialogButtonBox*>()->button(which);
    }

private:
    SettingsDialog& d;
};

namespace {

using Types = std::vector<std::string>;

// Two monitors side by side on the suite's display for the life of the object.
class TwoMonitors {
public:
    TwoMonitors() {
        ok_ = run("--setmonitor left 640/169x1024/271+0+0 screen") && run("--setmonitor right 640/169x1024/271+640+0 none");
    }
    ~TwoMonitors() {
        run("--delmonitor right");
        run("--delmonitor left");
    }
    bool ok() const { return ok_; }

private:
    static bool run(const std::string& arguments) {
        return std::system(("xrandr " + arguments + " >/dev/null 2>&1").c_str()) == 0;
    }
    bool ok_ = false;
};

class SettingsDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string failure;
        ASSERT_TRUE(pipe.start(failure)) << failure;
    }

    SettingsDialog& open(ServiceIpcClient* client) {
        dialog = std::make_unique<SettingsDialog>(&settings, client);
        access = std::make_unique<SettingsDialogTestAccess>(*dialog);
        dialog->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
        return *dialog;
    }
    SettingsDialog& open() { return open(&pipe.client()); }

    void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    test::TempInstanceRoot root;
    test::RecordingPipeServer pipe;
    SettingsController settings;
    test::MessageBoxCatcher boxes;
    std::unique_ptr<SettingsDialog> dialog;
    std::unique_ptr<SettingsDialogTestAccess> access;
};

const Types kEveryApply = {"SET_DISPLAY_MODE", "SET_CLIPBOARD_SHARING", "SET_MONITOR"};

TEST_F(SettingsDialogTest, AnEmptyLineClearsOnlyAStoredPassword) {
    open();
    EXPECT_TRUE(dialog->applySettings());
    EXPECT_EQ(pipe.sentTypes(), kEveryApply);

    ASSERT_TRUE(settings.setSavedSecurePassword("Stored1!pw"));
    open();
    EXPECT_EQ(access->securePassword()->text(), "Stored1!pw");
    click(access->clearPassword());
    EXPECT_TRUE(access->securePassword()->text().isEmpty());
    EXPECT_TRUE(dialog->applySettings());
    Types expected = {"CLEAR_SECURE_PASSWORD"};
    expected.insert(expected.end(), kEveryApply.begin(), kEveryApply.end());
    EXPECT_EQ(pipe.sentTypes(), expected);
}

TEST_F(SettingsDialogTest, APasswordRefusedByThePolicyStopsTheApplyAndKeepsTheDialogOpen) {
    open();
    access->securePassword()->setText("short1!");
    access->language()->setCurrentIndex(access->language()->findData("de"));
    access->autoReconnect()->setChecked(false);
    access->minimizeToTray()->setChecked(false);
    QSignalSpy changed(dialog.get(), &SettingsDialog::settingsChanged);

    click(access->button(QDialogButtonBox::Ok));

    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].title, "Invalid Secure Password");
    EXPECT_EQ(boxes.boxes()[0].text, "Secure password must be at least 8 characters.");
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), 0);
    EXPECT_TRUE(settings.language().isEmpty());
    EXPECT_TRUE(settings.autoReconnect());
    EXPECT_TRUE(settings.minimizeToTray());
    EXPECT_TRUE(pipe.sentTypes().empty());
    EXPECT_EQ(changed.count(), 0);
    EXPECT_FALSE(dialog->applySettings());
}

TEST_F(SettingsDialogTest, ANewValidPasswordIsSentAndAnUnchangedOneIsNot) {
    ASSERT_TRUE(settings.setSavedSecurePassword("Stored1!pw"));
    open();
    EXPECT_TRUE(dialog->applySettings());
    EXPECT_EQ(pipe.sentTypes(), kEveryApply);

    access->securePassword()->setText("Fresh2#word");
    EXPECT_TRUE(dialog->applySettings());
    const auto messages = pipe.sent();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].value("type", ""), "SET_SECURE_PASSWORD");
    EXPECT_EQ(messages[0].value("password", ""), "Fresh2#word");
}

TEST_F(SettingsDialogTest, ApplyTwiceRepeatsTheDisplayCommandsButUnattendedAccessOnlyAfterAChange) {
    settings.setDisplayMode(0);
    settings.setClipboardSharingEnabled(false);
    settings.setUnattendedAccessEnabled(false);
    open();
    EXPECT_FALSE(access->unattended()->isChecked());
    QSignalSpy changed(dialog.get(), &SettingsDialog::settingsChanged);
    click(access->button(QDialogButtonBox::Apply));
    click(access->button(QDialogButtonBox::Apply));
    const auto messages = pipe.sent();
    ASSERT_EQ(messages.size(), 6u);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(messages[round * 3].value("type", ""), "SET_DISPLAY_MODE");
        EXPECT_EQ(messages[round * 3].value("mode", -1), 0);
        EXPECT_EQ(messages[round * 3 + 1].value("type", ""), "SET_CLIPBOARD_SHARING");
        EXPECT_EQ(messages[round * 3 + 1].value("enabled", true), false);
        EXPECT_EQ(messages[round * 3 + 2].value("type", ""), "SET_MONITOR");
    }
    EXPECT_EQ(changed.count(), 2);
    EXPECT_TRUE(dialog->isVisible());

    access->unattended()->setChecked(true);
    click(access->button(QDialogButtonBox::Apply));
    auto after = pipe.sent();
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[3].value("type", ""), "SET_UNATTENDED_ACCESS");
    EXPECT_EQ(after[3].value("enabled", false), true);
    click(access->button(QDialogButtonBox::Apply));
    EXPECT_EQ(pipe.sentTypes(), kEveryApply);
    access->unattended()->setChecked(false);
    dialog->applySettings();
    after = pipe.sent();
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[3].value("enabled", true), false);
}

TEST_F(SettingsDialogTest, LoadingFallsBackForValuesThatNoLongerFit) {
    TwoMonitors monitors;
    ASSERT_TRUE(monitors.ok());
    settings.setMonitorIndex(5);
    settings.setDisplayMode(7);
    settings.setLanguage("xx");
    open();
    ASSERT_EQ(access->monitor()->count(), 2);
    EXPECT_EQ(access->monitor()->itemText(0), "Monitor 1: left (640x1024, Primary)");
    EXPECT_EQ(access->monitor()->itemText(1), "Monitor 2: right (640x1024)");
    EXPECT_EQ(access->monitor()->currentIndex(), 0);
    EXPECT_EQ(access->displayMode()->currentText(), "Optimize Speed");
    EXPECT_EQ(access->language()->currentText(), "System default");
    EXPECT_EQ(access->language()->count(), 13);

    settings.setMonitorIndex(1);
    settings.setDisplayMode(0);
    settings.setLanguage("DE");
    open();
    EXPECT_EQ(access->monitor()->currentIndex(), 1);
    EXPECT_EQ(access->displayMode()->currentText(), "Optimize Quality");
    EXPECT_EQ(access->language()->currentText(), "Deutsch");
    dialog->applySettings();
    const auto messages = pipe.sent();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[2].value("monitor_index", -1), 1);
}

TEST_F(SettingsDialogTest, ANewLanguageShowsTheRestartNoticeOnce) {
    open();
    access->language()->setCurrentIndex(access->language()->findData("fr"));
    dialog->applySettings();
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].title, "Language Changed");
    EXPECT_EQ(boxes.boxes()[0].text, "Please restart the application to apply the new language.");
    EXPECT_EQ(settings.language(), "fr");
    dialog->applySettings();
    EXPECT_EQ(boxes.boxes().size(), 1u);
}

TEST_F(SettingsDialogTest, DependentControlsFollowTheirBoxes) {
    settings.setAutoReconnect(false);
    settings.setAutoUpdateOnStartup(false);
    settings.setMaxReconnectAttempts(99);
    open();
    EXPECT_FALSE(access->attempts()->isEnabled());
    EXPECT_FALSE(access->autoInstall()->isEnabled());
    EXPECT_EQ(access->attempts()->value(), 30);
    click(access->autoReconnect());
    click(access->updateOnStartup());
    EXPECT_TRUE(access->attempts()->isEnabled());
    EXPECT_TRUE(access->autoInstall()->isEnabled());
    access->attempts()->setValue(4);
    dialog->applySettings();
    EXPECT_TRUE(settings.autoReconnect());
    EXPECT_TRUE(settings.autoUpdateOnStartup());
    EXPECT_EQ(settings.maxReconnectAttempts(), 4);

    click(access->showPassword());
    EXPECT_EQ(access->securePassword()->echoMode(), QLineEdit::Normal);
    EXPECT_EQ(access->showPassword()->text(), "Hide");
    click(access->showPassword());
    EXPECT_EQ(access->securePassword()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(access->showPassword()->text(), "Show");
}

TEST_F(SettingsDialogTest, StartAtLogInReflectsAndWritesTheUsersEntry) {
    const auto program = platform::process::ownProgramPath();
    open();
    EXPECT_EQ(access->startAtLogin()->text(), "Start at log-in");
    EXPECT_FALSE(access->startAtLogin()->isChecked());
    access->startAtLogin()->setChecked(true);
    dialog->applySettings();
    EXPECT_TRUE(platform::logon::taskStartsProgram(program));
    open();
    EXPECT_TRUE(access->startAtLogin()->isChecked());
    access->startAtLogin()->setChecked(false);
    dialog->applySettings();
    EXPECT_FALSE(platform::logon::taskExists());
    dialog->applySettings();  // nothing to remove: still fine

    // An entry that starts another program is not ours.
    platform::SystemError error;
    ASSERT_TRUE(platform::logon::createTask("/usr/bin/true", error)) << error.text();
    open();
    EXPECT_FALSE(access->startAtLogin()->isChecked());
}

TEST_F(SettingsDialogTest, WithoutAPipeClientOnlyTheStoresAreWritten) {
    open(nullptr);
    access->displayMode()->setCurrentIndex(0);
    access->clipboard()->setChecked(false);
    access->securePassword()->setText("Fresh2#word");
    access->unattended()->setChecked(true);
    access->minimizeToTray()->setChecked(false);
    click(access->button(QDialogButtonBox::Ok));
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(settings.displayMode(), 0);
    EXPECT_FALSE(settings.clipboardSharingEnabled());
    EXPECT_FALSE(settings.minimizeToTray());
    EXPECT_TRUE(pipe.sentTypes().empty());
}

TEST_F(SettingsDialogTest, CancelStoresNothingAndEveryTabHasItsPicture) {
    TwoMonitors monitors;
    open();
    EXPECT_EQ(dialog->windowTitle(), "Settings");
    EXPECT_GE(dialog->minimumWidth(), 460);
    EXPECT_GE(dialog->minimumHeight(), 380);
    const char* names[] = {"settings-display", "settings-security", "settings-network", "settings-advanced"};
    ASSERT_EQ(access->tabs()->count(), 4);
    for (int i = 0; i < 4; ++i) {
        access->tabs()->setCurrentIndex(i);
        QTest::qWait(20);
        EXPECT_FALSE(test::saveArtefact(*dialog, "gui_tests", names[i]).isEmpty());
    }
    access->minimizeToTray()->setChecked(false);
    click(access->button(QDialogButtonBox::Cancel));
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_TRUE(settings.minimizeToTray());
    EXPECT_TRUE(pipe.sentTypes().empty());
}

TEST_F(SettingsDialogTest, TheWindowsSettingsButtonOpensTheDialogModally) {
    test::LogCapture logs;
    MainWindow window(&pipe.client(), &settings);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QPushButton* settingsButton = nullptr;
    for (auto* button : window.findChildren<QPushButton*>())
        if (button->toolTip() == "Settings") settingsButton = button;
    ASSERT_NE(settingsButton, nullptr);

    bool modal = false;
    QTimer::singleShot(0, [&] {
        ASSERT_TRUE(test::waitUntil([] { return QApplication::activeModalWidget() != nullptr; }));
        auto* opened = qobject_cast<SettingsDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(opened, nullptr);
        modal = opened->isModal();
        SettingsDialogTestAccess(*opened).button(QDialogButtonBox::Ok)->click();
    });
    settingsButton->click();
    EXPECT_TRUE(modal);
    EXPECT_TRUE(logs.contains("Settings updated by user"));
    EXPECT_EQ(pipe.sentTypes(), kEveryApply);
}

}  // namespace
}  // namespace veltrix
