// MainWindow: construction, the home page's layout and actions, shortcuts, minimise and close.
// The session logic is in MainWindowSession.cpp.
#include "gui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindowStateChangeEvent>

#include <chrono>

#include <spdlog/spdlog.h>

#include "agent/ServiceIpcClient.h"
#include "gui/ClientVersion.h"
#include "core/SettingsController.h"
#include "gui/ConnectionQualityMonitor.h"
#include "gui/RemoteDesktopWidget.h"
#include "gui/RemoteViewToolbar.h"
#include "gui/SteadyClock.h"
#include "gui/StyledLabel.h"
#include "platform/InstanceConfig.h"

namespace veltrix {
namespace {

constexpr int kHomeWidth = 420;
constexpr const char* kCardStyle =
    "QFrame#%1 { background-color: #16213e; border-radius: 8px; border: 1px solid #2a3a5e; }";
constexpr const char* kCaptionStyle = "font-size: 10px; color: #8892b0; letter-spacing: 1px;";
constexpr const char* kLineStyle = "background: #2a3a5e; max-height: 1px; border: none; margin: 2px 0;";
constexpr const char* kDefaultAdminUrl = "https://admin.veltrix.net";

// The administration web site: "[web] admin_url" of the instance file.
QUrl adminSiteUrl() {
    const auto configured = platform::config::value("web/admin_url");
    return QUrl(QString::fromStdString(configured && !configured->empty() ? *configured : kDefaultAdminUrl));
}

QPushButton* flatButton(const char* icon, const QString& toolTip, int size, QWidget* parent) {
    auto* button = new QPushButton(parent);
    button->setObjectName(QStringLiteral("flatButton"));
    button->setIcon(QIcon(QString::fromLatin1(icon)));
    button->setToolTip(toolTip);
    button->setFixedSize(size, size);
    return button;
}

QFrame* horizontalLine(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setStyleSheet(QString::fromLatin1(kLineStyle));
    return line;
}

QFrame* card(const char* name, int spacing, QWidget* parent) {
    auto* frame = new QFrame(parent);
    frame->setObjectName(QString::fromLatin1(name));
    frame->setStyleSheet(QString::fromLatin1(kCardStyle).arg(QString::fromLatin1(name)));
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(14, 14, 14, 14);
    layout->setSpacing(spacing);
    return frame;
}

}  // namespace

MainWindow::MainWindow(ServiceIpcClient* ipcClient, SettingsController* settings, QWidget* parent, Clock clock)
    : QMainWindow(parent),
      ipcClient_(ipcClient),
      settings_(settings),
      clock_(clock ? std::move(clock) : Clock(steadyMilliseconds)) {
    setupUi();
    setupTrayIcon();
    qualityMonitor_ = new ConnectionQualityMonitor(this);
    connectSignals();
    reconnectTimer_.setInterval(kReconnectTickMs);
    reconnectTimer_.setSingleShot(false);
}

MainWindow::~MainWindow() = default;

// --- layout -------------------------------------------------------------------------------------

void MainWindow::setupUi() {
    setWindowTitle(tr("Veltrix - Remote Access"));
    setMinimumSize(kHomeWidth, 600);
    pageStack_ = new QStackedWidget(this);
    setCentralWidget(pageStack_);
    homePage_ = buildHomePage();
    pageStack_->addWidget(homePage_);
    buildActionsAndShortcuts();
    pageStack_->addWidget(buildRemotePage());
    pageStack_->setCurrentIndex(0);
    // The user opens the window to type a partner's ID: the first stop of the tab order.
    partnerBox_->setFocus();
}

QWidget* MainWindow::buildHomePage() {
    auto* page = new QWidget(pageStack_);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(12);
    layout->addWidget(buildHeaderRow());
    layout->addWidget(buildDeviceCard());
    layout->addWidget(buildConnectCard());
    layout->addWidget(buildInformationCard());
    layout->addWidget(buildPairingSection());
    layout->addStretch();

    helpDeskLink_ = new QLabel(
        QStringLiteral("<a href=\"#\" style=\"color: #5a6a8a; text-decoration: none;\">%1</a>")
            .arg(tr("Report issue to HelpDesk")),
        page);
    helpDeskLink_->setAlignment(Qt::AlignCenter);
    helpDeskLink_->setStyleSheet(QStringLiteral("font-size: 11px;"));
    layout->addWidget(helpDeskLink_);
    connect(helpDeskLink_, &QLabel::linkActivated, this, [this] { onHelpDeskLinkActivated(); });

    auto* version = styledLabel(QStringLiteral("v%1").arg(QString::fromLatin1(kClientVersion)),
                                "font-size: 10px; color: #4a5568; padding-right: 4px;", page);
    version->setAlignment(Qt::AlignRight);
    layout->addWidget(version);
    return page;
}

QWidget* MainWindow::buildHeaderRow() {
    auto* header = new QWidget(homePage_);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(4, 0, 4, 0);
    row->addWidget(styledLabel(QStringLiteral("Veltrix"),
                               "font-size: 20px; font-weight: bold; color: #4da6ff; letter-spacing: 1px;", header));
    row->addStretch();
    auto* admin = flatButton(":/icons/admin", tr("Admin Panel"), 32, header);
    connect(admin, &QPushButton::clicked, this, &MainWindow::onAdminPanelClicked);
    row->addWidget(admin);
    settingsButton_ = flatButton(":/icons/settings", tr("Settings"), 32, header);
    row->addWidget(settingsButton_);
    return header;
}

QFrame* MainWindow::buildDeviceCard() {
    QFrame* device = card("deviceCard", 6, homePage_);
    auto* layout = static_cast<QVBoxLayout*>(device->layout());
    layout->addWidget(styledLabel(tr("YOUR ID"), kCaptionStyle, device));

    auto* idRow = new QHBoxLayout;
    idLabel_ = styledLabel(tr("Connecting..."), "font-size: 26px; font-weight: bold; letter-spacing: 3px; color: #e0e0e0;",
                           device);
    idLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    idRow->addWidget(idLabel_);
    idRow->addStretch();
    auto* copyId = flatButton(":/icons/content_copy", tr("Copy ID"), 28, device);
    connect(copyId, &QPushButton::clicked, this, &MainWindow::onCopyIdClicked);
    idRow->addWidget(copyId);
    layout->addLayout(idRow);

    layout->addWidget(horizontalLine(device));
    layout->addWidget(styledLabel(tr("PASSWORD"), kCaptionStyle, device));

    auto* passwordRow = new QHBoxLayout;
    passwordLabel_ = styledLabel(
        QStringLiteral("------"),
        "font-size: 20px; font-weight: bold; letter-spacing: 4px; font-family: monospace; color: #4da6ff;", device);
    passwordLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    passwordRow->addWidget(passwordLabel_);
    passwordRow->addStretch();
    auto* copyPassword = flatButton(":/icons/content_copy", tr("Copy Password"), 28, device);
    connect(copyPassword, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(passwordLabel_->text()); });
    passwordRow->addWidget(copyPassword);
    auto* regenerate = flatButton(":/icons/lock_reset", tr("Regenerate Password"), 28, device);
    connect(regenerate, &QPushButton::clicked, this, [this] { ipcClient_->regeneratePassword(); });
    passwordRow->addWidget(regenerate);
    layout->addLayout(passwordRow);

