// The main of the GUI suite: a QApplication on a private Xvfb through the xcb platform (the
// offscreen platform runs no GL widget), with no session bus. Listing the tests starts nothing.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <dlfcn.h>
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
    // Mesa's GLX and software driver are unloaded at exit, after which the leak checker cannot
    // name them for its suppressions; keep them loaded for the life of the process.
    for (const char* library : {"libGLX_mesa.so.0", "/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so"}) {
        dlopen(library, RTLD_NOW | RTLD_NODELETE);
    }
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
