// The main window against a test server on the real pipe: the partner form's checks and the
// CONNECT it sends, the status line of every state as viewer and as shared desktop, the retry
// loop on an injected clock, and the home page's actions, minimise and close.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QDesktopServices>
#include <QMetaMethod>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QLineEdit>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QTemporaryDir>
#include <QTest>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "GuiTestSupport.h"
#include "agent/ServiceIpcClient.h"
#include "core/SettingsController.h"
#include "gui/ButtonCursorFilter.h"
#include "gui/ChatDialog.h"
#include "gui/ClientIcon.h"
#include "gui/ClientStyleSheet.h"
#include "gui/FileManagerDialog.h"
#include "gui/MainWindow.h"
#include "gui/RemoteDesktopWidget.h"
#include "gui/RemoteViewToolbar.h"
#include "gui/SystemTrayIcon.h"
#include "platform/PipeServer.h"
#include "shared/IpcFrameReader.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

namespace veltrix {

// The window's widgets and loop state, for the tests only.
class MainWindowTestAccess {
public:
    explicit MainWindowTestAccess(MainWindow& window) : w(window) {}
    QComboBox* partnerBox() const { return w.partnerBox_; }
    QLineEdit* passwordField() const { return w.passwordField_; }
    QPushButton* connectButton() const { return w.connectButton_; }
    QPushButton* disconnectButton() const { return w.disconnectButton_; }
    QLabel* statusLabel() const { return w.statusLabel_; }
    QLabel* idLabel() const { return w.idLabel_; }
    QLabel* passwordLabel() const { return w.passwordLabel_; }
    QLabel* uptimeLabel() const { return w.uptimeLabel_; }
    QWidget* pairingSection() const { return w.pairingSection_; }
    QWidget* companyClientsButton() const { return w.companyClientsButton_; }
    QLabel* companyNameLabel() const { return w.companyNameLabel_; }
    QFrame* connectCard() const { return w.connectCard_; }
    QFrame* infoCard() const { return w.infoCard_; }
    int page() const { return w.pageStack_->currentIndex(); }
    bool loopRunning() const { return w.reconnectTimer_.isActive() && w.reconnectStartedMs_.has_value(); }
    QTimer& reconnectTimer() const { return w.reconnectTimer_; }
    void copyId() const { w.onCopyIdClicked(); }
    QAction* passwordVisibilityAction() const { return w.passwordVisibilityAction_; }
    RemoteDesktopWidget* viewer() const { return w.viewer_; }
    RemoteViewToolbar* toolbar() const { return w.toolbar_; }
    QTimer& resolutionTimer() const { return w.resolutionTimer_; }
    ChatDialog* chatDialog() const { return w.chatDialog_; }
    QAction* chatAction() const { return w.chatAction_; }
    SystemTrayIcon* trayIcon() const { return w.trayIcon_; }
    FileManagerDialog* fileManagerDialog() const { return w.fileManagerDialog_; }
    QAction* fileTransferAction() const { return w.fileTransferAction_; }
    FileTransferOwnership& fileTransferOwnership() const { return w.m_fileTransferOwnership; }
    void beginPasteFiles(const QList<QUrl>& urls) const { w.beginPasteFiles(urls); }

private:
    MainWindow& w;
};

namespace {

using namespace std::chrono_literals;

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SystemError error;
        ASSERT_TRUE(server.createInstance(error)) << error.text();
        ASSERT_TRUE(client.connectToService());
        ASSERT_EQ(server.connectClient(error), platform::PipeConnectStatus::Connected);
        window = std::make_unique<MainWindow>(&client, &settings, nullptr, [this] { return nowMs; });
        access = std::make_unique<MainWindowTestAccess>(*window);
        // The tests drive the loop's ticks themselves.
        access->reconnectTimer().setInterval(3600 * 1000);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    void deliver(const IpcMessage& message) {
        ASSERT_EQ(server.client().write(encodeIpcFrame(message)).status, platform::PipeStatus::Ok);
        client.onPipePoll();
    }

    void state(const char* name, const char* role = "none") {
        deliver({{"type", "STATE"}, {"session_state", name}, {"session_role", role}});
    }

    void logIn(const char* id = "123456789") {
        deliver({{"type", "STATE"},
                 {"session_state", "Idle"},
                 {"session_role", "none"},
                 {"authenticated", true},
                 {"client_id", id},
                 {"session_password", "abc123"}});
    }

    // Every message the client sent since the last call.
    std::vector<IpcMessage> sent() {
        std::vector<IpcMessage> messages;
        char buffer[65536];
        for (;;) {
            const auto result = server.client().read(buffer, sizeof buffer);
            if (result.status != platform::PipeStatus::Ok || result.bytes == 0) break;
            reader.append(buffer, result.bytes);
        }
        IpcMessage message;
        std::string error;
        while (reader.next(message, error) == IpcFrameReader::Status::Message) messages.push_back(message);
        return messages;
    }

    std::vector<IpcMessage> sentOfType(const std::string& type) {
        std::vector<IpcMessage> matching;
        for (auto& message : sent())
            if (message.value("type", "") == type) matching.push_back(message);
        return matching;
    }

    void typeAndConnect(const QString& id, const QString& password) {
        access->partnerBox()->setEditText(id);
        access->passwordField()->setText(password);
        window->onConnectClicked();
    }

    // Logged in, connected to 987654321 as the viewer.
    void connectAsViewer() {
        logIn();
        typeAndConnect("987 654 321", "secret");
        sent();
        state("Initiating", "master");
        state("Connected", "master");
    }

    QString status() const { return access->statusLabel()->text(); }
    QString statusColour() const {
        const QString style = access->statusLabel()->styleSheet();
        return style.mid(style.indexOf('#'), 7);
    }

