#pragma once

#include <cstdint>

// The last word of a crashing process: a fatal signal (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT)
// is reported to one callback, then the signal's default action runs (the process ends as it
// would have, with its core dump). The callback runs in signal context: it should write its line
// and return. A callback that hangs is ended by an alarm after two seconds.
namespace veltrix::platform::crash {

struct CrashInfo {
    int signalNumber = 0;           // stands in for the exception code
    std::uint64_t address = 0;      // instruction address at the fault (0 when unknown)
    bool accessViolation = false;   // a bad memory access (SIGSEGV, SIGBUS)
    bool write = false;             // ... that was a write (known on x86-64)
    std::uint64_t faultAddress = 0; // the address that was accessed
};

using CrashCallback = void (*)(const CrashInfo* info);

// Installs the handler for the whole process (on an alternate stack, so a stack overflow of the
// calling thread is reported too). A later call replaces the callback.
void installCrashHandler(CrashCallback callback);

}  // namespace veltrix::platform::crash
