// MainWindow: the partner connection, the session status line and the 30-second retry loop of a
// lost viewing session.
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStackedWidget>
#include <QTimer>

#include <spdlog/spdlog.h>

#include "agent/ServiceIpcClient.h"
#include "core/SettingsController.h"
#include "gui/ConnectionQualityMonitor.h"
#include "gui/RemoteDesktopWidget.h"
#include "gui/RemoteViewToolbar.h"
#include "gui/MainWindow.h"
#include "gui/PlainMessageBox.h"

namespace veltrix {
namespace {

constexpr int kHomeWidth = 420;

std::string utf8(const QString& text) { return text.toStdString(); }

QString withoutBlanks(QString text) {
    text.remove(QLatin1Char(' '));
    return text;
}

}  // namespace

QString MainWindow::formatClientId(const QString& id) {
    const QString bare = withoutBlanks(id);
    if (bare.size() != 9) return id;
    return bare.left(3) + QLatin1Char(' ') + bare.mid(3, 3) + QLatin1Char(' ') + bare.right(3);
}

QString MainWindow::formatUptime(std::uint64_t seconds) {
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg((seconds % 3600) / 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

void MainWindow::connectSignals() {
    connect(qualityMonitor_, &ConnectionQualityMonitor::statsUpdated, this, &MainWindow::onStatsUpdated);
    connect(ipcClient_, &ServiceIpcClient::authenticated, this, &MainWindow::onAuthenticated);
    connect(ipcClient_, &ServiceIpcClient::disconnected, this, &MainWindow::onServiceDisconnected);
    connect(ipcClient_, &ServiceIpcClient::authenticationFailed, this,
            [this] { showStatus(tr("Server unavailable — retrying..."), kWaiting); });
    // The pairing-hash label keeps its mask; the hash is only copied.
    connect(ipcClient_, &ServiceIpcClient::ephemeralPasswordChanged, this,
            [this](const QString& password) { passwordLabel_->setText(password); });
    connect(ipcClient_, &ServiceIpcClient::stateChanged, this, &MainWindow::onSessionStateChanged);
    connect(ipcClient_, &ServiceIpcClient::sessionError, this, &MainWindow::onSessionError);
    connect(ipcClient_, &ServiceIpcClient::authFailed, this, &MainWindow::onAuthFailed);
    connect(ipcClient_, &ServiceIpcClient::frameDecoded, this, &MainWindow::onFrameDecoded);
    connect(ipcClient_, &ServiceIpcClient::statsUpdated, this, &MainWindow::onStatsUpdated);
    connect(ipcClient_, &ServiceIpcClient::companyNameChanged, this, &MainWindow::onCompanyNameChanged);
    connect(ipcClient_, &ServiceIpcClient::companyClientsReceived, this, &MainWindow::showCompanyClients);
    connect(connectButton_, &QPushButton::clicked, this, &MainWindow::onConnectClicked);
    connect(passwordField_, &QLineEdit::returnPressed, this, &MainWindow::onConnectClicked);
    connect(partnerBox_->lineEdit(), &QLineEdit::returnPressed, this, &MainWindow::onConnectClicked);
    connect(disconnectButton_, &QPushButton::clicked, this, &MainWindow::onDisconnectClicked);
    connect(settingsButton_, &QPushButton::clicked, this, &MainWindow::onSettingsClicked);
    connect(companyClientsButton_, &QPushButton::clicked, this, [this] { ipcClient_->requestCompanyClients(); });
    connect(wakeOnLanButton_, &QPushButton::clicked, this, &MainWindow::onWakeOnLanClicked);
    connectPasteSignals();
    connect(&reconnectTimer_, &QTimer::timeout, this, &MainWindow::tryReconnectStep);
    connectRemoteViewSignals();
    connectChatSignals();
    connectFileManagerSignals();
}

void MainWindow::showStatus(const QString& text, const QString& colour) {
    statusLabel_->setText(QStringLiteral("● ") + text);
    statusLabel_->setStyleSheet(QStringLiteral("color: %1; font-size: 12px; padding-top: 4px;").arg(colour));
    traySetStatus(text);
}

// --- user actions -------------------------------------------------------------------------------

void MainWindow::onConnectClicked() {
    const QString partnerId = withoutBlanks(partnerBox_->currentText().trimmed());
    if (partnerId.isEmpty()) {
        QMessageBox::warning(this, tr("Error"), tr("Please enter a partner Client ID."));
        return;
    }
    // Nine ASCII digits ("\d" without Unicode properties), built once.
    static const QRegularExpression nineDigits(QStringLiteral("^\\d{9}$"));
    if (!nineDigits.match(partnerId).hasMatch()) {
        QMessageBox::warning(this, tr("Error"), tr("Partner ID must be exactly 9 digits."));
        return;
    }
    const QString password = passwordField_->text().trimmed();
    if (password.isEmpty()) {
        QMessageBox::warning(this, tr("Error"), tr("Please enter the partner's password."));
        return;
    }

    settings_->addRecentPartnerId(partnerId);
    fillPartnerBox();
    partnerBox_->setEditText(formatClientId(partnerId));

    spdlog::info("Initiating session to partner: {} (with password)", utf8(partnerId));
    connectButton_->setEnabled(false);
    connectButton_->setText(tr("Connecting..."));
    stopAutoReconnect();
    reconnectTargetId_ = partnerId;
    reconnectPassword_ = password;
    userRequestedDisconnect_ = false;
    wrongPassword_ = false;
    ipcClient_->connectToTarget(partnerId, password);
}

void MainWindow::onDisconnectClicked() {
    const bool loopWasRunning = reconnectTimer_.isActive();
    if (isSessionActive()) {
        endSessionAtUsersRequest();
        return;
    }
    userRequestedDisconnect_ = true;
    stopAutoReconnect();
    if (loopWasRunning) {
        showStatus(tr("Online (Ready)"), kReady);
        wasConnected_ = false;
    }
}

void MainWindow::endSessionAtUsersRequest() {
    userRequestedDisconnect_ = true;
    stopAutoReconnect();
    ipcClient_->sendDisconnect();
}

// --- what the service reports -------------------------------------------------------------------

void MainWindow::onAuthenticated(QString clientId) {
    idLabel_->setText(formatClientId(clientId));
    passwordLabel_->setText(ipcClient_->sessionPassword());
    // An ID the service stored before it logged in is shown, but connects nobody yet.
    const bool loggedIn = ipcClient_->isAuthenticated();
    connectButton_->setEnabled(loggedIn);
    disconnectButton_->setEnabled(true);
    if (!loggedIn) return;
    showStatus(tr("Ready"), kReady);
    trayNotify(tr("Ready. Your ID: %1").arg(formatClientId(clientId)), false);
}

void MainWindow::onServiceDisconnected() {
    idLabel_->setText(tr("Not connected"));
    passwordLabel_->setText(QStringLiteral("------"));
    connectButton_->setEnabled(false);
    disconnectButton_->setEnabled(false);
    showStatus(tr("Service disconnected — reconnecting..."), kWaiting);
    resetToIdleView();
    if (pasteInProgress_) clearPasteState();
}

void MainWindow::onAuthFailed() {
    wrongPassword_ = true;
    stopAutoReconnect();
    if (ipcClient_->sessionRole() != SessionRole::Master) return;
    showStatus(tr("Incorrect password"), kFailure);
    trayNotify(tr("Incorrect password."), true);
    QTimer::singleShot(0, this, [this] {
        QMessageBox::warning(this, tr("Connection Failed"),
                             tr("Incorrect session password.\n\nCheck the password shown on the remote device and "
                                "try again. If the remote device runs an older version of Veltrix, update it so "
                                "both ends match."));
    });
}

// The service's text, often the backend's or the partner's own words: shown as it came, never as markup.
void MainWindow::onSessionError(QString error) {
    // A connected session that fails with an explanation (its partner sends nothing) would fail
    // the same way again: the box says why, and no retry loop follows.
    if (wasConnected_) {
        failureExplained_ = true;
        stopAutoReconnect();
    }
    warnInPlainText(this, tr("Session Error"), error);
}

void MainWindow::restoreConnectButton() {
    connectButton_->setText(tr("Connect") + QStringLiteral("  →"));
    connectButton_->setEnabled(ipcClient_->isAuthenticated());
}

void MainWindow::onSessionStateChanged(SessionState newState) {
    if (pasteInProgress_ &&
        (newState == SessionState::Idle || newState == SessionState::Closing || newState == SessionState::Failed))
        clearPasteState();
    const auto remember = qScopeGuard([this, newState] { lastState_ = newState; });

    switch (newState) {
        case SessionState::Idle: {
            // A session that ends in order without anyone here asking was ended by the partner
            // (one that vanishes fails instead, and a viewer's retry takes over).
            const bool live = lastState_ == SessionState::Connected || lastState_ == SessionState::Closing;
            const bool endedByPartner = live && wasConnected_ && !userRequestedDisconnect_ && !isReconnectLoopRunning();
            stopAutoReconnect();
            wasConnected_ = false;
            resetToIdleView();
            restoreConnectButton();
            if (endedByPartner) {
                spdlog::info("Session ended by the partner");
                showStatus(tr("The partner ended the session"), kWaiting);
                trayNotify(tr("The partner ended the session."), false);
            } else if (ipcClient_->isAuthenticated()) {
                showStatus(tr("Online (Ready)"), kReady);
            }
            runPendingUpdateStep();
            break;
        }
        case SessionState::Initiating:
        case SessionState::Handshaking:
        case SessionState::Connecting:
            // A running retry loop keeps its countdown on screen.
            if (isReconnectLoopRunning()) break;
            if (newState == SessionState::Initiating)
                showStatus(tr("Initiating session..."), kProgress);
            else if (newState == SessionState::Handshaking)
                showStatus(tr("Exchanging keys..."), kProgress);
            else
                showStatus(tr("Establishing transport..."), kProgress);
            break;
        case SessionState::Connected:
            wasConnected_ = true;
            failureExplained_ = false;
            stopAutoReconnect();
            showStatus(tr("Connected"), kReady);
            if (ipcClient_->sessionRole() == SessionRole::Master)
                onConnectedAsMaster();
            else
                onConnectedAsTarget();
            break;
        case SessionState::Closing:
            showStatus(tr("Disconnecting..."), kWaiting);
            break;
        case SessionState::Failed:
            resetToIdleView();
            restoreConnectButton();
            decideAfterFailure();
            break;
    }
}

void MainWindow::onConnectedAsMaster() {
    pageStack_->setCurrentIndex(1);
    qualityMonitor_->start();
    setMinimumSize(800, 600);
    showMaximized();
    setWindowTitle(tr("Veltrix - Connected"));
    viewer_->setViewingMode(true);
    viewer_->setFocus();
    toolbar_->setKeyboardShortcutsVisible(true);
    traySetDisconnectEnabled(true);
    recreateChatDialog();
    recreateFileManagerDialog();
    fileTransferAction_->setEnabled(true);
}

void MainWindow::onConnectedAsTarget() {
    connectCard_->hide();
    infoPartnerLabel_->setText(tr("Remote session"));
    uptimeLabel_->setText(QStringLiteral("00:00:00"));
    infoCard_->show();
    qualityMonitor_->start();
    recreateChatDialog();
    if (isTrayVisible()) {
        traySetDisconnectEnabled(true);
        trayNotify(tr("Remote session active — sharing your screen."), false);
    }
}

void MainWindow::decideAfterFailure() {
    if (wasConnected_ && !userRequestedDisconnect_ && !wrongPassword_ && !failureExplained_ &&
        ipcClient_->sessionRole() == SessionRole::Master && !reconnectTargetId_.isEmpty()) {
        // A failed attempt of a running loop: the loop goes on, its countdown stays.
        if (reconnectTimer_.isActive()) return;
        spdlog::info("Auto-reconnect: starting 30s retry loop to {}", utf8(reconnectTargetId_));
        reconnectStartedMs_ = clock_();
        reconnectTimer_.start();
        trayNotify(tr("Connection lost — reconnecting..."), true);
        tryReconnectStep();
        return;
    }
    if (wrongPassword_) {
        showStatus(tr("Incorrect password"), kFailure);
    } else {
        showStatus(tr("Session failed"), kFailure);
        trayNotify(tr("Session failed."), true);
    }
}

void MainWindow::tryReconnectStep() {
    if (!reconnectStartedMs_) return;
    const std::int64_t elapsed = clock_() - *reconnectStartedMs_;
    if (elapsed >= kReconnectBudgetMs) {
        spdlog::warn("Auto-reconnect: 30s budget exhausted, giving up");
        stopAutoReconnect();
        showStatus(tr("Session failed"), kFailure);
        trayNotify(tr("Reconnect failed — session ended."), true);
        return;
    }
    showStatus(tr("Reconnecting... (%1s)").arg((30999 - elapsed) / 1000), kWaiting);
    if (isSessionActive()) return;  // an attempt is under way: only the countdown moves
    spdlog::info("Auto-reconnect: attempt at +{}ms (state={})", elapsed,
                 static_cast<int>(ipcClient_->sessionState()));
    ipcClient_->connectToTarget(reconnectTargetId_, reconnectPassword_);
}

void MainWindow::stopAutoReconnect() {
    if (reconnectTimer_.isActive() || reconnectStartedMs_) spdlog::debug("Auto-reconnect: stopping retry loop");
    reconnectTimer_.stop();
    reconnectStartedMs_.reset();
}

void MainWindow::onFrameDecoded(std::shared_ptr<DecodedFrame> frame) {
    if (!viewer_ || !frame) return;
    qualityMonitor_->recordFrame();
    viewer_->updateFrame(std::move(frame));
}

void MainWindow::onStatsUpdated(ConnectionStats stats) {
    if (ipcClient_->sessionRole() != SessionRole::Target) return;
    uptimeLabel_->setText(formatUptime(stats.uptime_seconds));
}

void MainWindow::resetToIdleView() {
    viewer_->setViewingMode(false);
    pageStack_->setCurrentIndex(0);
    infoCard_->hide();
    connectCard_->show();
    qualityMonitor_->stop();
    if (isMaximized() || isFullScreen()) showNormal();
    setMinimumSize(kHomeWidth, 0);
    resize(kHomeWidth, sizeHint().height());
    setWindowTitle(tr("Veltrix - Remote Access"));
    traySetDisconnectEnabled(false);
    resetRemoteView();
    fileTransferAction_->setEnabled(false);
}

}  // namespace veltrix