    test::TempInstanceRoot root;
    test::LogCapture logs;
    platform::PipeServer server{ServiceIpcClient::kPipeName};
    ServiceIpcClient client;
    SettingsController settings;
    std::int64_t nowMs = 1000000;
    IpcFrameReader reader{1 << 20};
    test::MessageBoxCatcher boxes;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<MainWindowTestAccess> access;
};

TEST_F(MainWindowTest, PartnerFormRefusesBadInputWithTheExactWarnings) {
    logIn();
    struct Case {
        QString id;
        QString password;
        QString warning;  // empty: CONNECT goes out
        std::string sentId;
        std::string sentPassword;
    };
    const QString fullWidth = QString::fromUtf8("１２３４５６７８９");
    const std::vector<Case> cases = {
        {"123 456 789", "pw", "", "123456789", "pw"},
        {"123456789", "  pw  ", "", "123456789", "pw"},
        {"", "pw", "Please enter a partner Client ID.", "", ""},
        {"   ", "pw", "Please enter a partner Client ID.", "", ""},
        {" 12345678 ", "pw", "Partner ID must be exactly 9 digits.", "", ""},
        {"12345678a", "pw", "Partner ID must be exactly 9 digits.", "", ""},
        {"1234\t56789", "pw", "Partner ID must be exactly 9 digits.", "", ""},
        {fullWidth, "pw", "Partner ID must be exactly 9 digits.", "", ""},
        {"1234567890", "pw", "Partner ID must be exactly 9 digits.", "", ""},
        {"123456789", "   ", "Please enter the partner's password.", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id.toStdString() + " / " + c.password.toStdString());
        boxes.clear();
        sent();
        typeAndConnect(c.id, c.password);
        const auto connects = sentOfType("CONNECT");
        if (c.warning.isEmpty()) {
            EXPECT_TRUE(boxes.boxes().empty());
            ASSERT_EQ(connects.size(), 1u);
            EXPECT_EQ(connects[0].value("target_id", ""), c.sentId);
            EXPECT_EQ(connects[0].value("password", ""), c.sentPassword);
            EXPECT_EQ(access->connectButton()->text(), "Connecting...");
            EXPECT_FALSE(access->connectButton()->isEnabled());
            state("Idle");
        } else {
            ASSERT_EQ(boxes.boxes().size(), 1u);
            EXPECT_EQ(boxes.boxes()[0].title, "Error");
            EXPECT_EQ(boxes.boxes()[0].text, c.warning);
            EXPECT_TRUE(connects.empty());
        }
    }
    EXPECT_TRUE(logs.contains("Initiating session to partner: 123456789 (with password)"));
}

TEST_F(MainWindowTest, RecentPartnersFillTheBoxGroupedNewestFirst) {
    logIn();
    typeAndConnect("111111111", "pw");
    state("Idle");
    typeAndConnect("222 222 222", "pw");
    state("Idle");
    typeAndConnect("111111111", "pw");
    QComboBox* box = access->partnerBox();
    ASSERT_EQ(box->count(), 2);
    EXPECT_EQ(box->itemText(0), "111 111 111");
    EXPECT_EQ(box->itemData(0).toString(), "111111111");
    EXPECT_EQ(box->itemText(1), "222 222 222");
    EXPECT_EQ(box->currentText(), "111 111 111");
    EXPECT_EQ(settings.recentPartnerIds(), QStringList({"111111111", "222222222"}));
}

TEST_F(MainWindowTest, EveryStateShowsItsStatusAsViewerAndAsSharedDesktop) {
    struct Row {
        const char* state;
        const char* text;
        const char* colour;
    };
    const std::vector<Row> rows = {
        {"Initiating", "● Initiating session...", "#0077cc"},   {"Handshaking", "● Exchanging keys...", "#0077cc"},
        {"Connecting", "● Establishing transport...", "#0077cc"}, {"Connected", "● Connected", "#007700"},
        {"Closing", "● Disconnecting...", "#cc7700"},            {"Failed", "● Session failed", "#cc0000"},
    };
    for (const char* role : {"master", "target"}) {
        SCOPED_TRACE(role);
        logIn();
        // The role arrives with the first state of the session.
        state("Initiating", role);
        for (const Row& row : rows) {
            SCOPED_TRACE(row.state);
            state(row.state, role);
            EXPECT_EQ(status(), row.text);
            EXPECT_EQ(statusColour(), row.colour);
            if (std::string(row.state) == "Connected") {
                const bool viewer = std::string(role) == "master";
                EXPECT_EQ(access->page(), viewer ? 1 : 0);
                EXPECT_EQ(access->infoCard()->isVisible(), !viewer);
                EXPECT_FALSE(access->connectCard()->isVisible()) << "on page 1, or hidden for the shared desktop";
                if (viewer) {
                    EXPECT_EQ(window->windowTitle(), "Veltrix - Connected");
                }
            }
        }
        EXPECT_EQ(access->page(), 0);
        EXPECT_FALSE(access->infoCard()->isVisible());
        EXPECT_TRUE(access->connectCard()->isVisible());
        EXPECT_EQ(window->windowTitle(), "Veltrix - Remote Access");
        EXPECT_TRUE(sentOfType("CONNECT").empty()) << "a session the user did not start is not retried";
        state("Idle");
        EXPECT_EQ(status(), "● Online (Ready)");
        EXPECT_EQ(statusColour(), "#007700");
        EXPECT_EQ(access->connectButton()->text(), "Connect  →");
        EXPECT_TRUE(access->connectButton()->isEnabled());
    }
}

TEST_F(MainWindowTest, ALostViewingSessionIsRetriedForThirtySeconds) {
    connectAsViewer();
    EXPECT_EQ(access->page(), 1);
    state("Failed", "master");
    ASSERT_TRUE(access->loopRunning());
    auto connects = sentOfType("CONNECT");
    ASSERT_EQ(connects.size(), 1u) << "the first attempt goes out at once";
    EXPECT_EQ(connects[0].value("target_id", ""), "987654321");
    EXPECT_EQ(connects[0].value("password", ""), "secret");
    EXPECT_EQ(status(), "● Reconnecting... (30s)");
    EXPECT_EQ(statusColour(), "#cc7700");
    EXPECT_TRUE(logs.contains("Auto-reconnect: starting 30s retry loop to 987654321"));

    // The attempt runs: its states keep the countdown, a tick sends nothing.
    state("Initiating", "master");
    EXPECT_EQ(status(), "● Reconnecting... (30s)");
    nowMs += 2000;
    window->tryReconnectStep();
    EXPECT_EQ(status(), "● Reconnecting... (28s)");
    EXPECT_TRUE(sentOfType("CONNECT").empty());

    // The attempt fails: silent; the next tick tries again.
    state("Failed", "master");
    EXPECT_EQ(status(), "● Reconnecting... (28s)");
    EXPECT_TRUE(sentOfType("CONNECT").empty());
    nowMs += 2000;
    window->tryReconnectStep();
    EXPECT_EQ(status(), "● Reconnecting... (26s)");
    EXPECT_EQ(sentOfType("CONNECT").size(), 1u);

    state("Initiating", "master");
    state("Connected", "master");
    EXPECT_FALSE(access->loopRunning());
    EXPECT_EQ(status(), "● Connected");

    // A second loss spends the whole budget.
    state("Failed", "master");
    ASSERT_TRUE(access->loopRunning());
    nowMs += 29999;
    window->tryReconnectStep();
    EXPECT_EQ(status(), "● Reconnecting... (1s)");
    nowMs += 1;
    window->tryReconnectStep();
    EXPECT_FALSE(access->loopRunning());
    EXPECT_EQ(status(), "● Session failed");
    EXPECT_EQ(statusColour(), "#cc0000");
    EXPECT_TRUE(logs.contains("Auto-reconnect: 30s budget exhausted, giving up"));
}

TEST_F(MainWindowTest, DisconnectDuringALoopShowsReadyAndARepeatedDisconnectStaysSo) {
    connectAsViewer();
    state("Failed", "master");
    ASSERT_TRUE(access->loopRunning());
    sent();
    for (int i = 0; i < 3; ++i) {
        window->onDisconnectClicked();
        EXPECT_FALSE(access->loopRunning());
        EXPECT_EQ(status(), "● Online (Ready)");
    }
    EXPECT_TRUE(sentOfType("DISCONNECT").empty()) << "no session was active";
    nowMs += 2000;
    window->tryReconnectStep();
    EXPECT_TRUE(sentOfType("CONNECT").empty());
}

TEST_F(MainWindowTest, NoLoopAfterTheUserDisconnectsOrThePasswordIsRefused) {
    connectAsViewer();
    window->onDisconnectClicked();
    EXPECT_EQ(sentOfType("DISCONNECT").size(), 1u);
    state("Closing", "master");
    state("Failed", "master");
    EXPECT_FALSE(access->loopRunning());
    EXPECT_EQ(status(), "● Session failed");
    EXPECT_TRUE(sentOfType("CONNECT").empty());

    state("Idle");
    connectAsViewer();
    deliver({{"type", "AUTH_FAILED"}});
    ASSERT_TRUE(test::waitUntil([&] { return !boxes.boxes().empty(); }, 5s));
    EXPECT_EQ(boxes.boxes()[0].title, "Connection Failed");
    EXPECT_EQ(boxes.boxes()[0].text,
              "Incorrect session password.\n\nCheck the password shown on the remote device and try again. If the "
              "remote device runs an older version of Veltrix, update it so both ends match.");
    EXPECT_EQ(status(), "● Incorrect password");
    EXPECT_EQ(statusColour(), "#cc0000");
    state("Failed", "master");
    EXPECT_FALSE(access->loopRunning());
    EXPECT_EQ(status(), "● Incorrect password");
    EXPECT_TRUE(sentOfType("CONNECT").empty());
}

TEST_F(MainWindowTest, ASharedDesktopIsNeverRetriedAndShowsItsUptime) {
    logIn();
    state("Initiating", "target");
    state("Connected", "target");
    EXPECT_TRUE(access->infoCard()->isVisible());
    EXPECT_EQ(access->uptimeLabel()->text(), "00:00:00");
    ConnectionStats stats;
    stats.uptime_seconds = 360000;
    window->onStatsUpdated(stats);
    EXPECT_EQ(access->uptimeLabel()->text(), "100:00:00");
    stats.uptime_seconds = 3723;
    window->onStatsUpdated(stats);
    EXPECT_EQ(access->uptimeLabel()->text(), "01:02:03");
    state("Failed", "target");
    EXPECT_FALSE(access->loopRunning());
    EXPECT_EQ(status(), "● Session failed");
    EXPECT_TRUE(sentOfType("CONNECT").empty());
}

TEST_F(MainWindowTest, ARefusedConnectShowsTheServicesErrorInABox) {
    logIn();
    deliver({{"type", "ERROR"}, {"message", "Not authenticated"}});
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].title, "Session Error");
    EXPECT_EQ(boxes.boxes()[0].text, "Not authenticated");
}

