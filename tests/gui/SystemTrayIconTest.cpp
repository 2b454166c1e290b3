// The tray icon on its own: menu order and states, the signals each entry emits, the double-click,
// the status line, the Disconnect switch, the tool tip and the painted icon.
#include <gtest/gtest.h>

#include <QAction>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QSignalSpy>

#include <vector>

#include "GuiTestSupport.h"
#include "gui/SystemTrayIcon.h"
#include "support/LogCapture.h"
#include "support/WaitUntil.h"

namespace veltrix {
namespace {

TEST(SystemTrayIconTest, MenuEntriesInOrderWithTheirStates) {
    test::LogCapture logs;
    SystemTrayIcon tray;
    EXPECT_TRUE(logs.contains("System tray icon initialized"));
    EXPECT_EQ(tray.toolTip(), "Veltrix - Remote Access");
    EXPECT_EQ(tray.contextMenu(), tray.menu());
    EXPECT_EQ(tray.menu()->parent(), nullptr);

    struct Entry {
        QString text;  // empty: a separator
        bool enabled;
    };
    const std::vector<Entry> expected = {{"Show", true},       {"Status: Disconnected", false},
                                         {"", true},           {"Disconnect", false},
                                         {"Settings", true},   {"Check for updates", true},
                                         {"", true},           {"Quit", true}};
    const QList<QAction*> actions = tray.menu()->actions();
    ASSERT_EQ(actions.size(), static_cast<qsizetype>(expected.size()));
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(actions[i]->isSeparator(), expected[i].text.isEmpty());
        EXPECT_EQ(actions[i]->text(), expected[i].text);
        EXPECT_EQ(actions[i]->isEnabled(), expected[i].enabled);
    }
    EXPECT_EQ(tray.icon().availableSizes().size(), 7);
}

TEST(SystemTrayIconTest, EachEntryAndTheDoubleClickEmitTheirSignal) {
    SystemTrayIcon tray;
    tray.setDisconnectEnabled(true);
    QSignalSpy show(&tray, &SystemTrayIcon::showWindowRequested);
    QSignalSpy disconnect(&tray, &SystemTrayIcon::disconnectRequested);
    QSignalSpy updates(&tray, &SystemTrayIcon::checkForUpdatesRequested);
    QSignalSpy settings(&tray, &SystemTrayIcon::settingsRequested);
    QSignalSpy quit(&tray, &SystemTrayIcon::quitRequested);
    for (QAction* action : tray.menu()->actions()) action->trigger();
    EXPECT_EQ(show.size(), 1);
    EXPECT_EQ(disconnect.size(), 1);
    EXPECT_EQ(updates.size(), 1);
    EXPECT_EQ(settings.size(), 1);
    EXPECT_EQ(quit.size(), 1);

    emit tray.activated(QSystemTrayIcon::Trigger);
    emit tray.activated(QSystemTrayIcon::Context);
    EXPECT_EQ(show.size(), 1) << "single clicks do nothing";
    emit tray.activated(QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(show.size(), 2);
}

TEST(SystemTrayIconTest, StatusLineAndDisconnectFollowTheCalls) {
    SystemTrayIcon tray;
    tray.setStatus("Connected");
    EXPECT_EQ(tray.statusAction()->text(), "Connected");
    EXPECT_FALSE(tray.statusAction()->isEnabled());
    tray.setDisconnectEnabled(true);
    EXPECT_TRUE(tray.disconnectAction()->isEnabled());
    tray.setDisconnectEnabled(false);
    EXPECT_FALSE(tray.disconnectAction()->isEnabled());
}

TEST(SystemTrayIconTest, NotificationIsShownOrReportedAsUnsupported) {
    test::LogCapture logs;
    SystemTrayIcon tray;
    tray.showNotification("Veltrix", "Ready. Your ID: 123 456 789");
    if (tray.supportsMessages())
        EXPECT_TRUE(logs.contains("Tray notification shown: Veltrix - Ready. Your ID: 123 456 789"));
    else
        EXPECT_TRUE(logs.contains("System tray does not support balloon notifications"));
}

TEST(SystemTrayIconTest, UnderATrayHostTheIconIsShownAndNotifies) {
    EXPECT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "the bare suite display has no tray";
    test::TrayHost host;
    if (!host.running()) GTEST_SKIP() << "icewm is not installed (scripts/setup)";
    test::LogCapture logs;
    SystemTrayIcon tray;
    tray.show();
    EXPECT_TRUE(tray.isVisible());
    EXPECT_TRUE(QSystemTrayIcon::isSystemTrayAvailable());
    tray.showNotification("Veltrix", "Ready. Your ID: 123 456 789");
    EXPECT_TRUE(logs.contains("Tray notification shown: Veltrix - Ready. Your ID: 123 456 789"));

    // The task bar with the tray, as a picture to look at: icewm keeps it along the bottom edge.
    test::runEventsFor(std::chrono::milliseconds(500));
    const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
    EXPECT_FALSE(test::saveArtefact(screen.copy(0, screen.height() - 48, screen.width(), 48), "gui_tests",
                                    "tray-under-icewm")
                     .isEmpty());
}

}  // namespace
}  // namespace veltrix
