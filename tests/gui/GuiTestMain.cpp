// The main of the GUI suite: a QApplication on a private Xvfb through the xcb platform (the
// offscreen platform runs no GL widget), with no session bus. Listing the tests starts nothing.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <memory>

#include "support/XvfbDisplay.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    veltrix::test::XvfbDisplay display({}, "1280x1024x24");
    if (!display.isRunning()) {
        std::fputs("GUI tests: Xvfb did not start\n", stderr);
        return 1;
    }
    display.makeCurrent();
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