TEST_F(MainWindowTest, LoggingInShowsTheGroupedIdAndAPipeDropResetsTheWindow) {
    EXPECT_FALSE(access->connectButton()->isEnabled());
    logIn();
    EXPECT_EQ(access->idLabel()->text(), "123 456 789");
    EXPECT_EQ(access->passwordLabel()->text(), "abc123");
    EXPECT_TRUE(access->connectButton()->isEnabled());
    EXPECT_TRUE(access->disconnectButton()->isEnabled());
    access->copyId();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "123456789");

    deliver({{"type", "STATE"}, {"session_password", "xyz789"}});
    EXPECT_EQ(access->passwordLabel()->text(), "xyz789");

    state("Initiating", "master");
    state("Connected", "master");
    server.disconnectClient();
    client.onPipePoll();
    EXPECT_EQ(access->idLabel()->text(), "Not connected");
    EXPECT_EQ(access->passwordLabel()->text(), "------");
    EXPECT_FALSE(access->connectButton()->isEnabled());
    EXPECT_FALSE(access->disconnectButton()->isEnabled());
    EXPECT_EQ(status(), "● Service disconnected — reconnecting...");
    EXPECT_EQ(access->page(), 0);
}

TEST_F(MainWindowTest, AStoredIdBeforeLogInIsShownButConnectsNobody) {
    deliver({{"type", "STATE"},
             {"session_state", "Idle"},
             {"authenticated", false},
             {"client_id", "555666777"},
             {"session_password", "pw1234"}});
    EXPECT_EQ(access->idLabel()->text(), "555 666 777");
    EXPECT_FALSE(access->connectButton()->isEnabled());
    EXPECT_NE(status(), "● Ready");
    EXPECT_NE(status(), "● Online (Ready)");
    logIn();  // another ID, logged in
    EXPECT_TRUE(access->connectButton()->isEnabled());
    EXPECT_EQ(status(), "● Ready");
}

