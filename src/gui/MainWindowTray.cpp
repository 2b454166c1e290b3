// The main window's tray icon: its menu's effects, the status mirror and the notifications.
#include <QCoreApplication>

#include <spdlog/spdlog.h>

#include "agent/ServiceIpcClient.h"
#include "gui/MainWindow.h"
#include "gui/SystemTrayIcon.h"

namespace veltrix {

void MainWindow::setupTrayIcon() {
    trayIcon_ = new SystemTrayIcon(this);
    connect(trayIcon_, &SystemTrayIcon::showWindowRequested, this, [this] {
        showNormal();
        activateWindow();
        raise();
    });
    connect(trayIcon_, &SystemTrayIcon::settingsRequested, this, &MainWindow::onSettingsClicked);
    connect(trayIcon_, &SystemTrayIcon::checkForUpdatesRequested, this, &MainWindow::checkForUpdatesRequested);
    connect(trayIcon_, &SystemTrayIcon::disconnectRequested, this, [this] {
        if (ipcClient_->sessionState() != SessionState::Idle) endSessionAtUsersRequest();
    });
    connect(trayIcon_, &SystemTrayIcon::quitRequested, this, [this] {
        if (isSessionActive()) endSessionAtUsersRequest();
        QCoreApplication::quit();
    });
    trayIcon_->show();
}

bool MainWindow::isTrayVisible() const {
    if (!trayIcon_ || !trayIcon_->isVisible()) return false;
    return trayAvailable_ ? trayAvailable_() : QSystemTrayIcon::isSystemTrayAvailable();
}

void MainWindow::trayNotify(const QString& message, bool warning) {
    if (!isTrayVisible()) return;
    trayIcon_->showNotification(tr("Veltrix"), message,
                                warning ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information);
}

void MainWindow::traySetStatus(const QString& text) {
    if (trayIcon_) trayIcon_->setStatus(text);
}

void MainWindow::traySetDisconnectEnabled(bool enabled) {
    if (trayIcon_) trayIcon_->setDisconnectEnabled(enabled);
}

}  // namespace veltrix
