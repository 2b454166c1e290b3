#include "service/CrashFilter.h"

#include <spdlog/spdlog.h>

#include "shared/Logging.h"

namespace veltrix::service {

void crashFilter(const platform::crash::CrashInfo* info) {
    if (info) {
        spdlog::critical("CRASH: exception 0x{:08X} at address 0x{:016X}", static_cast<unsigned>(info->signalNumber),
                         info->address);
        if (info->accessViolation) {
            spdlog::critical("  Access violation {} address 0x{:016X}", info->write ? "writing" : "reading",
                             info->faultAddress);
        }
    } else {
        spdlog::critical("CRASH: unknown exception (no EXCEPTION_POINTERS)");
    }
    logging::flush();
}

}  // namespace veltrix::service
