#include "platform/SecureAttention.h"

#include <spdlog/spdlog.h>

namespace veltrix::platform::sas {
namespace {

// No system library fires the sequence on Linux: an X session has no secure attention key that
// a service could raise for it.
class UnavailableSecureAttention final : public SecureAttention {
public:
    SecureAttentionOutcome fire() override { return SecureAttentionOutcome::LibraryMissing; }
};

}  // namespace

SecureAttention& systemSecureAttention() {
    static UnavailableSecureAttention instance;
    return instance;
}

SecureAttentionOutcome fireAndLog(SecureAttention& sas) {
    const SecureAttentionOutcome outcome = sas.fire();
    switch (outcome) {
    case SecureAttentionOutcome::LibraryMissing:
        spdlog::warn("sas.dll not available — cannot fire SAS");
        break;
    case SecureAttentionOutcome::EntryMissing:
        spdlog::warn("SendSAS entry point missing in sas.dll");
        break;
    case SecureAttentionOutcome::Invoked:
        spdlog::info("SendSAS(FALSE) invoked on target");
        break;
    }
    return outcome;
}

}  // namespace veltrix::platform::sas
