#pragma once

// The main window against a test server on the real pipe: the fixture both window test files use.

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QDesktopServices>
#include <QMetaMethod>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QLineEdit>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QTemporaryDir>
#include <QTest>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "GuiTestSupport.h"
#include "RecordingPipeServer.h"
#include "agent/ServiceIpcClient.h"
#include "core/SettingsController.h"
#include "gui/ButtonCursorFilter.h"
#include "gui/ChatDialog.h"
#include "gui/ClientIcon.h"
#include "gui/ClientStyleSheet.h"
#include "gui/FileManagerDialog.h"
#include "gui/MainWindow.h"
#include "gui/RemoteDesktopWidget.h"
#include "gui/RemoteViewToolbar.h"
#include "gui/SystemTrayIcon.h"
#include "platform/PipeServer.h"
#include "shared/IpcFrameReader.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

namespace veltrix {

// The window's widgets and loop state, for the tests only.
class MainWindowTestAccess {
public:
    explicit MainWindowTestAccess(MainWindow& window) : w(window) {}
    QComboBox* partnerBox() const { return w.partnerBox_; }
    QLineEdit* passwordField() const { return w.passwordField_; }
    QPushButton* connectButton() const { return w.connectButton_; }
    QPushButton* disconnectButton() const { return w.disconnectButton_; }
    QLabel* statusLabel() const { return w.statusLabel_; }
    QLabel* idLabel() const { return w.idLabel_; }
    QLabel* passwordLabel() const { return w.passwordLabel_; }
    QLabel* uptimeLabel() const { return w.uptimeLabel_; }
    QWidget* pairingSection() const { return w.pairingSection_; }
    QWidget* companyClientsButton() const { return w.companyClientsButton_; }
    QLabel* companyNameLabel() const { return w.companyNameLabel_; }
    QFrame* connectCard() const { return w.connectCard_; }
    QFrame* infoCard() const { return w.infoCard_; }
    QWidget* homePage() const { return w.homePage_; }
    int page() const { return w.pageStack_->currentIndex(); }
    bool loopRunning() const { return w.reconnectTimer_.isActive() && w.reconnectStartedMs_.has_value(); }
    QTimer& reconnectTimer() const { return w.reconnectTimer_; }
    void copyId() const { w.onCopyIdClicked(); }
    QAction* passwordVisibilityAction() const { return w.passwordVisibilityAction_; }
    RemoteDesktopWidget* viewer() const { return w.viewer_; }
    RemoteViewToolbar* toolbar() const { return w.toolbar_; }
    QTimer& resolutionTimer() const { return w.resolutionTimer_; }
    ChatDialog* chatDialog() const { return w.chatDialog_; }
    QAction* chatAction() const { return w.chatAction_; }
    SystemTrayIcon* trayIcon() const { return w.trayIcon_; }
    FileManagerDialog* fileManagerDialog() const { return w.fileManagerDialog_; }
    QAction* fileTransferAction() const { return w.fileTransferAction_; }
    FileTransferOwnership& fileTransferOwnership() const { return w.m_fileTransferOwnership; }
    void beginPasteFiles(const QList<QUrl>& urls) const { w.beginPasteFiles(urls); }

private:
    MainWindow& w;
};

namespace test {

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string failure;
        ASSERT_TRUE(pipe.start(failure)) << failure;
        window = std::make_unique<MainWindow>(&pipe.client(), &settings, nullptr, [this] { return nowMs; });
        access = std::make_unique<MainWindowTestAccess>(*window);
        // The tests drive the loop's ticks themselves.
        access->reconnectTimer().setInterval(3600 * 1000);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    void deliver(const IpcMessage& message) { ASSERT_TRUE(pipe.deliver(message)); }

    void state(const char* name, const char* role = "none") {
        deliver({{"type", "STATE"}, {"session_state", name}, {"session_role", role}});
    }

    void logIn(const char* id = "123456789") {
        deliver({{"type", "STATE"},
                 {"session_state", "Idle"},
                 {"session_role", "none"},
                 {"authenticated", true},
                 {"client_id", id},
                 {"session_password", "abc123"}});
    }

    // Every message the client sent since the last call.
    std::vector<IpcMessage> sent() { return pipe.sent(); }

    std::vector<IpcMessage> sentOfType(const std::string& type) {
        std::vector<IpcMessage> matching;
        for (auto& message : sent())
            if (message.value("type", "") == type) matching.push_back(message);
        return matching;
    }

    void typeAndConnect(const QString& id, const QString& password) {
        access->partnerBox()->setEditText(id);
        access->passwordField()->setText(password);
        window->onConnectClicked();
    }

    // Logged in, connected to 987654321 as the viewer.
    void connectAsViewer() {
        logIn();
        typeAndConnect("987 654 321", "secret");
        sent();
        state("Initiating", "master");
        state("Connected", "master");
    }

    QString status() const { return access->statusLabel()->text(); }
    QString statusColour() const {
        const QString style = access->statusLabel()->styleSheet();
        return style.mid(style.indexOf('#'), 7);
    }

    test::TempInstanceRoot root;
    test::LogCapture logs;
    RecordingPipeServer pipe;
    SettingsController settings;
    std::int64_t nowMs = 1000000;
    test::MessageBoxCatcher boxes;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<MainWindowTestAccess> access;
};

}  // namespace test
}  // namespace veltrix
