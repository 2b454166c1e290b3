// The main of the GUI suite: a GUI application (clipboard, windows) on a private Xvfb display.
#include <gtest/gtest.h>

#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>

#include "support/XvfbDisplay.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    veltrix::test::XvfbDisplay display;
    if (!display.isRunning()) {
        std::fprintf(stderr, "Xvfb did not start\n");
        return 1;
    }
    display.makeCurrent();
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    QGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
