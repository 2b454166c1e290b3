// The update banner and the installer hand-off: one banner per run, "Update Now" and its return
// after a failed download, automatic installation held back during a session, and the service
// stopped (and restarted when the installer cannot start) around a test installer.
#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <memory>

#include "GuiTestSupport.h"
#include "agent/ServiceIpcClient.h"
#include "core/SettingsController.h"
#include "gui/MainWindow.h"
#include "gui/UpdateService.h"
#include "platform/PipeServer.h"
#include "shared/IpcFrameReader.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The service manager's control program: state from a file, stop and start change it at once.
constexpr const char* kFakeControl = R"sh(#!/bin/sh
here=$(dirname "$0")
echo "$1" >> "$here/control.log"
case "$1" in
  show) echo LoadState=loaded; echo "ActiveState=$(cat "$here/control.state")" ;;
  stop) echo inactive > "$here/control.state" ;;
  start) echo active > "$here/control.state" ;;
esac
exit 0
)sh";

// The installer: writes its arguments and the service state it found.
constexpr const char* kTestInstaller = R"sh(#!/bin/sh
here=$(dirname "$0")
echo "$* $(cat "$here/control.state")" > "$here/installer.out"
exit 0
)sh";

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

class MainWindowUpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path folder = root.path() / "control";
        writeFile(folder / "fake-control", kFakeControl);
        writeFile(folder / "control.state", "active\n");
        writeFile(installer, kTestInstaller);
        fs::permissions(folder / "fake-control", fs::perms::owner_all);
        fs::permissions(installer, fs::perms::owner_all);
        // The download host is a closed loopback port: every download fails quickly.
        writeFile(root.path() / "instance.ini", "[service]\ncontrol_program=" + (folder / "fake-control").string() +
                                                    "\n[update]\nhost=localhost:1\n[helpdesk]\nhost=localhost:1\n");
        platform::SystemError error;
        ASSERT_TRUE(server.createInstance(error)) << error.text();
        ASSERT_TRUE(client.connectToService());
        ASSERT_EQ(server.connectClient(error), platform::PipeConnectStatus::Connected);
        updates = std::make_unique<UpdateService>();
        window = std::make_unique<MainWindow>(&client, &settings);
        window->setUpdateService(updates.get());
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        state("Idle");
    }

    void state(const char* name) {
        const IpcMessage message{{"type", "STATE"}, {"session_state", name}, {"session_role", "master"}};
        ASSERT_EQ(server.client().write(encodeIpcFrame(message)).status, platform::PipeStatus::Ok);
        client.onPipePoll();
    }

    QString downloadUrl() const { return QStringLiteral("https://localhost:1/download/VeltrixSetup.exe"); }
    QWidget* banner() const { return window->findChild<QWidget*>(QStringLiteral("updateBanner")); }
    QPushButton* updateNow() const {
        return banner() ? banner()->findChild<QPushButton*>(QStringLiteral("primaryButton")) : nullptr;
    }
    std::string installerOutput() const { return test::readTextFile(root.path() / "control" / "installer.out"); }
    std::string controlLog() const { return test::readTextFile(root.path() / "control" / "control.log"); }

    test::TempInstanceRoot root;
    test::LogCapture logs;
    fs::path installer = root.path() / "control" / "test-installer";
    platform::PipeServer server{ServiceIpcClient::kPipeName};
    ServiceIpcClient client;
    SettingsController settings;
    test::MessageBoxCatcher boxes;
    std::unique_ptr<UpdateService> updates;
    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowUpdateTest, TwoAnnouncementsShowOneBanner) {
    settings.setAutoInstallUpdates(false);
    window->onUpdateAvailable(QStringLiteral("1.302"), downloadUrl());
    window->onUpdateAvailable(QStringLiteral("1.303"), downloadUrl());
    EXPECT_EQ(window->findChildren<QWidget*>(QStringLiteral("updateBanner")).size(), 1);
    ASSERT_NE(banner(), nullptr);
    EXPECT_NE(banner()->findChild<QLabel*>()->text().indexOf(QStringLiteral("Update available: v1.302")), -1);
    EXPECT_FALSE(logs.contains("Auto-install"));
    test::runEventsFor(100ms);
    EXPECT_FALSE(test::saveArtefact(*window, QStringLiteral("gui"), QStringLiteral("update-banner")).isEmpty());
}

// The version is the update host's text: shown as it is, never drawn as markup.
TEST_F(MainWindowUpdateTest, TheBannerShowsTheManifestsVersionAsText) {
    settings.setAutoInstallUpdates(false);
    window->onUpdateAvailable(QStringLiteral("<h1 style='color:red'>9.9</h1>"), downloadUrl());
    ASSERT_NE(banner(), nullptr);
    QLabel* label = banner()->findChild<QLabel*>();
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), "Update available: v<h1 style='color:red'>9.9</h1>");
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
}

