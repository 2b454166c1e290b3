#include "WaitUntil.h"

#include <QCoreApplication>
#include <QElapsedTimer>

namespace veltrix::test {

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limit.count()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

}  // namespace veltrix::test
