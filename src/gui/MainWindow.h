#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QDateTime>
#include <QIcon>
#include <QTimer>
#include <QUrl>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "agent/FileRequestLedger.h"
#include "gui/FileTransferOwnership.h"
#include "shared/ConnectionStats.h"
#include "shared/DecodedFrame.h"
#include "shared/SessionTypes.h"

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QStackedWidget;
class QToolBar;
class QToolButton;
class QWidget;

namespace veltrix {

class ChatDialog;
class ConnectionQualityMonitor;
class FileManagerDialog;
class RemoteDesktopWidget;
class RemoteViewToolbar;
class ServiceIpcClient;
class SystemTrayIcon;
class SettingsController;
class UpdateService;

// The desktop client's one window. Page 0 is the narrow home page: this device's ID and password,
// its status line and the partner connection form. Page 1 is the remote view, filled by the
// viewer. The window has no network session of its own: it validates what the user types, sends
// commands through the pipe client, turns every reported session state into a coloured status
// line, switches pages by the session's role and retries a lost viewing session for 30 seconds.
//
// The tray icon, the viewer, the chat and file-manager dialogs and the update banner join later;
// until they do, the window behaves as it does when they are absent (no tray: minimise and close
// act as in a plain window, notifications are skipped).
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kReconnectTickMs = 2000;
    static constexpr std::int64_t kReconnectBudgetMs = 30000;
    static constexpr const char* kReady = "#007700";
    static constexpr const char* kProgress = "#0077cc";
    static constexpr const char* kWaiting = "#cc7700";
    static constexpr const char* kFailure = "#cc0000";

    // A steady clock in milliseconds for the retry loop (tests pass their own).
    using Clock = std::function<std::int64_t()>;

    MainWindow(ServiceIpcClient* ipcClient, SettingsController* settings, QWidget* parent = nullptr,
               Clock clock = {});
    ~MainWindow() override;

    // The window downloads and runs updates through this service (it may stay absent).
    void setUpdateService(UpdateService* updateService);
    // Whether the desktop has a tray host (default: Qt's answer); tests on a bare display pass theirs.
    using TrayAvailability = std::function<bool()>;
    void setTrayAvailability(TrayAvailability availability) { trayAvailable_ = std::move(availability); }

    // "123456789" as "123 456 789"; anything that is not nine characters without blanks unchanged.
    static QString formatClientId(const QString& id);
    // "HH:MM:SS" of an uptime, hours taking as many digits as they need.
    static QString formatUptime(std::uint64_t seconds);

    // Hides the window on the next turn of the event loop (the tray's "minimise"); without a
    // visible tray the window stays, as nothing could show it again.
    void scheduleHideToTray(const QString& reason);
    // The update service's updateAvailable and readyToInstall (plain members: the window's slots
    // are the fifteen of its session and paste flows).
    void onUpdateAvailable(QString version, QString downloadUrl);
    void onReadyToInstall(QString installerPath);
    // The tray's "Check for updates" row: with an update service, check now and tell the user.
    void checkForUpdatesRequested();
    // Whether a session is in progress: the pipe client's state is neither Idle nor Failed.
    bool isSessionActive() const;
    // A company's clients arrived (or an empty answer to a failed request): only a non-empty
    // array opens the picker.
    void showCompanyClients(const QString& companyName, const nlohmann::json& clients);
    // Wakes the partner in the partner box with a magic packet, asking once for its address.
    void onWakeOnLanClicked();

public slots:
    void onAuthenticated(QString clientId);
    void onServiceDisconnected();
    void onConnectClicked();
    void onDisconnectClicked();
    void onSettingsClicked();
    void onSessionStateChanged(veltrix::SessionState newState);
    void onSessionError(QString error);
    void onAuthFailed();
    void onFrameDecoded(std::shared_ptr<veltrix::DecodedFrame> frame);
    void onStatsUpdated(veltrix::ConnectionStats stats);
    void tryReconnectStep();
    void onRemoteClipboardFiles(QString stagingRoot, QStringList fileNames);
    void onPasteUploadComplete();
    void onPasteAllUploadsComplete();
    void injectPasteKeystrokeOnRemote();

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Ctrl+V in the viewer of a viewing session: files on the clipboard are pasted on the partner.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class MainWindowTestAccess;
    friend class MainWindowPasteTestAccess;

    void setupUi();
    QWidget* buildHomePage();
    QWidget* buildHeaderRow();
    QFrame* buildDeviceCard();
    QFrame* buildConnectCard();
    QFrame* buildInformationCard();
    QWidget* buildPairingSection();
    QWidget* buildRemotePage();
    void buildActionsAndShortcuts();
    void setupTrayIcon();
    void connectSignals();

    // The remote view (page 1): viewer, toolbar, key combinations and the partner's encode size.
    void connectRemoteViewSignals();
    void onViewerZoomChanged(double factor);
    void onViewerDisplaySizeChanged(QSize devicePixels);
    void onRemoteCaptureSizeChanged(int width, int height);
    void restartResolutionTimerIfAutomatic();
    void applyEncodeResolution();
    void sendKeyCombination(int index);
    void toggleScaleMode();
    void resetRemoteView();

    // Chat: a new dialog for every connected session; the partner's lines go to the current one.
    void connectChatSignals();
    void recreateChatDialog();
    void discardChatDialog();
    void onChatActionTriggered();
    void onChatMessageSent(const QString& text);
    void onChatMessageReceived(const QString& from, const QString& text, const QDateTime& timestamp);
    // The Chat action's unread mark: a dot on its toolbar icon and after its text.
    void setChatUnread(bool unread);