// The usual start: the service reports its stored ID before it has logged in with it.
TEST_F(MainWindowTest, TheStoredIdLoggingInEnablesConnect) {
    IpcMessage state{{"type", "STATE"},
                     {"session_state", "Idle"},
                     {"authenticated", false},
                     {"client_id", "555666777"},
                     {"session_password", "pw1234"}};
    deliver(state);
    EXPECT_FALSE(access->connectButton()->isEnabled());
    state["authenticated"] = true;
    deliver(state);
    EXPECT_TRUE(access->connectButton()->isEnabled());
    EXPECT_EQ(status(), "● Ready");
}

TEST_F(MainWindowTest, ACompanyNameHidesThePairingSection) {
    logIn();
    EXPECT_TRUE(access->pairingSection()->isVisible());
    EXPECT_FALSE(access->companyClientsButton()->isVisible());
    deliver({{"type", "STATE"}, {"company_name", "Acme Support"}});
    EXPECT_FALSE(access->pairingSection()->isVisible());
    EXPECT_TRUE(access->companyClientsButton()->isVisible());
    EXPECT_EQ(access->companyNameLabel()->text(), "Acme Support");
    deliver({{"type", "STATE"}, {"company_name", ""}});
    EXPECT_TRUE(access->pairingSection()->isVisible());
    EXPECT_FALSE(access->companyClientsButton()->isVisible());
    EXPECT_FALSE(access->companyNameLabel()->isVisible());
}

TEST_F(MainWindowTest, ClosingDuringASessionDisconnectsAndKeepsTheHomePage) {
    connectAsViewer();
    EXPECT_FALSE(window->close());
    EXPECT_EQ(sentOfType("DISCONNECT").size(), 1u);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(access->page(), 0);
    EXPECT_EQ(window->windowTitle(), "Veltrix - Remote Access");
}

TEST_F(MainWindowTest, WithoutATrayMinimiseMinimisesAndCloseEnds) {
    logIn();
    ASSERT_TRUE(settings.minimizeToTray());
    window->showMinimized();
    ASSERT_TRUE(test::waitUntil([&] { return window->isMinimized(); }, 3s));
    EXPECT_TRUE(window->isVisible()) << "minimised, not hidden";
    window->showNormal();
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->isVisible());
}

TEST_F(MainWindowTest, CtrlShiftDEndsASharedSession) {
    logIn();
    state("Initiating", "target");
    state("Connected", "target");
    sent();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window.get(), Qt::Key_D, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(sentOfType("DISCONNECT").size(), 1u);
}

TEST_F(MainWindowTest, FormatClientIdGroupsNineCharactersOnly) {
    EXPECT_EQ(MainWindow::formatClientId("123456789"), "123 456 789");
    EXPECT_EQ(MainWindow::formatClientId("12 3456 789"), "123 456 789");
    EXPECT_EQ(MainWindow::formatClientId("12345678"), "12345678");
    EXPECT_EQ(MainWindow::formatClientId(" 1234 "), " 1234 ");
    EXPECT_EQ(MainWindow::formatUptime(0), "00:00:00");
    EXPECT_EQ(MainWindow::formatUptime(360000), "100:00:00");
}

TEST_F(MainWindowTest, HomePageButtonsCopyOpenAndReveal) {
    std::ofstream(root.path() / "instance.ini") << "[web]\nadmin_url=https://admin.example.test/devices\n";
    logIn();
    deliver({{"type", "STATE"}, {"pairing_hash", "MTIzNDU2Nzg5OmFiYw=="}});
    const auto button = [&](const char* toolTip) {
        for (QPushButton* b : window->findChildren<QPushButton*>())
            if (b->toolTip() == toolTip) return b;
        return static_cast<QPushButton*>(nullptr);
    };

    test::UrlCatcher urls;
    QDesktopServices::setUrlHandler("https", &urls, "open");
    ASSERT_NE(button("Admin Panel"), nullptr);
    button("Admin Panel")->click();
    QDesktopServices::unsetUrlHandler("https");
    ASSERT_EQ(urls.opened.size(), 1);
    EXPECT_EQ(urls.opened[0].toString(), "https://admin.example.test/devices");

    button("Copy Password")->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "abc123");
    button("Copy Pairing Hash")->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "MTIzNDU2Nzg5OmFiYw==");
    for (QLabel* label : window->findChildren<QLabel*>())
        EXPECT_FALSE(label->text().contains("MTIz")) << "the hash itself is never shown";
    button("Regenerate Password")->click();
    EXPECT_EQ(sentOfType("REGENERATE_PASSWORD").size(), 1u);

    access->passwordVisibilityAction()->trigger();
    EXPECT_EQ(access->passwordField()->echoMode(), QLineEdit::Normal);
    access->passwordVisibilityAction()->trigger();
    EXPECT_EQ(access->passwordField()->echoMode(), QLineEdit::Password);
}