TEST_F(MainWindowUpdateTest, AFailedDownloadGivesTheButtonBack) {
    settings.setAutoInstallUpdates(false);
    window->onUpdateAvailable(QStringLiteral("1.302"), downloadUrl());
    ASSERT_NE(updateNow(), nullptr);
    updateNow()->click();
    EXPECT_EQ(updateNow()->text(), QStringLiteral("Downloading..."));
    EXPECT_FALSE(updateNow()->isEnabled());
    ASSERT_TRUE(test::waitUntil([&] { return updateNow()->isEnabled(); }, 10s));
    EXPECT_EQ(updateNow()->text(), QStringLiteral("Update Now"));
}

TEST_F(MainWindowUpdateTest, AutoInstallWaitsForTheSessionToEnd) {
    settings.setAutoInstallUpdates(true);
    state("Connected");
    window->onUpdateAvailable(QStringLiteral("1.302"), downloadUrl());
    EXPECT_TRUE(logs.contains("found but a session is active — deferring until it ends"));
    EXPECT_FALSE(logs.contains("Auto-install: downloading update"));
    EXPECT_FALSE(logs.contains("Downloading update from"));
    state("Idle");
    EXPECT_TRUE(logs.contains("Auto-install: downloading update v1.302..."));
    EXPECT_TRUE(logs.contains("Downloading update from"));
}

TEST_F(MainWindowUpdateTest, AVerifiedInstallerWaitsForIdleThenStopsTheServiceAndRuns) {
    settings.setAutoInstallUpdates(true);
    window->onUpdateAvailable(QStringLiteral("1.302"), downloadUrl());  // download starts (and fails) at once
    state("Connected");
    window->onReadyToInstall(QString::fromStdString(installer.string()));
    EXPECT_TRUE(logs.contains("deferring install until the active session ends"));
    test::runEventsFor(200ms);
    EXPECT_EQ(installerOutput(), "");
    state("Idle");
    ASSERT_TRUE(test::waitUntil([&] { return !installerOutput().empty(); }, 10s));
    EXPECT_EQ(installerOutput(), "/SILENT /SUPPRESSMSGBOXES inactive\n");
    EXPECT_TRUE(logs.contains("Stopped VeltrixService for update"));
}

TEST_F(MainWindowUpdateTest, AManualUpdateInstallsEvenDuringASession) {
    settings.setAutoInstallUpdates(false);
    state("Connected");
    window->onReadyToInstall(QString::fromStdString(installer.string()));
    ASSERT_TRUE(test::waitUntil([&] { return !installerOutput().empty(); }, 10s));
    EXPECT_EQ(installerOutput(), "/SILENT /SUPPRESSMSGBOXES inactive\n");
}

TEST_F(MainWindowUpdateTest, AnInstallerThatCannotStartBringsTheServiceBack) {
    settings.setAutoInstallUpdates(false);
    window->onReadyToInstall(QString::fromStdString((root.path() / "missing-installer").string()));
    EXPECT_TRUE(logs.contains("Cannot start installer"));
    EXPECT_EQ(test::readTextFile(root.path() / "control" / "control.state"), "active\n");
    EXPECT_NE(controlLog().find("stop\n"), std::string::npos);
    EXPECT_NE(controlLog().find("start\n"), std::string::npos);
    EXPECT_TRUE(window->isVisible());
}

TEST_F(MainWindowUpdateTest, TheHelpDeskLinkSendsLogsAndComesBack) {
    test::UrlCatcher opened;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &opened, "open");
    QLabel* link = nullptr;
    for (QLabel* label : window->findChildren<QLabel*>())
        if (label->text().contains(QStringLiteral("Report issue to HelpDesk"))) link = label;
    ASSERT_NE(link, nullptr);
    const QString text = link->text();
    emit link->linkActivated(QStringLiteral("#"));
    EXPECT_TRUE(link->text().contains(QStringLiteral("Sending logs...")));
    EXPECT_FALSE(link->isEnabled());
    ASSERT_TRUE(test::waitUntil([&] { return link->isEnabled(); }, 10s));
    EXPECT_EQ(link->text(), text);
    ASSERT_EQ(opened.opened.size(), 1);
    EXPECT_TRUE(opened.opened[0].toString().startsWith(QStringLiteral("https://localhost:1/HelpDesk/AddNewTicket/")));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
}

TEST_F(MainWindowUpdateTest, TheTrayCheckUsesTheUpdateService) {
    window->checkForUpdatesRequested();
    EXPECT_TRUE(logs.contains("Checking for updates at https://localhost:1/download/VeltrixSetup.json"));
}

}  // namespace
}  // namespace veltrix

