#include "platform/CrashHandler.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <ucontext.h>
#include <unistd.h>

namespace veltrix::platform::crash {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr unsigned kCallbackSeconds = 2;

std::atomic<CrashCallback> installedCallback{nullptr};

CrashInfo describe(int signalNumber, const siginfo_t* info, const void* context) {
    CrashInfo crash;
    crash.signalNumber = signalNumber;
    if (info && (signalNumber == SIGSEGV || signalNumber == SIGBUS)) {
        crash.accessViolation = true;
        crash.faultAddress = reinterpret_cast<std::uint64_t>(info->si_addr);
    }
#if defined(__x86_64__)
    if (context) {
        const auto* uc = static_cast<const ucontext_t*>(context);
        crash.address = static_cast<std::uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
        // Bit 1 of the page-fault error code: the access was a write.
        if (crash.accessViolation) crash.write = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
    }
#else
    (void)context;
#endif
    return crash;
}

void onFatalSignal(int signalNumber, siginfo_t* info, void* context) {
    // If reporting deadlocks (the crash hit inside the logger), the alarm's default action still
    // ends the process.
    alarm(kCallbackSeconds);
    if (const CrashCallback callback = installedCallback.load()) {
        const CrashInfo crash = describe(signalNumber, info, context);
        callback(&crash);
    }
    // SA_RESETHAND restored the default action; raise it again so it takes effect on return (a
    // hardware fault simply recurs when the instruction is retried).
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

void installAlternateStack() {
    static char* stack = nullptr;
    if (stack) return;
    const std::size_t size = 64 * 1024;
    stack = static_cast<char*>(std::malloc(size));
    if (!stack) return;
    stack_t alternate{};
    alternate.ss_sp = stack;
    alternate.ss_size = size;
    sigaltstack(&alternate, nullptr);
}

}  // namespace

void installCrashHandler(CrashCallback callback) {
    installedCallback.store(callback);
    installAlternateStack();
    struct sigaction action{};
    action.sa_sigaction = &onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : kFatalSignals) sigaction(signalNumber, &action, nullptr);
}

}  // namespace veltrix::platform::crash
