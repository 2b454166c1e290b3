#pragma once

#include <cstdint>
#include <span>

namespace veltrix::crypto {

// The step of an HKDF derivation that failed; each caller words its own message for it.
enum class HkdfStatus {
    Ok,
    FetchFailed,    // EVP_KDF_fetch
    ContextFailed,  // EVP_KDF_CTX_new
    DeriveFailed,   // EVP_KDF_derive
};

// HKDF-SHA256 (extract and expand) of `key` with `salt` and `info` into `out`. `out` is zeroed
// first and holds the derived bytes only when the result is Ok; the OpenSSL error queue then
// describes a failure.
HkdfStatus hkdfSha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> salt,
                      std::span<const std::uint8_t> info, std::span<std::uint8_t> out);

}  // namespace veltrix::crypto
