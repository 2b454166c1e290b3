// MainWindow: the remote-view page (toolbar above the viewer), the key combinations sent to the
// partner, the partner's monitors and the encode size asked of the partner, which follows the
// viewer's size when set to automatic.
#include <QDateTime>
#include <QShortcut>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <spdlog/spdlog.h>

#include "agent/ServiceIpcClient.h"
#include "gui/EncodeResolution.h"
#include "gui/KeyCombinations.h"
#include "gui/MainWindow.h"
#include "gui/RemoteDesktopWidget.h"
#include "gui/RemoteViewToolbar.h"

namespace veltrix {

namespace {

constexpr int kResolutionDebounceMs = 500;

}  // namespace

QWidget* MainWindow::buildRemotePage() {
    auto* page = new QWidget(pageStack_);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    toolbar_ = new RemoteViewToolbar(chatAction_, fileTransferAction_, disconnectAction_, page);
    viewer_ = new RemoteDesktopWidget(page);
    // The window's shortcuts act while the viewer has the focus; every other key is the partner's.
    QList<QKeySequence> shortcuts;
    for (const QShortcut* shortcut : findChildren<QShortcut*>(Qt::FindDirectChildrenOnly)) shortcuts << shortcut->key();
    viewer_->setLocalShortcuts(shortcuts);
    layout->addWidget(toolbar_);
    layout->addWidget(viewer_, 1);
    resolutionTimer_.setInterval(kResolutionDebounceMs);
    resolutionTimer_.setSingleShot(true);
    return page;
}

void MainWindow::connectRemoteViewSignals() {
    connect(viewer_, &RemoteDesktopWidget::inputEvent, ipcClient_, &ServiceIpcClient::sendInputEvent);
    connect(viewer_, &RemoteDesktopWidget::zoomChanged, this, &MainWindow::onViewerZoomChanged);
    connect(viewer_, &RemoteDesktopWidget::displayResolutionChanged, this, &MainWindow::onViewerDisplaySizeChanged);
    connect(&resolutionTimer_, &QTimer::timeout, this, &MainWindow::applyEncodeResolution);
    connect(ipcClient_, &ServiceIpcClient::remoteMonitorCountReceived, toolbar_, &RemoteViewToolbar::setMonitorCount);
    connect(ipcClient_, &ServiceIpcClient::remoteCaptureResolutionChanged, this,
            &MainWindow::onRemoteCaptureSizeChanged);

    connect(toolbar_, &RemoteViewToolbar::scaleModeChosen, viewer_, &RemoteDesktopWidget::setScaleMode);
    connect(toolbar_, &RemoteViewToolbar::zoomInChosen, this, [this] { viewer_->setZoom(viewer_->zoom() * 1.25); });
    connect(toolbar_, &RemoteViewToolbar::zoomOutChosen, this, [this] { viewer_->setZoom(viewer_->zoom() * 0.8); });
    connect(toolbar_, &RemoteViewToolbar::resetZoomChosen, viewer_, &RemoteDesktopWidget::resetZoom);
    connect(toolbar_, &RemoteViewToolbar::fullScreenChosen, viewer_, &RemoteDesktopWidget::toggleFullScreen);
    connect(toolbar_, &RemoteViewToolbar::monitorChosen, ipcClient_, &ServiceIpcClient::switchRemoteMonitor);
    connect(toolbar_, &RemoteViewToolbar::secureAttentionChosen, ipcClient_, &ServiceIpcClient::sendSasToRemote);
    connect(toolbar_, &RemoteViewToolbar::keyCombinationChosen, this, &MainWindow::sendKeyCombination);
    connect(toolbar_, &RemoteViewToolbar::encodeResolutionChosen, this, [this](int choice) {
        encodeResolutionChoice_ = choice;
        applyEncodeResolution();
    });
}

void MainWindow::toggleScaleMode() { viewer_->setScaleMode(viewer_->scaleMode() == 0 ? 1 : 0); }

void MainWindow::onViewerZoomChanged(double factor) {
    toolbar_->showZoom(factor);
    // Ctrl+1 and Ctrl+Shift+Q change the mode behind the menu's back: show what the viewer does.
    toolbar_->showScaleMode(viewer_->scaleMode());
    restartResolutionTimerIfAutomatic();
}

void MainWindow::onViewerDisplaySizeChanged(QSize devicePixels) {
    viewerDisplaySize_ = devicePixels;
    restartResolutionTimerIfAutomatic();
}

void MainWindow::onRemoteCaptureSizeChanged(int width, int height) {
    remoteCaptureSize_ = QSize(width, height);
    lastSentEncodeSize_ = QSize();  // the partner restarted its capture: always tell it again
    restartResolutionTimerIfAutomatic();
}

void MainWindow::restartResolutionTimerIfAutomatic() {
    if (encodeResolutionChoice_ == encode_resolution::Automatic) resolutionTimer_.start();
}

void MainWindow::applyEncodeResolution() {
    if (ipcClient_->sessionState() != SessionState::Connected || ipcClient_->sessionRole() != SessionRole::Master) {
        return;
    }
    const QSize base = viewerDisplaySize_.isValid() ? viewerDisplaySize_ : viewer_->devicePixelSize();
    const QSize target = encode_resolution::target(encodeResolutionChoice_, base, viewer_->zoom(), remoteCaptureSize_);
    if (!encode_resolution::worthSending(lastSentEncodeSize_, target)) return;
    lastSentEncodeSize_ = target;
    spdlog::info("Requesting remote encode resolution {}x{}", target.width(), target.height());
    ipcClient_->setRemoteEncodeResolution(target.width(), target.height());
}

void MainWindow::sendKeyCombination(int index) {
    const auto& combinations = keyCombinations();
    if (index < 0 || index >= static_cast<int>(combinations.size())) return;
    for (const InputEvent& event :
         keyCombinationEvents(combinations[index].virtualKeys, QDateTime::currentMSecsSinceEpoch())) {
        ipcClient_->sendInputEvent(event);
    }
}

void MainWindow::resetRemoteView() {
    toolbar_->resetForIdle();
    remoteCaptureSize_ = QSize();
    lastSentEncodeSize_ = QSize();
    viewerDisplaySize_ = QSize();
    resolutionTimer_.stop();
    discardChatDialog();
}

}  // namespace veltrix
