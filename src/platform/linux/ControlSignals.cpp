#include "platform/ControlSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace veltrix::platform::control {
namespace {

sigset_t controlSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

void blockControlSignals() {
    const sigset_t set = controlSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void unblockControlSignals() {
    const sigset_t set = controlSignalSet();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

ControlSignalReader::ControlSignalReader() {
    const sigset_t set = controlSignalSet();
    fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

ControlSignalReader::~ControlSignalReader() {
    if (fd_ >= 0) ::close(fd_);
}

std::vector<int> ControlSignalReader::readPending() {
    std::vector<int> result;
    if (fd_ < 0) return result;
    signalfd_siginfo info{};
    for (;;) {
        const ssize_t n = ::read(fd_, &info, sizeof info);
        if (n == static_cast<ssize_t>(sizeof info)) {
            result.push_back(static_cast<int>(info.ssi_signo));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    return result;
}

TerminationNotifier::TerminationNotifier(QObject* parent) : QObject(parent) {
    if (!reader_.isValid()) return;
    auto* notifier = new QSocketNotifier(reader_.fd(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        for (const int signalNumber : reader_.readPending()) emit terminationRequested(signalNumber);
    });
}

TerminationNotifier::~TerminationNotifier() = default;

}  // namespace veltrix::platform::control