TEST_F(MainWindowTest, TheWindowHasItsFifteenSlotsInOrderAndNoSignals) {
    const QMetaObject& meta = MainWindow::staticMetaObject;
    std::vector<std::string> own;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        EXPECT_NE(meta.method(i).methodType(), QMetaMethod::Signal) << meta.method(i).methodSignature().toStdString();
        own.push_back(meta.method(i).name().toStdString());
    }
    EXPECT_EQ(own, (std::vector<std::string>{"onAuthenticated", "onServiceDisconnected", "onConnectClicked",
                                              "onDisconnectClicked", "onSettingsClicked", "onSessionStateChanged",
                                              "onSessionError", "onAuthFailed", "onFrameDecoded", "onStatsUpdated",
                                              "tryReconnectStep", "onRemoteClipboardFiles", "onPasteUploadComplete",
                                              "onPasteAllUploadsComplete", "injectPasteKeystrokeOnRemote"}));
}

TEST_F(MainWindowTest, ButtonsGetThePointingHandWhenPolished) {
    ButtonCursorFilter filter;
    qApp->installEventFilter(&filter);
    QPushButton button("x");
    QLabel label("y");
    button.show();
    label.show();
    QApplication::processEvents();
    qApp->removeEventFilter(&filter);
    EXPECT_EQ(button.cursor().shape(), Qt::PointingHandCursor);
    EXPECT_NE(label.cursor().shape(), Qt::PointingHandCursor);
}

TEST_F(MainWindowTest, TheClientIconHasSevenPaintedSizes) {
    const QIcon icon = clientIcon();
    QList<QSize> sizes = icon.availableSizes();
    ASSERT_EQ(sizes.size(), 7);
    for (const int s : {16, 24, 32, 48, 64, 128, 256}) EXPECT_TRUE(sizes.contains(QSize(s, s))) << s;
    // The rounded corner at 64 px has a radius of 12: the corner pixel is clear, the centre blue.
    const QImage image = paintClientIconPixmap(64).toImage();
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
    EXPECT_EQ(image.pixelColor(6, 32), QColor(34, 102, 187));
    EXPECT_EQ(image.pixelColor(32, 6), QColor(34, 102, 187));

    // At 24 px the corner radius is 4 and the letter 13 points: the same picture painted here
    // with those two figures.
    QPixmap expected(24, 24);
    expected.fill(Qt::transparent);
    {
        QPainter painter(&expected);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing | QPainter::SmoothPixmapTransform);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(34, 102, 187));
        painter.drawRoundedRect(QRect(0, 0, 24, 24), 4, 4, Qt::AbsoluteSize);
        painter.setPen(Qt::white);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPointSize(13);
        font.setWeight(QFont::Bold);
        painter.setFont(font);
        painter.drawText(QRect(0, 0, 24, 24), Qt::AlignCenter, QStringLiteral("V"));
    }
    EXPECT_EQ(paintClientIconPixmap(24).toImage(), expected.toImage());
}

TEST_F(MainWindowTest, EveryNamedIconIsAResourceThatDraws) {
    for (const char* name : {"admin", "arrow_back", "aspect_ratio", "chat", "content_copy", "desktop_windows",
                             "download", "expand_more", "file", "fit_screen", "folder", "folder_open", "fullscreen",
                             "group", "high_quality", "keyboard", "link_off", "lock_reset", "power", "settings",
                             "upload", "visibility", "visibility_off", "zoom_in", "zoom_out"}) {
        SCOPED_TRACE(name);
        const QString path = QStringLiteral(":/icons/") + name;
        EXPECT_TRUE(QFile::exists(path));
        const QImage image = QIcon(path).pixmap(24, 24).toImage();
        ASSERT_FALSE(image.isNull());
        int drawn = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) drawn += qAlpha(image.pixel(x, y)) > 0;
        EXPECT_GT(drawn, 10);
    }
}

TEST_F(MainWindowTest, HomePagePicture) {
    logIn();
    qApp->setStyleSheet(clientStyleSheet());
    window->resize(420, window->sizeHint().height());
    QApplication::processEvents();
    EXPECT_FALSE(test::saveArtefact(*window, "gui_tests", "home-page").isEmpty());
    qApp->setStyleSheet(QString());
}


// --- the remote view: toolbar, key combinations, monitors, the partner's encode size ------------

class RemoteViewTest : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        access->resolutionTimer().setInterval(20);  // the 500 ms pause, shortened
    }

    void viewerSize(int width, int height) { emit access->viewer()->displayResolutionChanged(QSize(width, height)); }
    void remoteCapture(int width, int height) {
        deliver({{"type", "REMOTE_CAPTURE_RESOLUTION"}, {"width", width}, {"height", height}});
    }
    // The encode sizes sent once the pause has passed.
    std::vector<QSize> encodeSizesSent() {
        test::waitUntil([&] { return !access->resolutionTimer().isActive(); }, 2s);
        std::vector<QSize> sizes;
        for (const auto& m : sentOfType("SET_REMOTE_ENCODE_RESOLUTION"))
            sizes.emplace_back(m.value("width", -1), m.value("height", -1));
        return sizes;
    }
    QAction* menuEntry(QMenu* menu, const QString& text) {
        for (QAction* action : menu->actions())
            if (action->text() == text) return action;
        return nullptr;
    }
};

