// The update banner and the hand-off to the installer (when to download, when to install, and
// stopping the service so the installer can replace it), the tray's update check and the
// help-desk link.
#include <QBoxLayout>
#include <QCoreApplication>
#include <QLabel>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QThread>

#include <spdlog/spdlog.h>

#include "agent/ServiceIpcClient.h"
#include "core/SettingsController.h"
#include "gui/HelpDeskReporter.h"
#include "gui/MainWindow.h"
#include "gui/UpdateService.h"
#include "platform/ServiceControl.h"
#include "platform/ServiceManager.h"

namespace veltrix {
namespace {

constexpr const char* kUpdateServiceName = "VeltrixService";
constexpr int kServiceStopPolls = 50;
constexpr int kServiceStopPollMs = 100;

}  // namespace

void MainWindow::setUpdateService(UpdateService* updateService) {
    if (updateService_) QObject::disconnect(updateService_, nullptr, this, nullptr);
    updateService_ = updateService;
    // A failed download gives the banner's button back, so the user can try again.
    if (updateService_)
        connect(updateService_, &UpdateService::updateError, this, [this] { onUpdateDownloadFailed(); });
}

void MainWindow::checkForUpdatesRequested() {
    if (!updateService_) return;
    updateService_->checkForUpdates();
    trayNotify(tr("Checking for updates..."), false);
}

void MainWindow::onUpdateAvailable(QString version, QString downloadUrl) {
    showUpdateBanner(version, downloadUrl);
    if (!settings_->autoInstallUpdates()) return;
    pendingUpdateVersion_ = version;
    pendingUpdateUrl_ = downloadUrl;
    pendingAutoInstall_ = true;
    if (isSessionActive()) {
        spdlog::info("Auto-install: update v{} found but a session is active — deferring until it ends",
                     version.toStdString());
        return;
    }
    startPendingUpdateDownload();
}

void MainWindow::showUpdateBanner(const QString& version, const QString& downloadUrl) {
    if (updateBanner_) return;  // once per run
    updateBanner_ = new QWidget(homePage_);
    updateBanner_->setObjectName(QStringLiteral("updateBanner"));
    updateBanner_->setAttribute(Qt::WA_StyledBackground);
    // Scoped to the banner itself: unscoped, the frame would also draw around the label.
    updateBanner_->setStyleSheet(QStringLiteral(
        "QWidget#updateBanner { background-color: #1e3a5e; border: 1px solid #4da6ff; border-radius: 6px; "
        "padding: 8px; }"));
    auto* row = new QHBoxLayout(updateBanner_);
    row->setContentsMargins(10, 6, 10, 6);
    auto* label = new QLabel(tr("Update available: v%1").arg(version), updateBanner_);
    label->setTextFormat(Qt::PlainText);  // the version is the update host's text
    label->setStyleSheet(QStringLiteral("color: #4da6ff; font-size: 12px; background: transparent;"));
    row->addWidget(label);
    row->addStretch();
    updateNowButton_ = new QPushButton(tr("Update Now"), updateBanner_);
    updateNowButton_->setObjectName(QStringLiteral("primaryButton"));
    updateNowButton_->setFixedHeight(28);
    updateNowButton_->setStyleSheet(QStringLiteral(
        "background-color: #4da6ff; color: #0d1b2a; font-weight: bold; border: none; border-radius: 4px; "
        "padding: 4px 14px; font-size: 12px;"));
    row->addWidget(updateNowButton_);
    connect(updateNowButton_, &QPushButton::clicked, this, [this, downloadUrl] {
        updateNowButton_->setEnabled(false);
        updateNowButton_->setText(tr("Downloading..."));
        if (updateService_) updateService_->downloadUpdate(downloadUrl);
    });
    if (auto* column = qobject_cast<QBoxLayout*>(homePage_->layout())) column->insertWidget(0, updateBanner_);
}

void MainWindow::onUpdateDownloadFailed() {
    if (!updateNowButton_) return;
    updateNowButton_->setText(tr("Update Now"));
    updateNowButton_->setEnabled(true);
}

void MainWindow::startPendingUpdateDownload() {
    if (pendingUpdateUrl_.isEmpty() || !updateService_) return;
    spdlog::info("Auto-install: downloading update v{}...", pendingUpdateVersion_.toStdString());
    const QString url = std::exchange(pendingUpdateUrl_, QString());
    updateService_->downloadUpdate(url);
}

void MainWindow::runPendingUpdateStep() {
    if (!pendingAutoInstall_) return;
    if (!pendingInstallerPath_.isEmpty()) {
        const QString path = std::exchange(pendingInstallerPath_, QString());
        pendingAutoInstall_ = false;
        onReadyToInstall(path);
        return;
    }
    if (!pendingUpdateUrl_.isEmpty()) startPendingUpdateDownload();
}

bool MainWindow::stopServiceForUpdate() {
    namespace control = platform::servicecontrol;
    const auto state = control::queryState(kUpdateServiceName);
    if (!state || *state != platform::service::kRunning) return false;
    int exitCode = 0;
    if (!control::stopService(kUpdateServiceName, exitCode)) {
        spdlog::warn("Failed to stop VeltrixService for update: error {}", exitCode);
        return false;
    }
    spdlog::info("Stopped VeltrixService for update");
    for (int poll = 0; poll < kServiceStopPolls; ++poll) {
        QThread::msleep(kServiceStopPollMs);
        const auto now = control::queryState(kUpdateServiceName);
        if (now && *now == platform::service::kStopped) break;
    }
    return true;
}

void MainWindow::onReadyToInstall(QString installerPath) {
    if (pendingAutoInstall_ && isSessionActive()) {
        spdlog::info("Auto-install: update verified; deferring install until the active session ends");
        pendingInstallerPath_ = installerPath;
        return;
    }
    spdlog::info("Launching installer: {}", installerPath.toStdString());
    const bool stoppedService = stopServiceForUpdate();
    if (!QProcess::startDetached(installerPath, {QStringLiteral("/SILENT"), QStringLiteral("/SUPPRESSMSGBOXES")})) {
        // Quitting now would leave the machine with neither the service nor the new version.
        spdlog::error("Cannot start installer {}", installerPath.toStdString());
        if (stoppedService) {
            int exitCode = 0;
            if (!platform::servicecontrol::startService(kUpdateServiceName, exitCode))
                spdlog::warn("Failed to restart VeltrixService after installer failure: error {}", exitCode);
        }
        showStatus(tr("The update installer could not be started."), kFailure);
        onUpdateDownloadFailed();
        return;
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}

void MainWindow::onHelpDeskLinkActivated() {
    const QString linkText = helpDeskLink_->text();
    helpDeskLink_->setText(QStringLiteral("<span style=\"color: #ffa726;\">%1</span>").arg(tr("Sending logs...")));
    helpDeskLink_->setEnabled(false);
    helpDeskLink_->repaint();
    QPointer<QLabel> link = helpDeskLink_;
    helpdesk::reportIssue(ipcClient_->clientId(), this, [link, linkText] {
        if (!link) return;
        link->setText(linkText);
        link->setEnabled(true);
    });
}

}  // namespace veltrix