    statusLabel_ = styledLabel(QStringLiteral("● ") + tr("Connecting..."),
                               "color: #ffa726; font-size: 12px; padding-top: 4px;", device);
    layout->addWidget(statusLabel_);
    companyNameLabel_ = styledLabel(QString(), "color: #8892b0; font-size: 11px; padding-top: 2px;", device);
    companyNameLabel_->hide();
    layout->addWidget(companyNameLabel_);
    return device;
}

QFrame* MainWindow::buildConnectCard() {
    connectCard_ = card("connectCard", 8, homePage_);
    auto* layout = static_cast<QVBoxLayout*>(connectCard_->layout());
    layout->addWidget(styledLabel(tr("CONNECT TO PARTNER"), kCaptionStyle, connectCard_));

    auto* partnerRow = new QHBoxLayout;
    partnerBox_ = new QComboBox(connectCard_);
    partnerBox_->setEditable(true);
    partnerBox_->setInsertPolicy(QComboBox::NoInsert);
    partnerBox_->lineEdit()->setPlaceholderText(tr("Partner ID  (XXX XXX XXX)"));
    partnerRow->addWidget(partnerBox_, 1);
    companyClientsButton_ = flatButton(":/icons/group", tr("Company Clients"), 32, connectCard_);
    companyClientsButton_->hide();
    partnerRow->addWidget(companyClientsButton_);
    layout->addLayout(partnerRow);

    auto* passwordRow = new QHBoxLayout;
    passwordField_ = new QLineEdit(connectCard_);
    passwordField_->setPlaceholderText(tr("Password"));
    passwordField_->setEchoMode(QLineEdit::Password);
    passwordVisibilityAction_ =
        passwordField_->addAction(QIcon(QStringLiteral(":/icons/visibility")), QLineEdit::TrailingPosition);
    connect(passwordVisibilityAction_, &QAction::triggered, this, &MainWindow::onTogglePasswordVisibility);
    passwordRow->addWidget(passwordField_);
    connectButton_ = new QPushButton(tr("Connect") + QStringLiteral("  →"), connectCard_);
    connectButton_->setObjectName(QStringLiteral("primaryButton"));
    connectButton_->setEnabled(false);
    passwordRow->addWidget(connectButton_, 1);
    wakeOnLanButton_ = flatButton(":/icons/power", tr("Wake-on-LAN"), 32, connectCard_);
    passwordRow->addWidget(wakeOnLanButton_);
    layout->addLayout(passwordRow);

    disconnectButton_ = new QPushButton(tr("Disconnect"), connectCard_);
    disconnectButton_->setEnabled(false);
    layout->addWidget(disconnectButton_);

    setTabOrder(partnerBox_, passwordField_);
    setTabOrder(passwordField_, connectButton_);
    fillPartnerBox();
    return connectCard_;
}

