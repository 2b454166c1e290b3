// The main of every test program that has none of its own: a Qt core application (for event
// loops, timers and sockets) around GoogleTest. A suite that needs a GUI application defines its
// own main, and this one is then not linked in.
#include <gtest/gtest.h>

#include "MediaThreads.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    int result = 0;
    {
        QCoreApplication app(argc, argv);
        result = RUN_ALL_TESTS();
    }
    veltrix::test::quiesceMediaThreads();
    return result;
}
