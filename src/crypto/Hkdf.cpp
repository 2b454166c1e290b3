#include "crypto/Hkdf.h"

#include <algorithm>
#include <memory>

#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

namespace veltrix::crypto {
namespace {

struct KdfDeleter {
    void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
    void operator()(EVP_KDF_CTX* ctx) const { EVP_KDF_CTX_free(ctx); }
};

// OSSL_PARAM takes non-const pointers, but the KDF only reads its input parameters.
OSSL_PARAM octets(const char* name, std::span<const std::uint8_t> bytes) {
    return OSSL_PARAM_construct_octet_string(name, const_cast<std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

HkdfStatus hkdfSha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> salt,
                      std::span<const std::uint8_t> info, std::span<std::uint8_t> out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});

    std::unique_ptr<EVP_KDF, KdfDeleter> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    if (!kdf) return HkdfStatus::FetchFailed;
    std::unique_ptr<EVP_KDF_CTX, KdfDeleter> ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx) return HkdfStatus::ContextFailed;

    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        octets(OSSL_KDF_PARAM_KEY, key),
        octets(OSSL_KDF_PARAM_SALT, salt),
        octets(OSSL_KDF_PARAM_INFO, info),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) {
        std::fill(out.begin(), out.end(), std::uint8_t{0});
        return HkdfStatus::DeriveFailed;
    }
    return HkdfStatus::Ok;
}

}  // namespace veltrix::crypto
