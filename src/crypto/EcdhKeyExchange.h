#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/types.h>

#include "crypto/SecureBytes.h"

namespace veltrix {

// Fresh session key material from an ECDH exchange on P-256. Each side publishes
// publicKeyBase64() (Base64 of the DER SubjectPublicKeyInfo, no line breaks) and feeds the peer's
// text to deriveSharedKey(); both then hold the same AES-256 key and 12-byte base IV, derived with
// HKDF-SHA256 from the shared secret.
class EcdhKeyExchange {
public:
    static constexpr std::size_t kAesKeySize = 32;
    static constexpr std::size_t kBaseIvSize = 12;

    // Generates the local key pair; throws std::runtime_error when that fails.
    EcdhKeyExchange();
    ~EcdhKeyExchange();

    EcdhKeyExchange(const EcdhKeyExchange&) = delete;
    EcdhKeyExchange& operator=(const EcdhKeyExchange&) = delete;

    // The local public key in wire form, or empty on an encoding failure.
    std::string publicKeyBase64() const;

    // Checks the peer's public key (strict Base64 of exactly one SubjectPublicKeyInfo, a valid
    // P-256 point), computes the ECDH secret and derives the key material from it. False, with the
    // key material unchanged, on any failure.
    bool deriveSharedKey(std::string_view peerPublicKeyBase64);

    // The HKDF step alone: the key material from a raw shared secret.
    bool deriveKeyMaterial(std::span<const std::uint8_t> sharedSecret);

    // Copies of the derived key and IV, wiped when they are freed; empty (with a warning) before
    // a successful derivation.
    crypto::SecureBytes aesKey() const;
    crypto::SecureBytes baseIv() const;

private:
    friend class EcdhKeyExchangeTestPeer;

    // A key pair from a fixed 32-byte big-endian private scalar, for known-answer tests.
    explicit EcdhKeyExchange(std::span<const std::uint8_t> privateScalar);

    struct KeyDeleter {
        void operator()(EVP_PKEY* key) const;
    };

    std::unique_ptr<EVP_PKEY, KeyDeleter> keyPair_;
    std::array<std::uint8_t, kAesKeySize> aesKey_{};
    std::array<std::uint8_t, kBaseIvSize> baseIv_{};
    bool derived_ = false;
};

}  // namespace veltrix
