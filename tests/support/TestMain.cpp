// The main of every test program that has none of its own: a Qt core application (for event
// loops, timers and sockets) around GoogleTest. A suite that needs a GUI application defines its
// own main, and this one is then not linked in.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
