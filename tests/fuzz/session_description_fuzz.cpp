// A peer's session description (offer or answer, by the first byte) and a trickled ICE candidate
// from signaling: whatever the text, parsing ends, keeps its bounds, and what it accepts writes
// out as a description that reads back the same.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "transport/IceCandidate.h"
#include "transport/SessionDescription.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using veltrix::IceCandidate;
    using veltrix::SessionDescription;
    if (size < 1) return 0;
    const auto type = data[0] & 1 ? SessionDescription::Type::Answer : SessionDescription::Type::Offer;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    if (const auto candidate = IceCandidate::parse(text)) {
        const auto again = IceCandidate::parse(candidate->toString());
        if (!again || again->toString() != candidate->toString()) __builtin_trap();
    }
    const auto description = SessionDescription::parse(text, type);
    if (!description) return 0;
    if (description->candidates.size() > SessionDescription::kMaxCandidates ||
        description->fingerprints.empty() || description->fingerprints.size() > SessionDescription::kMaxFingerprints)
        __builtin_trap();
    const auto again = SessionDescription::parse(description->toSdp(1), type);
    if (!again || again->iceUfrag != description->iceUfrag || again->icePwd != description->icePwd ||
        again->fingerprints != description->fingerprints || again->setup != description->setup ||
        again->mid != description->mid || again->sctpPort != description->sctpPort ||
        again->legacySctp != description->legacySctp ||
        again->maxMessageSize != description->maxMessageSize || again->candidates.size() != description->candidates.size())
        __builtin_trap();
    return 0;
}