QFrame* MainWindow::buildInformationCard() {
    infoCard_ = card("targetInfoCard", 6, homePage_);
    auto* layout = static_cast<QVBoxLayout*>(infoCard_->layout());
    layout->addWidget(styledLabel(tr("REMOTE SESSION ACTIVE"), "font-size: 10px; color: #ffa726; letter-spacing: 1px;",
                                  infoCard_));
    layout->addWidget(styledLabel(tr("Connected from:"), "font-size: 11px; color: #8892b0; background: transparent;",
                                  infoCard_));
    infoPartnerLabel_ = styledLabel(QStringLiteral("---"),
                                    "font-size: 20px; font-weight: bold; letter-spacing: 2px; color: #e0e0e0;", infoCard_);
    layout->addWidget(infoPartnerLabel_);
    layout->addWidget(horizontalLine(infoCard_));

    auto* uptimeRow = new QHBoxLayout;
    uptimeRow->addWidget(new QLabel(tr("Uptime:"), infoCard_));
    uptimeLabel_ = styledLabel(QStringLiteral("00:00:00"),
                               "font-size: 14px; font-weight: bold; color: #4da6ff; background: transparent;", infoCard_);
    uptimeRow->addWidget(uptimeLabel_);
    uptimeRow->addStretch();
    auto* disconnectRemote = new QPushButton(tr("Disconnect Remote"), infoCard_);
    disconnectRemote->setObjectName(QStringLiteral("primaryButton"));
    disconnectRemote->setStyleSheet(QStringLiteral("background-color: #cc3333; color: #ffffff; font-weight: bold; "
                                                   "border: none; border-radius: 5px; padding: 8px 14px;"));
    connect(disconnectRemote, &QPushButton::clicked, this, [this] { endSessionAtUsersRequest(); });
    uptimeRow->addWidget(disconnectRemote);
    layout->addLayout(uptimeRow);
    infoCard_->hide();
    return infoCard_;
}

QWidget* MainWindow::buildPairingSection() {
    pairingSection_ = new QWidget(homePage_);
    auto* layout = new QVBoxLayout(pairingSection_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    layout->addWidget(styledLabel(tr("PAIRING HASH"),
                                  "font-size: 10px; color: #8892b0; letter-spacing: 1px; margin-top: 8px;",
                                  pairingSection_));
    auto* row = new QHBoxLayout;
    // The hash itself is never shown, only copied.
    pairingHashLabel_ = styledLabel(QString(24, QChar(0x2022)), "font-size: 14px; font-family: monospace; color: #5a6a8a;",
                                    pairingSection_);
    row->addWidget(pairingHashLabel_);
    row->addStretch();
    auto* copyHash = flatButton(":/icons/content_copy", tr("Copy Pairing Hash"), 28, pairingSection_);
    connect(copyHash, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(ipcClient_->pairingHash()); });
    row->addWidget(copyHash);
    layout->addLayout(row);

    auto* invitation = styledLabel(
        tr("Add this device to your company with the pairing hash at the <a href=\"%1\" style=\"color: #4da6ff;\">"
           "administration site</a>.")
            .arg(adminSiteUrl().toString().toHtmlEscaped()),
        "font-size: 11px; color: #5a6a8a;", pairingSection_);
    invitation->setWordWrap(true);
    invitation->setTextFormat(Qt::RichText);
    invitation->setOpenExternalLinks(true);
    layout->addWidget(invitation);
    return pairingSection_;
}

