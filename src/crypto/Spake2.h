#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <openssl/ec.h>

#include "crypto/SecureBytes.h"
#include "shared/SessionTypes.h"

namespace veltrix {

// The Target's password candidates as (element, confirmation) pairs, in the order offered. A bare
// element carries an empty confirmation.
using Spake2CandidateList = std::vector<std::pair<std::string, std::string>>;

// Balanced password-authenticated key exchange (SPAKE2) on P-256. Each side publishes its element
// x·G + w·M (Master) or x·G + w·N (Target), where w is derived from the session password and x is
// random; computeSharedSecret turns the peer's element into a 32-byte secret that is equal on both
// sides only if both used the same password. Neither the password nor the secret is ever sent.
//
// One object serves one password candidate of one session, on one thread.
class Spake2 {
public:
    static constexpr std::size_t kElementHexLength = 130;      // 65-byte uncompressed point
    static constexpr std::size_t kConfirmationHexLength = 16;  // 8 bytes
    static constexpr std::size_t kMaxCandidates = 8;
    static constexpr int kCandidateListVersion = 2;

    // `password` is used byte for byte; `role` must be Master or Target. Throws
    // std::runtime_error when the group, the password scalar or the element cannot be set up.
    Spake2(std::string_view password, SessionRole role);
    ~Spake2();

    Spake2(const Spake2&) = delete;
    Spake2& operator=(const Spake2&) = delete;

    // This side's element as 130 lowercase hexadecimal characters; empty on an encoding failure.
    std::string elementHex() const;

    // The 32-byte shared secret from the peer's element (hexadecimal, either case), or empty when
    // the element is malformed, not on the curve, or the computation fails. Wiped when freed.
    crypto::SecureBytes computeSharedSecret(std::string_view peerElementHex);

    // 16 lowercase hexadecimal characters that prove knowledge of `sharedSecret` for this session;
    // empty for an empty secret.
    static std::string computeConfirmation(std::span<const std::uint8_t> sharedSecret, std::string_view sessionId);

    // The compact JSON candidate list {"c":[...],"e":[...],"v":2}; empty unless there are at least
    // two elements and exactly as many confirmations.
    static std::string encodeCandidateList(const std::vector<std::string>& elements,
                                           const std::vector<std::string>& confirmations);

    // Reads a candidate list or a bare element. On success `pairs` holds the candidates and
    // `plain` tells whether the text was a bare element. Anything that is not exactly one of the
    // two forms (lowercase hexadecimal, 1 to 8 entries, version 2) returns false.
    static bool decodeCandidateList(std::string_view text, Spake2CandidateList& pairs, bool& plain);

private:
    friend class Spake2TestPeer;

    struct Deleter {
        void operator()(EC_GROUP* group) const;
        void operator()(EC_POINT* point) const;
        void operator()(BIGNUM* bn) const;  // wipes before freeing
        void operator()(BN_CTX* ctx) const;
    };
    template <typename T>
    using Owned = std::unique_ptr<T, Deleter>;

    // With `fixedScalar` (32 bytes big-endian, in [1, n)) in place of a random x, for known-answer
    // tests; an empty span draws x at random.
    Spake2(std::string_view password, SessionRole role, std::span<const std::uint8_t> fixedScalar);

    bool encodePoint(const EC_POINT* point, std::uint8_t (&out)[65]) const;

    SessionRole role_;
    Owned<EC_GROUP> group_;
    Owned<BN_CTX> ctx_;
    const BIGNUM* order_ = nullptr;  // owned by group_
    Owned<EC_POINT> m_;
    Owned<EC_POINT> n_;
    Owned<BIGNUM> w_;
    Owned<BIGNUM> x_;
    Owned<EC_POINT> element_;
};

}  // namespace veltrix
