// The main of the GUI suite: a widgets application on a private Xvfb (QPA xcb, so OpenGL widgets
// run on Mesa). Listing the tests, as ctest does to discover them, starts no X server.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <memory>

#include "support/XvfbDisplay.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::unique_ptr<veltrix::test::XvfbDisplay> display;
    if (::testing::GTEST_FLAG(list_tests)) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    } else {
        display = std::make_unique<veltrix::test::XvfbDisplay>();
        if (!display->isRunning()) {
            std::fprintf(stderr, "gui_tests: Xvfb did not start\n");
            return 1;
        }
        display->makeCurrent();
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
