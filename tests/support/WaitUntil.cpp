#include "WaitUntil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

namespace veltrix::test {

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    QElapsedTimer clock;
    clock.start();
    // Wakes the wait below at least every few milliseconds, for conditions no event announces.
    QTimer wake;
    wake.start(2);
    while (!done()) {
        if (clock.elapsed() > limit.count()) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void runEventsFor(std::chrono::milliseconds duration) {
    waitUntil([] { return false; }, duration);
}

}  // namespace veltrix::test