TEST_F(RemoteViewTest, TheAutomaticEncodeSizeFollowsTheViewerAtThePartnersAspect) {
    connectAsViewer();
    remoteCapture(1920, 1080);
    sent();
    viewerSize(1600, 900);
    EXPECT_EQ(encodeSizesSent(), std::vector<QSize>{QSize(1600, 900)});

    viewerSize(1663, 963);
    EXPECT_TRUE(encodeSizesSent().empty()) << "under 64 pixels: not sent";
    for (int i = 0; i < 10; ++i) viewerSize(1200 + i * 10, 1000);  // a burst of resizes
    viewerSize(1000, 1000);
    EXPECT_EQ(encodeSizesSent(), std::vector<QSize>{QSize(1000, 562)}) << "one send per pause";

    remoteCapture(1920, 1080);
    EXPECT_EQ(encodeSizesSent(), std::vector<QSize>{QSize(1000, 562)}) << "a new remote capture is always told";

    viewerSize(1600, 900);
    encodeSizesSent();
    access->viewer()->setZoom(2.0);
    EXPECT_EQ(encodeSizesSent(), std::vector<QSize>{QSize(1920, 1080)}) << "no larger than the partner";
    viewerSize(100, 50);
    access->viewer()->setZoom(1.0);
    EXPECT_EQ(encodeSizesSent(), std::vector<QSize>{QSize(160, 120)});

    QAction* native = menuEntry(access->toolbar()->resolutionMenu(), "Native");
    ASSERT_NE(native, nullptr);
    native->trigger();
    native->trigger();
    EXPECT_EQ(encodeSizesSent(), std::vector<QSize>{QSize(0, 0)}) << "Native twice is sent once";
}

TEST_F(RemoteViewTest, NoEncodeSizeIsSentOutsideAViewingSession) {
    logIn();
    viewerSize(1600, 900);
    EXPECT_TRUE(encodeSizesSent().empty());
    state("Connected", "target");
    viewerSize(1280, 720);
    menuEntry(access->toolbar()->resolutionMenu(), "1280x720")->trigger();
    EXPECT_TRUE(encodeSizesSent().empty());
}

TEST_F(RemoteViewTest, KeyCombinationsAndTheSecureAttentionSequence) {
    connectAsViewer();
    EXPECT_TRUE(access->toolbar()->isKeyboardItemVisible());
    menuEntry(access->toolbar()->keyboardMenu(), "Alt+Shift+Tab")->trigger();
    const auto inputs = sentOfType("INPUT");
    ASSERT_EQ(inputs.size(), 6u);
    const std::pair<int, int> expected[] = {{5, 0x12}, {5, 0x10}, {5, 0x09}, {6, 0x09}, {6, 0x10}, {6, 0x12}};
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_EQ(inputs[i]["event"].value("type", 0), expected[i].first) << i;
        EXPECT_EQ(inputs[i]["event"].value("vk_code", 0), expected[i].second) << i;
        EXPECT_EQ(inputs[i]["event"].value("timestamp_ms", 0LL), inputs[0]["event"].value("timestamp_ms", 1LL));
    }
    menuEntry(access->toolbar()->keyboardMenu(), "Win+L (Lock)")->trigger();
    const auto winL = sentOfType("INPUT");
    ASSERT_EQ(winL.size(), 4u);
    EXPECT_TRUE(winL[0]["event"].value("extended", false));
    menuEntry(access->toolbar()->keyboardMenu(), "Ctrl+Alt+Delete")->trigger();
    EXPECT_EQ(sentOfType("SEND_SAS_TO_REMOTE").size(), 1u);
}

TEST_F(RemoteViewTest, ThePartnersMonitorsAreOfferedUpToSixteen) {
    connectAsViewer();
    struct Row {
        int count;
        bool shown;
        int entries;
    };
    for (const Row row : {Row{1, false, 1}, Row{3, true, 3}, Row{1000000, true, 16}, Row{-5, false, 1}}) {
        deliver({{"type", "REMOTE_MONITOR_COUNT"}, {"count", row.count}});
        EXPECT_EQ(access->toolbar()->isMonitorItemVisible(), row.shown) << row.count;
        EXPECT_EQ(access->toolbar()->monitorMenu()->actions().size(), row.entries) << row.count;
    }
    deliver({{"type", "REMOTE_MONITOR_COUNT"}, {"count", 3}});
    sent();
    menuEntry(access->toolbar()->monitorMenu(), "Monitor 3")->trigger();
    const auto switches = sentOfType("SWITCH_REMOTE_MONITOR");
    ASSERT_EQ(switches.size(), 1u);
    EXPECT_EQ(switches[0].value("monitor_index", -1), 2);

    state("Idle", "none");
    EXPECT_FALSE(access->toolbar()->isMonitorItemVisible());
    EXPECT_FALSE(access->toolbar()->isKeyboardItemVisible());
    EXPECT_TRUE(access->toolbar()->monitorMenu()->actions().isEmpty());
}

TEST_F(RemoteViewTest, TheScaleMenuShowsTheViewersModeHoweverItChanged) {
    connectAsViewer();
    QMenu* scale = access->toolbar()->scaleMenu();
    menuEntry(scale, "Fit to Window")->trigger();
    EXPECT_EQ(access->viewer()->scaleMode(), 0);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window.get(), Qt::Key_Q, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(access->viewer()->scaleMode(), 1);
    EXPECT_TRUE(menuEntry(scale, "Original Size")->isChecked());
    menuEntry(scale, "Fit to Window")->trigger();
    QKeyEvent ctrl1(QEvent::KeyPress, Qt::Key_1, Qt::ControlModifier, 10, 0, 0);
    QApplication::sendEvent(access->viewer(), &ctrl1);
    EXPECT_EQ(access->viewer()->scaleMode(), 1);
    EXPECT_TRUE(menuEntry(scale, "Original Size")->isChecked());
}

