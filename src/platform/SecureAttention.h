#pragma once

// The secure attention sequence: the key combination (Ctrl+Alt+Del) that only the system itself
// can raise, which a Target fires when its partner asks for it. A service fires it through the
// system's own library; an application could only fake the key events.
namespace veltrix::platform::sas {

// How an attempt ended: the system library is not there, it lacks the entry point, or the
// sequence was fired.
enum class SecureAttentionOutcome { LibraryMissing, EntryMissing, Invoked };

// The seam the session manager fires through; tests use a fake that records the call.
class SecureAttention {
public:
    virtual ~SecureAttention() = default;
    // Tries to fire the sequence once; never blocks, never throws.
    virtual SecureAttentionOutcome fire() = 0;
};

// The machine's own. Linux has no such sequence for a service, so it always reports
// LibraryMissing.
SecureAttention& systemSecureAttention();

// Fires through `sas` and logs the outcome: info "SendSAS(FALSE) invoked on target", or warning
// "sas.dll not available — cannot fire SAS" / "SendSAS entry point missing in sas.dll".
SecureAttentionOutcome fireAndLog(SecureAttention& sas);

}  // namespace veltrix::platform::sas
