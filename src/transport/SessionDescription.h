#pragma once

#include "transport/IceCandidate.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrix {

// SHA-256 digest of a DER certificate, as a=fingerprint names it.
using Sha256Fingerprint = std::array<std::uint8_t, 32>;

// The offer or answer of a data-channel-only WebRTC session: one m=application section carrying
// SCTP over DTLS over ICE, as WebRTC peers exchange them:
//
//   m=application 9 UDP/DTLS/SCTP webrtc-datachannel
//   a=mid, a=ice-ufrag, a=ice-pwd, a=fingerprint:sha-256, a=setup, a=sctp-port,
//   a=max-message-size, a=candidate (and a=end-of-candidates)
//
// The ICE credentials, fingerprints and setup role may stand at session level instead. Peers of
// the older form write "m=application <port> DTLS/SCTP 5000" with a=sctpmap instead; that form is
// read too, and an answer to it is written in it. The text
// of a peer's description is input from the network: parse() bounds its size, its lines and its
// candidates, checks every field it keeps, and refuses a description that is not a data-channel-
// only session. Attributes it does not know are skipped.
struct SessionDescription {
    enum class Type { Offer, Answer };
    // a=setup: which end opens DTLS. An offer says actpass, and the answer picks active (it is the
    // DTLS client) or passive.
    enum class Setup { ActPass, Active, Passive };

    static constexpr std::size_t kMaxTextSize = 64 * 1024;
    static constexpr std::size_t kMaxLineSize = 4096;
    static constexpr std::size_t kMaxLines = 512;
    static constexpr std::size_t kMaxCandidates = 64;
    static constexpr std::size_t kMaxFingerprints = 4;
    // What a=max-message-size means when it is missing.
    static constexpr std::uint64_t kDefaultMaxMessageSize = 65536;

    Type type = Type::Offer;
    std::string mid = "0";
    std::string iceUfrag;
    std::string icePwd;
    // The sha-256 fingerprints of the certificates the peer may present (at least one).
    std::vector<Sha256Fingerprint> fingerprints;
    Setup setup = Setup::ActPass;
    std::uint16_t sctpPort = 5000;
    // The older form: SCTP port as the m-line's format, a=sctpmap instead of a=sctp-port.
    bool legacySctp = false;
    // 0: the peer takes messages of any size.
    std::uint64_t maxMessageSize = kDefaultMaxMessageSize;
    std::vector<IceCandidate> candidates;
    bool endOfCandidates = false;
    // Candidate lines skipped as unusable (TCP, host names, other components, malformed).
    std::size_t skippedCandidates = 0;

    // Fills `error` with the reason when it returns nothing.
    static std::optional<SessionDescription> parse(std::string_view text, Type type, std::string* error = nullptr);
    static std::optional<Type> typeFromName(std::string_view name);
    static const char* typeName(Type type);

    // The description as SDP text, lines ended by CRLF. `sessionId` fills the o= line.
    std::string toSdp(std::uint64_t sessionId) const;
};

// "AB:CD:..." as a=fingerprint writes a digest.
std::string formatFingerprint(const Sha256Fingerprint& fingerprint);

}  // namespace veltrix
