// The main window against a test server on the real pipe: the partner form's checks and the
// CONNECT it sends, the status line of every state as viewer and as shared desktop, the retry
// loop on an injected clock, and the home page's actions, icons, minimise and close.
#include "MainWindowFixture.h"

#include <QLayout>

#include <functional>

namespace veltrix {
namespace {

using namespace std::chrono_literals;
using test::MainWindowTest;

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

// The service reports a partner that vanished as Failed (retried above) and one that ended the
// session as Idle: the user is told so, and nothing is retried against the partner's will. The
// user's own ends, by any way, and an Idle after a failure stay plain "Online (Ready)".
TEST_F(MainWindowTest, ASessionThePartnerEndsIsReportedAndNotRetried) {
    for (const char* role : {"master", "target"}) {
        SCOPED_TRACE(role);
        connectAsViewer();
        state("Initiating", role);
        state("Connected", role);
        state("Closing", role);
        state("Idle");
        EXPECT_EQ(status(), "● The partner ended the session");
        EXPECT_EQ(statusColour(), "#cc7700");
        EXPECT_FALSE(access->loopRunning());
        EXPECT_TRUE(sentOfType("CONNECT").empty());
        EXPECT_TRUE(logs.contains("Session ended by the partner"));
        logs.clear();
    }
    const std::vector<std::pair<const char*, std::function<void()>>> ownEnds = {
        {"Disconnect button", [&] { window->onDisconnectClicked(); }},
        {"closing the window", [&] { window->close(); }},
        {"the tray's Disconnect", [&] { emit access->trayIcon()->disconnectRequested(); }},
    };
    for (const auto& [name, end] : ownEnds) {
        SCOPED_TRACE(name);
        connectAsViewer();
        end();
        EXPECT_EQ(sentOfType("DISCONNECT").size(), 1u);
        state("Closing", "master");
        state("Idle");
        EXPECT_EQ(status(), "● Online (Ready)");
        window->show();
    }
    connectAsViewer();
    state("Failed", "master");
    window->onDisconnectClicked();
    state("Idle");
    EXPECT_EQ(status(), "● Online (Ready)");
    EXPECT_FALSE(logs.contains("Session ended by the partner"));
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

// A partner that connected and then sent nothing: the service's text is shown, and no retry
// loop follows (it would connect and fail the same way again); a later plain loss is retried.
TEST_F(MainWindowTest, AFailureTheServiceExplainsIsShownAndNotRetried) {
    connectAsViewer();
    deliver({{"type", "ERROR"}, {"message", "Remote side sent nothing — its screen cannot be shared right now"}});
    ASSERT_TRUE(test::waitUntil([&] { return !boxes.boxes().empty(); }, 5s));
    EXPECT_EQ(boxes.boxes()[0].title, "Session Error");
    EXPECT_EQ(boxes.boxes()[0].text, "Remote side sent nothing — its screen cannot be shared right now");
    state("Failed", "master");
    EXPECT_FALSE(access->loopRunning());
    EXPECT_EQ(status(), "● Session failed");
    EXPECT_TRUE(sentOfType("CONNECT").empty());

    state("Idle");
    connectAsViewer();
    state("Failed", "master");
    EXPECT_TRUE(access->loopRunning());
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
    // The backend's or the partner's own words (a signaling reason here) are shown as they are,
    // tags and all, never drawn as markup.
    deliver({{"type", "ERROR"}, {"message", "Connection failed: <h1 style='color:red'>FAKE</h1>"}});
    ASSERT_EQ(boxes.boxes().size(), 2u);
    EXPECT_EQ(boxes.boxes()[1].text, "Connection failed: <h1 style='color:red'>FAKE</h1>");
    EXPECT_EQ(boxes.boxes()[1].format, Qt::PlainText);
    // What the window shows of the service is plain text too.
    deliver({{"type", "STATE"}, {"company_name", "<b>Acme</b>"}});
    EXPECT_EQ(access->companyNameLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(access->idLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(access->passwordLabel()->textFormat(), Qt::PlainText);
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
    pipe.dropClient();
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
    QApplication::processEvents();  // polished under the style sheet before the window measures itself
    window->resize(420, window->sizeHint().height());
    QApplication::processEvents();
    EXPECT_FALSE(test::saveArtefact(*window, "gui_tests", "home-page").isEmpty());
    // The page as laid out: its blocks stacked in order, each whole inside the window, and
    // nothing on it squeezed below the size it needs (a cut text, a button too small to show its
    // label), which a fault of the layout breaks.
    int previousBottom = 0;
    for (QWidget* block : access->homePage()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (block->isHidden()) continue;
        const QRect area(block->mapTo(window.get(), QPoint(0, 0)), block->size());
        SCOPED_TRACE(block->metaObject()->className() + std::string(" ") + block->objectName().toStdString());
        EXPECT_TRUE(window->rect().contains(area)) << area.x() << "," << area.y() << " " << area.width() << "x"
                                                    << area.height();
        EXPECT_GE(area.top(), previousBottom) << "overlaps the block above";
        previousBottom = area.bottom();
    }
    // Whether a layout (not a composite widget such as the partner box) places `widget`.
    const std::function<bool(QLayout*, QWidget*)> places = [&](QLayout* layout, QWidget* widget) {
        for (int i = 0; layout && i < layout->count(); ++i) {
            QLayoutItem* item = layout->itemAt(i);
            if (item->widget() == widget || places(item->layout(), widget)) return true;
        }
        return false;
    };
    for (QWidget* widget : access->homePage()->findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(window.get()) || !places(widget->parentWidget()->layout(), widget)) continue;
        const QSize needed = widget->minimumSizeHint();
        SCOPED_TRACE(widget->metaObject()->className() + std::string(" ") + widget->objectName().toStdString());
        EXPECT_GE(widget->width(), needed.width());
        EXPECT_GE(widget->height(), needed.height());
    }
    const QLabel* id = access->idLabel();
    EXPECT_GE(id->width(), id->sizeHint().width()) << "the ID is cut";
    qApp->setStyleSheet(QString());
}


// --- the remote view: toolbar, key combinations, monitors, the partner's encode size ------------

}  // namespace
}  // namespace veltrix
