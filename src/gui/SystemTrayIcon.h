#pragma once

#include <QString>
#include <QSystemTrayIcon>

#include <memory>

class QAction;
class QMenu;

namespace veltrix {

// The client's notification-area icon: a context menu (Show, a status line, Disconnect, Settings,
// Check for updates, Quit), the tool tip and balloon notifications. It only reports what the user
// chose through its signals; the main window decides what happens and mirrors its status into it.
class SystemTrayIcon : public QSystemTrayIcon {
    Q_OBJECT
public:
    static constexpr int kNotificationMs = 5000;

    explicit SystemTrayIcon(QObject* parent = nullptr);
    ~SystemTrayIcon() override;

    void setDisconnectEnabled(bool enabled);
    void setStatus(const QString& text);
    // Shows a balloon for 5 s where the platform has them; elsewhere logs a warning and drops it.
    void showNotification(const QString& title, const QString& message,
                          QSystemTrayIcon::MessageIcon icon = QSystemTrayIcon::Information);

    QMenu* menu() const { return menu_.get(); }
    QAction* showAction() const { return showAction_; }
    QAction* statusAction() const { return statusAction_; }
    QAction* disconnectAction() const { return disconnectAction_; }
    QAction* quitAction() const { return quitAction_; }

signals:
    void showWindowRequested();
    void disconnectRequested();
    void checkForUpdatesRequested();
    void settingsRequested();
    void quitRequested();

private:
    void onActivated(QSystemTrayIcon::ActivationReason reason);

    // Menus are top-level widgets: no QObject parent, owned here.
    std::unique_ptr<QMenu> menu_;
    QAction* showAction_ = nullptr;
    QAction* statusAction_ = nullptr;
    QAction* disconnectAction_ = nullptr;
    QAction* quitAction_ = nullptr;
};

}  // namespace veltrix