TEST_F(RemoteViewTest, AViewingSessionFeedsTheViewerAndItsInputReachesThePipe) {
    connectAsViewer();
    EXPECT_TRUE(access->viewer()->isViewingMode());
    auto frame = std::make_shared<DecodedFrame>();
    frame->width = 640;
    frame->height = 360;
    frame->strideY = 640;
    frame->strideUV = 640;
    frame->y.assign(640 * 360, 150);
    frame->uv.assign(640 * 180, 90);
    window->onFrameDecoded(frame);
    ASSERT_TRUE(test::waitUntil([&] { return access->viewer()->frameSize() == QSize(640, 360); }, 5s));
    access->viewer()->setScaleMode(0);
    access->viewer()->setZoom(1.25);
    EXPECT_EQ(access->toolbar()->zoomLabel()->text(), "125%");
    QApplication::processEvents();
    EXPECT_TRUE(access->toolbar()->zoomLabel()->isVisible());
    EXPECT_FALSE(test::saveArtefact(*window, "gui_tests", "remote-view").isEmpty());

    sent();
    const QPoint centre = access->viewer()->rect().center();
    QTest::mouseClick(access->viewer(), Qt::LeftButton, Qt::NoModifier, centre);
    const auto inputs = sentOfType("INPUT");
    ASSERT_EQ(inputs.size(), 2u);
    EXPECT_EQ(inputs[0]["event"].value("type", 0), 2);

    state("Idle", "none");
    EXPECT_FALSE(access->viewer()->isViewingMode());
    EXPECT_FALSE(access->toolbar()->zoomLabel()->isVisible());
}

TEST_F(MainWindowTest, ChatOnTheViewingSideSendsLogsAndMarksUnreadLines) {
    connectAsViewer();
    QPointer<ChatDialog> first = access->chatDialog();
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->isVisible());
    EXPECT_EQ(access->chatAction()->text(), "Chat");

    deliver({{"type", "CHAT_MSG"}, {"from", "Partner PC"}, {"text", "hello <you>"}, {"timestamp", 0}});
    EXPECT_EQ(first->history()->toPlainText(),
              "Remote " + QDateTime::fromMSecsSinceEpoch(0).toString("HH:mm") + "\nhello <you>");
    EXPECT_FALSE(first->isVisible());
    EXPECT_EQ(access->chatAction()->text(), QString::fromUtf8("Chat \u25CF"));

    access->chatAction()->trigger();
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(access->chatAction()->text(), "Chat");

    sent();
    first->input()->setText("  héllo  ");
    first->onSendClicked();
    const auto chats = sentOfType("CHAT_SEND");
    ASSERT_EQ(chats.size(), 1u);
    EXPECT_EQ(chats[0].value("text", ""), "héllo");
    EXPECT_TRUE(logs.contains("Chat: sending message 'héllo' (5 chars)"));
    EXPECT_TRUE(first->history()->toPlainText().contains("\nMe "));
    EXPECT_TRUE(first->history()->toPlainText().endsWith("\nhéllo"));
    EXPECT_FALSE(test::saveArtefact(*first, "gui_tests", "chat-in-session").isEmpty());

    // A new session brings a fresh dialog; the home page drops it.
    state("Reconnecting", "master");
    state("Connected", "master");
    QApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(first);
    ASSERT_TRUE(access->chatDialog());
    EXPECT_TRUE(access->chatDialog()->history()->toPlainText().isEmpty());
    QPointer<ChatDialog> second = access->chatDialog();
    state("Idle", "none");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(second);
    EXPECT_FALSE(access->chatDialog());
}

TEST_F(MainWindowTest, EachViewingSessionGetsAFreshFileManagerOnTheWindowsTransferToken) {
    logIn();
    access->fileTransferAction()->trigger();  // disabled and no dialog yet: nothing happens
    EXPECT_FALSE(access->fileManagerDialog());
    state("Initiating", "target");
    state("Connected", "target");
    EXPECT_FALSE(access->fileManagerDialog()) << "only the viewing side browses the partner";
    state("Idle", "none");

    connectAsViewer();
    QPointer<FileManagerDialog> first = access->fileManagerDialog();
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->isVisible());
    EXPECT_TRUE(access->fileTransferAction()->isEnabled());
    const auto listings = sentOfType("FILE_LIST_DIR");
    ASSERT_EQ(listings.size(), 1u);
    EXPECT_EQ(listings[0].value("path", "?"), "");
    access->fileTransferAction()->trigger();
    EXPECT_TRUE(first->isVisible());

    // The dialog's batches run on the window's token, which the paste flow shares.
    FileTransferOwnership& token = access->fileTransferOwnership();
    deliver({{"type", "FILE_DIR_LISTED"}, {"path", ""}, {"entries", {{{"name", "veltrix-file-manager-test.bin"}, {"is_dir", false}, {"size", 1}}}}});
    first->remoteView()->topLevelItem(0)->setSelected(true);
    first->onDownloadClicked();
    EXPECT_TRUE(token.isHeldBy(first));
    ASSERT_EQ(sentOfType("FILE_DOWNLOAD").size(), 1u);

    // The home page keeps the dialog; the next viewing session replaces it and frees the token.
    state("Idle", "none");
    EXPECT_FALSE(access->fileTransferAction()->isEnabled());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(access->fileManagerDialog(), first.data());
    state("Initiating", "master");
    state("Connected", "master");
    FileManagerDialog* second = access->fileManagerDialog();
    ASSERT_NE(second, first.data());
    EXPECT_FALSE(token.isHeld());
    EXPECT_FALSE(first->isVisible());
    deliver({{"type", "FILE_DIR_LISTED"}, {"path", ""}, {"entries", {{{"name", "g"}, {"is_dir", true}, {"size", 0}}}}});
    EXPECT_EQ(first->remoteView()->topLevelItem(0)->text(0), "veltrix-file-manager-test.bin")
        << "the old dialog hears nothing more";
    EXPECT_EQ(second->remoteView()->topLevelItemCount(), 1);
    EXPECT_EQ(second->remoteView()->topLevelItem(0)->text(0), "g");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(first);
}