void MainWindow::buildActionsAndShortcuts() {
    chatAction_ = new QAction(tr("Chat"), this);
    fileTransferAction_ = new QAction(tr("File Transfer"), this);
    fileTransferAction_->setEnabled(false);
    disconnectAction_ = new QAction(tr("Disconnect"), this);
    connect(disconnectAction_, &QAction::triggered, this, &MainWindow::onDisconnectClicked);

    const auto shortcut = [this](const char* keys, auto&& effect) {
        auto* s = new QShortcut(QKeySequence(QString::fromLatin1(keys)), this);
        s->setContext(Qt::WindowShortcut);
        connect(s, &QShortcut::activated, this, effect);
    };
    shortcut("Ctrl+Shift+C", [this] { chatAction_->trigger(); });
    shortcut("Ctrl+Shift+F", [this] { fileTransferAction_->trigger(); });
    shortcut("Ctrl+Shift+D", [this] { disconnectAction_->trigger(); });
    shortcut("Ctrl+Shift+Q", [this] { toggleScaleMode(); });
    shortcut("F11", [this] { viewer_->toggleFullScreen(); });
}

// --- home-page actions --------------------------------------------------------------------------

void MainWindow::fillPartnerBox() {
    partnerBox_->clear();
    for (const QString& id : settings_->recentPartnerIds()) partnerBox_->addItem(formatClientId(id), id);
    if (partnerBox_->count() > 0)
        partnerBox_->setCurrentIndex(0);
    else
        partnerBox_->setEditText(QString());
}

void MainWindow::onCopyIdClicked() {
    QString id = idLabel_->text();
    id.remove(QLatin1Char(' '));
    QGuiApplication::clipboard()->setText(id);
}

void MainWindow::onTogglePasswordVisibility() {
    const bool hidden = passwordField_->echoMode() == QLineEdit::Password;
    passwordField_->setEchoMode(hidden ? QLineEdit::Normal : QLineEdit::Password);
    passwordVisibilityAction_->setIcon(
        QIcon(hidden ? QStringLiteral(":/icons/visibility_off") : QStringLiteral(":/icons/visibility")));
}

void MainWindow::onAdminPanelClicked() { QDesktopServices::openUrl(adminSiteUrl()); }

void MainWindow::onCompanyNameChanged(const QString& name) {
    const bool hasCompany = !name.isEmpty();
    companyNameLabel_->setText(name);
    companyNameLabel_->setVisible(hasCompany);
    companyClientsButton_->setVisible(hasCompany);
    pairingSection_->setVisible(!hasCompany);
}

// --- minimise and close -------------------------------------------------------------------------

bool MainWindow::isSessionActive() const {
    const SessionState state = ipcClient_->sessionState();
    return state != SessionState::Idle && state != SessionState::Failed;
}

void MainWindow::changeEvent(QEvent* event) {
    // Only a shown window goes to the tray: the window manager may report the minimised state
    // again after the window is hidden, which would repeat the notification.
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) && isVisible() &&
        isSessionActive() && isTrayVisible()) {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        hide();
        trayNotify(tr("Application minimized to system tray."), false);
        event->accept();
        return;
    }
    QMainWindow::changeEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (isSessionActive()) {
        endSessionAtUsersRequest();
        resetToIdleView();
        event->ignore();
        return;
    }
    if (settings_->minimizeToTray() && isTrayVisible()) {
        hide();
        trayNotify(tr("Application minimized to system tray."), false);
        event->ignore();
        return;
    }
    event->accept();
}

void MainWindow::scheduleHideToTray(const QString& reason) {
    spdlog::info("nativeEvent: scheduling hide-to-tray ({})", reason.toStdString());
    QTimer::singleShot(0, this, [this] {
        // Hidden with no tray host, the window could not be brought back.
        if (!isTrayVisible()) {
            spdlog::info("nativeEvent: no tray to hide into, the window stays");
            return;
        }
        hide();
        trayNotify(tr("Application minimized to system tray."), false);
    });
}

}  // namespace veltrix
