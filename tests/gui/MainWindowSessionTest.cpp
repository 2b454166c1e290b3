// The main window during a session, against a test server on the real pipe: the remote view and
// its commands, chat, the file manager and the paste flow on the one transfer token, and the tray.
#include "MainWindowFixture.h"

namespace veltrix {
namespace {

using namespace std::chrono_literals;
using test::MainWindowTest;

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

// Keys typed on this X server (XTest, as a keyboard types them) while the viewer has the focus:
// every key reaches the partner in order, Tab and Shift+Tab too, while the window's own shortcuts
// act here and send none of their keys.
TEST_F(RemoteViewTest, KeysTypedInTheViewerReachThePartnerExceptTheWindowsShortcuts) {
    connectAsViewer();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QProcess::execute("xdotool", {"windowfocus", "--sync", QString::number(window->winId())});
    ASSERT_TRUE(test::waitUntil([&] { return access->viewer()->hasFocus(); }, 5s));
    sent();
    // (type, virtual key) of every INPUT sent, once `count` have come.
    const auto keysSent = [&](std::size_t count) {
        std::vector<std::pair<int, unsigned>> keys;
        test::waitUntil(
            [&] {
                for (const auto& m : sentOfType("INPUT")) keys.emplace_back(m["event"].value("type", 0), m["event"].value("vk_code", 0u));
                return keys.size() >= count;
            },
            5s);
        test::runEventsFor(100ms);
        for (const auto& m : sentOfType("INPUT")) keys.emplace_back(m["event"].value("type", 0), m["event"].value("vk_code", 0u));
        return keys;
    };
    constexpr int down = InputEvent::KeyDown, up = InputEvent::KeyUp;

    // xdotool lets go of a combination's keys in the order it pressed them.
    QProcess::execute("xdotool", {"key", "--delay", "20", "a", "Tab", "b", "shift+Tab"});
    EXPECT_EQ(keysSent(10), (std::vector<std::pair<int, unsigned>>{{down, 0x41},
                                                                    {up, 0x41},
                                                                    {down, 0x09},
                                                                    {up, 0x09},
                                                                    {down, 0x42},
                                                                    {up, 0x42},
                                                                    {down, 0x10},
                                                                    {down, 0x09},
                                                                    {up, 0x10},
                                                                    {up, 0x09}}));
    EXPECT_TRUE(access->viewer()->hasFocus()) << "Tab moved the focus";

    // A local shortcut: it acts, and neither its modifiers nor its key reach the partner.
    const int mode = access->viewer()->scaleMode();
    QProcess::execute("xdotool", {"key", "ctrl+shift+q"});
    ASSERT_TRUE(test::waitUntil([&] { return access->viewer()->scaleMode() != mode; }, 5s));
    EXPECT_TRUE(keysSent(0).empty());

    // A modifier pressed alone reaches the partner as a tap; Ctrl with a key as Ctrl with that key.
    QProcess::execute("xdotool", {"key", "--delay", "20", "alt", "ctrl+c"});
    EXPECT_EQ(keysSent(6), (std::vector<std::pair<int, unsigned>>{
                               {down, 0x12}, {up, 0x12}, {down, 0x11}, {down, 0x43}, {up, 0x11}, {up, 0x43}}));

    QProcess::execute("xdotool", {"key", "ctrl+shift+d"});
    ASSERT_TRUE(test::waitUntil([&] { return !sentOfType("DISCONNECT").empty(); }, 5s));
    test::runEventsFor(100ms);
    EXPECT_TRUE(sentOfType("INPUT").empty());
}

TEST_F(MainWindowTest, ChatOnTheViewingSideSendsLogsAndMarksUnreadLines) {
    connectAsViewer();
    QPointer<ChatDialog> first = access->chatDialog();
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->isVisible());
    EXPECT_EQ(access->chatAction()->text(), "Chat");

    // The toolbar shows icons only: the unread mark is a red dot on the Chat button itself.
    QWidget* chatButton = access->toolbar()->widgetForAction(access->chatAction());
    ASSERT_NE(chatButton, nullptr);
    qApp->setStyleSheet(clientStyleSheet());
    const auto redInTheCorner = [&] {
        QApplication::processEvents();
        const QImage picture = chatButton->grab().toImage();
        int red = 0;
        for (int y = 0; y < picture.height() / 2; ++y)
            for (int x = picture.width() / 2; x < picture.width(); ++x) {
                const QColor c = picture.pixelColor(x, y);
                red += c.red() > 200 && c.green() < 120 && c.blue() < 120;
            }
        return red;
    };
    EXPECT_EQ(redInTheCorner(), 0);

    deliver({{"type", "CHAT_MSG"}, {"from", "Partner PC"}, {"text", "hello <you>"}, {"timestamp", 0}});
    EXPECT_EQ(first->history()->toPlainText(),
              "Remote " + QDateTime::fromMSecsSinceEpoch(0).toString("HH:mm") + "\nhello <you>");
    EXPECT_FALSE(first->isVisible());
    EXPECT_EQ(access->chatAction()->text(), QString::fromUtf8("Chat \u25CF"));
    EXPECT_GT(redInTheCorner(), 10) << "no mark on the Chat button";
    EXPECT_FALSE(test::saveArtefact(*access->toolbar(), "gui_tests", "chat-unread-mark").isEmpty());

    access->chatAction()->trigger();
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(access->chatAction()->text(), "Chat");
    EXPECT_EQ(redInTheCorner(), 0) << "read: the mark goes";
    qApp->setStyleSheet(QString());

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
