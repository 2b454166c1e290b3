#pragma once

#include <QToolBar>

class QAction;
class QActionGroup;
class QLabel;
class QMenu;
class QToolButton;

namespace veltrix {

// The toolbar above the viewer on the remote-view page: chat and file transfer (the window's own
// actions, shown here), scale mode, the partner's monitors, key combinations, zoom, the partner's
// encode resolution, full screen and disconnect. It only shows state and reports choices; the
// window acts on them.
class RemoteViewToolbar : public QToolBar {
    Q_OBJECT
public:
    // The largest monitor count offered, as the pipe carries at most that many.
    static constexpr int kMaxMonitors = 16;

    RemoteViewToolbar(QAction* chatAction, QAction* fileTransferAction, QAction* disconnectAction,
                      QWidget* parent = nullptr);

    // Rebuilds the monitor menu for `count` monitors (clamped to 1..16); shown only for two or more.
    void setMonitorCount(int count);
    void setKeyboardShortcutsVisible(bool visible);
    // The zoom label and Reset Zoom, visible only away from 100 %.
    void showZoom(double factor);
    // Checks the scale entry that matches the viewer's mode (1 = original size, else fit).
    void showScaleMode(int mode);
    // The state outside a viewing session: no monitor or shortcut items, zoom display reset.
    void resetForIdle();

    bool isMonitorItemVisible() const;
    bool isKeyboardItemVisible() const;
    QMenu* monitorMenu() const { return monitorMenu_; }
    QMenu* keyboardMenu() const { return keyboardMenu_; }
    QMenu* resolutionMenu() const { return resolutionMenu_; }
    QMenu* scaleMenu() const { return scaleMenu_; }
    QAction* resetZoomAction() const { return resetZoomAction_; }
    QLabel* zoomLabel() const { return zoomLabel_; }

signals:
    void scaleModeChosen(int mode);
    void monitorChosen(int index);
    void secureAttentionChosen();
    void keyCombinationChosen(int index);
    void zoomInChosen();
    void zoomOutChosen();
    void resetZoomChosen();
    void encodeResolutionChosen(int choice);
    void fullScreenChosen();

private:
    QToolButton* menuButton(const char* icon, const QString& toolTip, QMenu* menu);
    void buildScaleMenu();
    void buildKeyboardMenu();
    void buildResolutionMenu();

    QMenu* scaleMenu_ = nullptr;
    QAction* fitAction_ = nullptr;
    QAction* originalAction_ = nullptr;
    QMenu* monitorMenu_ = nullptr;
    QAction* monitorItem_ = nullptr;
    QMenu* keyboardMenu_ = nullptr;
    QAction* keyboardItem_ = nullptr;
    QAction* resetZoomAction_ = nullptr;
    QLabel* zoomLabel_ = nullptr;
    QAction* zoomLabelItem_ = nullptr;
    QMenu* resolutionMenu_ = nullptr;
};

}  // namespace veltrix