    // File manager: a new dialog for every viewing session, sharing the window's transfer token.
    void connectFileManagerSignals();
    void recreateFileManagerDialog();
    void onFileTransferActionTriggered();

    void fillPartnerBox();
    void onCompanyNameChanged(const QString& name);
    void onCopyIdClicked();
    void onTogglePasswordVisibility();
    void onAdminPanelClicked();

    void showStatus(const QString& text, const QString& colour);
    void resetToIdleView();
    void stopAutoReconnect();
    // Every way the user ends a session (buttons, shortcut, tray, closing the window) goes here,
    // so that its end is not taken for the partner's.
    void endSessionAtUsersRequest();
    bool isReconnectLoopRunning() const { return reconnectStartedMs_.has_value(); }
    void restoreConnectButton();
    void onConnectedAsMaster();
    void onConnectedAsTarget();
    void decideAfterFailure();

    // Paste of local files on the partner's desktop (MainWindowPaste.cpp).
    void connectPasteSignals();
    void beginPasteFiles(const QList<QUrl>& urls);
    void uploadNextPasteFile();
    void onPasteFileError(const QString& error);
    // Whether a file request belongs to the running paste: its staging folder or an upload into it.
    bool isPasteRequest(const FileRequest& request) const;
    void clearPasteState();

    void showUpdateBanner(const QString& version, const QString& downloadUrl);
    void startPendingUpdateDownload();
    void runPendingUpdateStep();
    void onUpdateDownloadFailed();
    void onHelpDeskLinkActivated();
    // Stops the service for the installer; true when this call stopped a running service.
    bool stopServiceForUpdate();

    // The tray counts only when a tray host exists and the icon is shown on it: with no host Qt
    // still reports the icon visible, and hiding the window there would leave nothing to restore
    // it. Without a visible tray, minimise and close act as in a plain window and notifications
    // are skipped.
    bool isTrayVisible() const;
    void trayNotify(const QString& message, bool warning);
    void traySetStatus(const QString& text);
    void traySetDisconnectEnabled(bool enabled);

    UpdateService* updateService_ = nullptr;
    QWidget* updateBanner_ = nullptr;
    QPushButton* updateNowButton_ = nullptr;
    QString pendingUpdateVersion_;
    QString pendingUpdateUrl_;
    QString pendingInstallerPath_;
    bool pendingAutoInstall_ = false;
    ServiceIpcClient* ipcClient_;
    SystemTrayIcon* trayIcon_ = nullptr;
    TrayAvailability trayAvailable_;
    SettingsController* settings_;

    QString reconnectTargetId_;
    QString reconnectPassword_;
    QTimer reconnectTimer_;
    Clock clock_;
    // When the running retry loop began; empty while no loop runs.
    std::optional<std::int64_t> reconnectStartedMs_;

    bool userRequestedDisconnect_ = false;
    bool wasConnected_ = false;
    bool wrongPassword_ = false;
    // The service explained the failure of the connected session (ERROR): it is shown, not retried.
    bool failureExplained_ = false;
    bool pasteInProgress_ = false;
    // The state the window last acted on: an Idle straight after a live session is its end.
    SessionState lastState_ = SessionState::Idle;

    int pasteRemainingUploads_ = 0;
    int pasteNextIndex_ = 0;
    QStringList pasteFiles_;
    QString pasteStagingFolder_;
    // The service runs one file transfer at a time; the paste flow and the file manager take turns.
    FileTransferOwnership m_fileTransferOwnership;

    ConnectionQualityMonitor* qualityMonitor_ = nullptr;

    int encodeResolutionChoice_ = 0;  // 0 automatic, 1 native, 2-4 the fixed sizes
    QSize viewerDisplaySize_;
    QSize remoteCaptureSize_;
    QSize lastSentEncodeSize_;
    QTimer resolutionTimer_;

    QPointer<ChatDialog> chatDialog_;
    QIcon chatIcon_;  // the Chat action's icon without the unread mark
    QPointer<FileManagerDialog> fileManagerDialog_;

    QStackedWidget* pageStack_ = nullptr;
    RemoteDesktopWidget* viewer_ = nullptr;
    RemoteViewToolbar* toolbar_ = nullptr;
    QWidget* homePage_ = nullptr;
    QLabel* idLabel_ = nullptr;
    QLabel* passwordLabel_ = nullptr;
    QWidget* pairingSection_ = nullptr;
    QLabel* pairingHashLabel_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QLabel* companyNameLabel_ = nullptr;
    QFrame* connectCard_ = nullptr;
    QFrame* infoCard_ = nullptr;
    QLabel* infoPartnerLabel_ = nullptr;
    QLabel* uptimeLabel_ = nullptr;
    QComboBox* partnerBox_ = nullptr;
    QLineEdit* passwordField_ = nullptr;
    QAction* passwordVisibilityAction_ = nullptr;
    QPushButton* connectButton_ = nullptr;
    QPushButton* disconnectButton_ = nullptr;
    QPushButton* settingsButton_ = nullptr;
    QPushButton* companyClientsButton_ = nullptr;
    QPushButton* wakeOnLanButton_ = nullptr;
    QLabel* helpDeskLink_ = nullptr;
    QAction* chatAction_ = nullptr;
    QAction* fileTransferAction_ = nullptr;
    QAction* disconnectAction_ = nullptr;
};

}  // namespace veltrix