TEST_F(MainWindowTest, TheFileManagerAndThePasteFlowTakeTurnsOnOneTransfer) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    QFile file(folder.filePath("paste.txt"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("x");
    file.close();
    const QList<QUrl> pasted{QUrl::fromLocalFile(file.fileName())};
    connectAsViewer();
    FileManagerDialog* dialog = access->fileManagerDialog();
    ASSERT_TRUE(dialog);
    FileTransferOwnership& token = access->fileTransferOwnership();
    const auto count = [](const std::vector<IpcMessage>& messages, const std::string& type) {
        return std::count_if(messages.begin(), messages.end(),
                             [&](const IpcMessage& m) { return m.value("type", "") == type; });
    };

    // The dialog's download runs: a paste is refused and sends nothing.
    deliver({{"type", "FILE_DIR_LISTED"}, {"path", ""}, {"entries", {{{"name", "veltrix-fm-a.bin"}, {"is_dir", false}, {"size", 1}},
                                                                    {{"name", "veltrix-fm-b.bin"}, {"is_dir", false}, {"size", 1}}}}});
    dialog->remoteView()->selectAll();
    dialog->onDownloadClicked();
    ASSERT_EQ(count(sent(), "FILE_DOWNLOAD"), 1);
    access->beginPasteFiles(pasted);
    EXPECT_TRUE(sent().empty());
    EXPECT_TRUE(token.isHeldBy(dialog));
    deliver({{"type", "FILE_DOWNLOAD_COMPLETE"}, {"local_path", "/tmp/veltrix-fm-a.bin"}});
    ASSERT_EQ(count(sent(), "FILE_DOWNLOAD"), 1) << "the download's completion moved the dialog on";
    deliver({{"type", "FILE_DOWNLOAD_COMPLETE"}, {"local_path", "/tmp/veltrix-fm-b.bin"}});
    EXPECT_FALSE(token.isHeld());

    // The paste runs: the dialog refuses, and the paste's completion is not the dialog's.
    access->beginPasteFiles(pasted);
    const auto pasteStart = sent();
    EXPECT_EQ(count(pasteStart, "FILE_UPLOAD"), 1);
    EXPECT_FALSE(token.isHeldBy(dialog));
    EXPECT_TRUE(token.isHeld());
    dialog->onDownloadClicked();
    EXPECT_EQ(dialog->statusLabel()->text(),
              QString::fromUtf8("Another file transfer is in progress — please wait until it finishes."));
    EXPECT_TRUE(sent().empty());
    deliver({{"type", "FILE_UPLOAD_COMPLETE"}});
    EXPECT_EQ(dialog->statusLabel()->text(),
              QString::fromUtf8("Another file transfer is in progress — please wait until it finishes."));
    EXPECT_FALSE(dialog->isTransferring());
}

TEST_F(MainWindowTest, ChatLineOnTheSharedSideOpensTheDialog) {
    logIn();
    // Before any session there is no dialog: a stray line changes nothing.
    deliver({{"type", "CHAT_MSG"}, {"from", "x"}, {"text", "early"}});
    EXPECT_FALSE(access->chatDialog());

    state("Initiating", "target");
    state("Connected", "target");
    ASSERT_TRUE(access->chatDialog());
    EXPECT_FALSE(access->chatDialog()->isVisible());
    deliver({{"type", "CHAT_MSG"}, {"from", "Viewer"}, {"text", "can you see me?"}});
    EXPECT_TRUE(access->chatDialog()->isVisible());
    EXPECT_EQ(access->chatAction()->text(), "Chat");
    EXPECT_TRUE(access->chatDialog()->history()->toPlainText().startsWith("Remote "));
}

TEST_F(MainWindowTest, TrayMirrorsTheStatusAndTheSession) {
    ASSERT_TRUE(access->trayIcon());
    EXPECT_TRUE(access->trayIcon()->isVisible());
    logIn();
    EXPECT_EQ(access->trayIcon()->statusAction()->text(), "Ready");
    EXPECT_FALSE(access->trayIcon()->disconnectAction()->isEnabled());
    typeAndConnect("987 654 321", "secret");
    state("Initiating", "master");
    state("Connected", "master");
    EXPECT_EQ(access->trayIcon()->statusAction()->text(), "Connected");
    EXPECT_TRUE(access->trayIcon()->disconnectAction()->isEnabled());
    sent();
    access->trayIcon()->disconnectAction()->trigger();
    EXPECT_EQ(sentOfType("DISCONNECT").size(), 1u);
    state("Idle", "none");
    EXPECT_FALSE(access->trayIcon()->disconnectAction()->isEnabled());

    window->hide();
    emit access->trayIcon()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(window->isVisible());
}

// Qt reports the icon visible even with no tray host: the window must not hide itself then.
TEST_F(MainWindowTest, MinimiseInASessionHidesOnlyWhenATrayHostExists) {
    for (const bool host : {false, true}) {
        SCOPED_TRACE(host);
        window->setTrayAvailability([host] { return host; });
        connectAsViewer();
        logs.clear();
        window->showMinimized();
        QApplication::processEvents();
        if (host) {
            ASSERT_TRUE(test::waitUntil([&] { return !window->isVisible(); }, 3s));
        } else {
            ASSERT_TRUE(test::waitUntil([&] { return window->isMinimized(); }, 3s));
            EXPECT_TRUE(window->isVisible()) << "minimised, not hidden";
        }
        state("Idle", "none");
        window->showNormal();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
}

TEST_F(MainWindowTest, UnderATrayHostMinimiseInASessionHidesWithOneNotification) {
    test::TrayHost host;
    if (!host.running()) GTEST_SKIP() << "icewm is not installed (scripts/setup)";
    logs.clear();
    logIn();
    EXPECT_TRUE(logs.contains("Tray notification shown: Veltrix - Ready. Your ID: 123 456 789"));
    connectAsViewer();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    logs.clear();
    // Iconified by the window manager, as its minimise button does.
    QProcess::execute("xdotool", {"windowminimize", QString::number(window->winId())});
    ASSERT_TRUE(test::waitUntil([&] { return !window->isVisible(); }, 3s));
    test::runEventsFor(200ms);
    EXPECT_EQ(logs.count("Tray notification shown: Veltrix - Application minimized to system tray."), 1u);
    emit access->trayIcon()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(window->isVisible());
}

}  // namespace
}  // namespace veltrix

