#include "gui/RemoteViewToolbar.h"

#include <QAction>
#include <QActionGroup>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QToolButton>

#include <algorithm>
#include <cmath>

#include "gui/KeyCombinations.h"

namespace veltrix {

namespace {

QIcon icon(const char* name) { return QIcon(QString::fromLatin1(name)); }

}  // namespace

RemoteViewToolbar::RemoteViewToolbar(QAction* chatAction, QAction* fileTransferAction, QAction* disconnectAction,
                                     QWidget* parent)
    : QToolBar(parent) {
    setMovable(false);
    setIconSize(QSize(22, 22));

    chatAction->setIcon(icon(":/icons/chat"));
    chatAction->setToolTip(tr("Chat  (Ctrl+Shift+C)"));
    addAction(chatAction);
    fileTransferAction->setIcon(icon(":/icons/folder_open"));
    fileTransferAction->setToolTip(tr("File Transfer  (Ctrl+Shift+F)"));
    addAction(fileTransferAction);

    buildScaleMenu();
    addWidget(menuButton(":/icons/aspect_ratio", tr("Scale Mode  (Ctrl+Shift+Q)"), scaleMenu_));

    monitorMenu_ = new QMenu(this);
    monitorItem_ = addWidget(menuButton(":/icons/desktop_windows", tr("Switch Monitor"), monitorMenu_));
    monitorItem_->setVisible(false);

    buildKeyboardMenu();
    keyboardItem_ = addWidget(menuButton(":/icons/keyboard", tr("Send Keyboard Shortcut"), keyboardMenu_));
    keyboardItem_->setVisible(false);

    QAction* zoomIn = addAction(icon(":/icons/zoom_in"), tr("Zoom In"));
    zoomIn->setToolTip(tr("Zoom In  (Ctrl++)"));
    connect(zoomIn, &QAction::triggered, this, &RemoteViewToolbar::zoomInChosen);
    QAction* zoomOut = addAction(icon(":/icons/zoom_out"), tr("Zoom Out"));
    zoomOut->setToolTip(tr("Zoom Out  (Ctrl+-)"));
    connect(zoomOut, &QAction::triggered, this, &RemoteViewToolbar::zoomOutChosen);
    resetZoomAction_ = addAction(icon(":/icons/fit_screen"), tr("Reset Zoom"));
    resetZoomAction_->setToolTip(tr("Reset Zoom  (Ctrl+0)"));
    connect(resetZoomAction_, &QAction::triggered, this, &RemoteViewToolbar::resetZoomChosen);
    zoomLabel_ = new QLabel(QStringLiteral("100%"), this);
    zoomLabel_->setStyleSheet(QStringLiteral("color: #ccd6f6; padding: 0 8px;"));
    zoomLabelItem_ = addWidget(zoomLabel_);
    showZoom(1.0);

    buildResolutionMenu();
    addWidget(menuButton(":/icons/high_quality", tr("Encode Resolution"), resolutionMenu_));

    QAction* fullScreen = addAction(icon(":/icons/fullscreen"), tr("Fullscreen"));
    fullScreen->setToolTip(tr("Fullscreen  (F11)"));
    connect(fullScreen, &QAction::triggered, this, &RemoteViewToolbar::fullScreenChosen);
    addSeparator();
    disconnectAction->setIcon(icon(":/icons/link_off"));
    disconnectAction->setToolTip(tr("Disconnect  (Ctrl+Shift+D)"));
    addAction(disconnectAction);
}

QToolButton* RemoteViewToolbar::menuButton(const char* iconName, const QString& toolTip, QMenu* menu) {
    auto* button = new QToolButton(this);
    button->setIcon(icon(iconName));
    button->setToolTip(toolTip);
    button->setMenu(menu);
    button->setPopupMode(QToolButton::InstantPopup);
    return button;
}

void RemoteViewToolbar::buildScaleMenu() {
    scaleMenu_ = new QMenu(this);
    auto* group = new QActionGroup(scaleMenu_);
    fitAction_ = scaleMenu_->addAction(tr("Fit to Window"));
    originalAction_ = scaleMenu_->addAction(tr("Original Size"));
    for (QAction* action : {fitAction_, originalAction_}) {
        action->setCheckable(true);
        group->addAction(action);
    }
    originalAction_->setChecked(true);
    connect(fitAction_, &QAction::triggered, this, [this] { emit scaleModeChosen(0); });
    connect(originalAction_, &QAction::triggered, this, [this] { emit scaleModeChosen(1); });
}

void RemoteViewToolbar::buildKeyboardMenu() {
    keyboardMenu_ = new QMenu(this);
    connect(keyboardMenu_->addAction(tr("Ctrl+Alt+Delete")), &QAction::triggered, this,
            &RemoteViewToolbar::secureAttentionChosen);
    keyboardMenu_->addSeparator();
    const auto& combinations = keyCombinations();
    for (int i = 0; i < static_cast<int>(combinations.size()); ++i) {
        connect(keyboardMenu_->addAction(combinations[i].text), &QAction::triggered, this,
                [this, i] { emit keyCombinationChosen(i); });
    }
}

void RemoteViewToolbar::buildResolutionMenu() {
    resolutionMenu_ = new QMenu(this);
    auto* group = new QActionGroup(resolutionMenu_);
    const QString texts[] = {tr("Auto (match window)"), tr("Native"), QStringLiteral("1920x1080"),
                             QStringLiteral("1280x720"), QStringLiteral("854x480")};
    for (int choice = 0; choice < static_cast<int>(std::size(texts)); ++choice) {
        QAction* action = resolutionMenu_->addAction(texts[choice]);
        action->setCheckable(true);
        action->setChecked(choice == 0);
        group->addAction(action);
        connect(action, &QAction::triggered, this, [this, choice] { emit encodeResolutionChosen(choice); });
    }
}

void RemoteViewToolbar::setMonitorCount(int count) {
    monitorMenu_->clear();
    const int shown = std::clamp(count, 1, kMaxMonitors);
    for (int i = 0; i < shown; ++i) {
        connect(monitorMenu_->addAction(tr("Monitor %1").arg(i + 1)), &QAction::triggered, this,
                [this, i] { emit monitorChosen(i); });
    }
    monitorItem_->setVisible(count > 1);
}

void RemoteViewToolbar::setKeyboardShortcutsVisible(bool visible) { keyboardItem_->setVisible(visible); }

void RemoteViewToolbar::showZoom(double factor) {
    const long percent = std::lround(factor * 100.0);
    zoomLabel_->setText(QStringLiteral("%1%").arg(percent));
    zoomLabelItem_->setVisible(percent != 100);
    resetZoomAction_->setVisible(percent != 100);
}

void RemoteViewToolbar::showScaleMode(int mode) {
    (mode == 1 ? originalAction_ : fitAction_)->setChecked(true);
}

void RemoteViewToolbar::resetForIdle() {
    monitorItem_->setVisible(false);
    monitorMenu_->clear();
    keyboardItem_->setVisible(false);
    zoomLabelItem_->setVisible(false);
    resetZoomAction_->setVisible(false);
}

bool RemoteViewToolbar::isMonitorItemVisible() const { return monitorItem_->isVisible(); }

bool RemoteViewToolbar::isKeyboardItemVisible() const { return keyboardItem_->isVisible(); }

}  // namespace veltrix
