#include "gui/SystemTrayIcon.h"

#include <QAction>
#include <QMenu>

#include <spdlog/spdlog.h>

#include "gui/ClientIcon.h"

namespace veltrix {

SystemTrayIcon::SystemTrayIcon(QObject* parent) : QSystemTrayIcon(parent), menu_(std::make_unique<QMenu>()) {
    setIcon(clientIcon());

    showAction_ = menu_->addAction(tr("Show"), this, &SystemTrayIcon::showWindowRequested);
    statusAction_ = menu_->addAction(tr("Status: Disconnected"));
    statusAction_->setEnabled(false);
    menu_->addSeparator();
    disconnectAction_ = menu_->addAction(tr("Disconnect"), this, &SystemTrayIcon::disconnectRequested);
    disconnectAction_->setEnabled(false);
    menu_->addAction(tr("Settings"), this, &SystemTrayIcon::settingsRequested);
    menu_->addAction(tr("Check for updates"), this, &SystemTrayIcon::checkForUpdatesRequested);
    menu_->addSeparator();
    quitAction_ = menu_->addAction(tr("Quit"), this, &SystemTrayIcon::quitRequested);
    setContextMenu(menu_.get());

    setToolTip(tr("Veltrix - Remote Access"));
    connect(this, &QSystemTrayIcon::activated, this, &SystemTrayIcon::onActivated);
    spdlog::info("System tray icon initialized");
}

SystemTrayIcon::~SystemTrayIcon() = default;

void SystemTrayIcon::setDisconnectEnabled(bool enabled) {
    disconnectAction_->setEnabled(enabled);
    spdlog::debug("Tray disconnect action enabled: {}", enabled);
}

void SystemTrayIcon::setStatus(const QString& text) {
    statusAction_->setText(text);
    spdlog::debug("Tray status updated: {}", text.toStdString());
}

void SystemTrayIcon::showNotification(const QString& title, const QString& message,
                                      QSystemTrayIcon::MessageIcon icon) {
    if (!supportsMessages()) {
        spdlog::warn("System tray does not support balloon notifications");
        return;
    }
    showMessage(title, message, icon, kNotificationMs);
    spdlog::info("Tray notification shown: {} - {}", title.toStdString(), message.toStdString());
}

void SystemTrayIcon::onActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::DoubleClick) return;
    spdlog::debug("Tray icon double-clicked, requesting window show");
    emit showWindowRequested();
}

}  // namespace veltrix
