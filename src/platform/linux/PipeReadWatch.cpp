#include "platform/PipeReadWatch.h"

#include <QObject>
#include <QSocketNotifier>

namespace veltrix::platform {

PipeReadWatch::PipeReadWatch(const PipeConnection& connection, std::function<void()> onReadable)
    : notifier_(new QSocketNotifier(connection.nativeHandle(), QSocketNotifier::Read)) {
    QObject::connect(notifier_, &QSocketNotifier::activated, notifier_,
                     [handler = std::move(onReadable), dispatching = dispatching_] {
                         *dispatching = true;
                         handler();
                         *dispatching = false;
                     });
}

PipeReadWatch::~PipeReadWatch() {
    // The descriptor is closed right after this; the notifier must not be polled on it again.
    notifier_->setEnabled(false);
    if (*dispatching_)
        notifier_->deleteLater();
    else
        delete notifier_;
}

}  // namespace veltrix::platform
