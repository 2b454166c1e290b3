#include "crypto/EcdhKeyExchange.h"

#include <optional>
#include <stdexcept>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>
#include <spdlog/spdlog.h>

#include "crypto/Base64.h"
#include "crypto/Hkdf.h"
#include "crypto/OpenSslError.h"
#include "crypto/SecureBytes.h"

namespace veltrix {
namespace {

constexpr char kCurveName[] = "prime256v1";
constexpr std::string_view kSessionKeyInfo = "veltrix-session-key-v1";

// The longest peer text worth decoding: a P-256 SubjectPublicKeyInfo is 91 bytes (124 Base64
// characters); anything far longer is not a key of ours and must not reach int-sized lengths.
constexpr std::size_t kMaxPeerKeyText = 4096;

struct Free {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(EC_GROUP* group) const { EC_GROUP_free(group); }
    void operator()(EC_POINT* point) const { EC_POINT_free(point); }
    void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
    void operator()(OSSL_PARAM_BLD* bld) const { OSSL_PARAM_BLD_free(bld); }
    void operator()(OSSL_PARAM* params) const { OSSL_PARAM_free(params); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

Owned<EVP_PKEY> generateKeyPair() {
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!ctx)
        throw std::runtime_error("EcdhKeyExchange: EVP_PKEY_CTX_new_from_name failed: " + crypto::openSslErrorText());
    if (EVP_PKEY_keygen_init(ctx.get()) != 1)
        throw std::runtime_error("EcdhKeyExchange: EVP_PKEY_keygen_init failed: " + crypto::openSslErrorText());
    char curve[] = "prime256v1";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, curve, 0),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_PKEY_CTX_set_params(ctx.get(), params) != 1)
        throw std::runtime_error("EcdhKeyExchange: EVP_PKEY_CTX_set_params failed: " + crypto::openSslErrorText());
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_generate(ctx.get(), &key) != 1)
        throw std::runtime_error("EcdhKeyExchange: EVP_PKEY_generate failed: " + crypto::openSslErrorText());
    return Owned<EVP_PKEY>(key);
}

Owned<EVP_PKEY> importKeyPair(std::span<const std::uint8_t> scalar) {
    const auto fail = [] {
        return std::runtime_error("EcdhKeyExchange: fixed private key import failed: " + crypto::openSslErrorText());
    };
    Owned<EC_GROUP> group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    Owned<BIGNUM> priv(BN_secure_new());
    if (!group || !priv || !BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), priv.get())) throw fail();
    if (BN_is_zero(priv.get()) || BN_cmp(priv.get(), EC_GROUP_get0_order(group.get())) >= 0) throw fail();

    Owned<EC_POINT> pub(EC_POINT_new(group.get()));
    unsigned char pubBytes[65];
    if (!pub || EC_POINT_mul(group.get(), pub.get(), priv.get(), nullptr, nullptr, nullptr) != 1 ||
        EC_POINT_point2oct(group.get(), pub.get(), POINT_CONVERSION_UNCOMPRESSED, pubBytes, sizeof pubBytes,
                           nullptr) != sizeof pubBytes) {
        throw fail();
    }

    Owned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    if (!bld || OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, kCurveName, 0) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv.get()) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, pubBytes, sizeof pubBytes) != 1) {
        throw fail();
    }
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_KEYPAIR, params.get()) != 1) {
        throw fail();
    }
    return Owned<EVP_PKEY>(key);
}

}  // namespace

void EcdhKeyExchange::KeyDeleter::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }

EcdhKeyExchange::EcdhKeyExchange() : keyPair_(generateKeyPair().release()) {
    spdlog::debug("EcdhKeyExchange: P-256 key pair generated");
}

EcdhKeyExchange::EcdhKeyExchange(std::span<const std::uint8_t> privateScalar)
    : keyPair_(importKeyPair(privateScalar).release()) {}

EcdhKeyExchange::~EcdhKeyExchange() {
    OPENSSL_cleanse(aesKey_.data(), aesKey_.size());
    OPENSSL_cleanse(baseIv_.data(), baseIv_.size());
}

std::string EcdhKeyExchange::publicKeyBase64() const {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(keyPair_.get(), &der);
    if (length <= 0) {
        spdlog::error("EcdhKeyExchange::publicKeyBase64: i2d_PUBKEY failed: {}", crypto::openSslErrorText());
        return {};
    }
    // EVP_EncodeBlock writes one line without breaks, padded, and a terminating zero.
    std::string text(static_cast<std::size_t>((length + 2) / 3 * 4) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), der, length);
    OPENSSL_free(der);
    text.resize(static_cast<std::size_t>(written));
    return text;
}

bool EcdhKeyExchange::deriveSharedKey(std::string_view peerPublicKeyBase64) {
    // Strict decoding: a key has one spelling, so what the peer signed or sent is what is used.
    std::optional<std::vector<std::uint8_t>> der;
    if (peerPublicKeyBase64.size() <= kMaxPeerKeyText) der = crypto::decodeBase64Strict(peerPublicKeyBase64);
    if (!der || der->empty()) {
        spdlog::error("EcdhKeyExchange::deriveSharedKey: base64 decode of peer key failed");
        return false;
    }

    const unsigned char* cursor = der->data();
    Owned<EVP_PKEY> peer(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der->size())));
    if (!peer) {
        spdlog::error("EcdhKeyExchange::deriveSharedKey: d2i_PUBKEY failed: {}", crypto::openSslErrorText());
        return false;
    }
    // d2i_PUBKEY stops after the first structure; bytes behind it are not part of any key.
    if (const auto unread = static_cast<std::size_t>(der->data() + der->size() - cursor); unread != 0) {
        spdlog::error("EcdhKeyExchange::deriveSharedKey: d2i_PUBKEY failed: {} bytes after the key", unread);
        return false;
    }

    char curve[65] = {};
    std::size_t curveLength = 0;
    if (EVP_PKEY_get_utf8_string_param(peer.get(), OSSL_PKEY_PARAM_GROUP_NAME, curve, sizeof curve,
                                       &curveLength) != 1) {
        spdlog::error("EcdhKeyExchange::deriveSharedKey: failed to get peer key curve: {}",
                      crypto::openSslErrorText());
        return false;
    }
    if (std::string_view(curve, curveLength) != kCurveName) {
        spdlog::error("EcdhKeyExchange::deriveSharedKey: peer key curve is '{}', expected 'prime256v1'",
                      std::string_view(curve, curveLength));
        return false;
    }

    {
        Owned<EVP_PKEY_CTX> check(EVP_PKEY_CTX_new_from_pkey(nullptr, peer.get(), nullptr));
        if (!check) {
            spdlog::error("EcdhKeyExchange::deriveSharedKey: peer key check ctx alloc failed: {}",
                          crypto::openSslErrorText());
            return false;
        }
        if (EVP_PKEY_public_check(check.get()) != 1) {
            spdlog::error("EcdhKeyExchange::deriveSharedKey: peer public key validation failed: {}",
                          crypto::openSslErrorText());
            return false;
        }
    }

    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(keyPair_.get(), nullptr));
    if (!ctx) {
        spdlog::error("EcdhKeyExchange::deriveSharedKey: EVP_PKEY_CTX_new failed: {}", crypto::openSslErrorText());
        return false;
    }
    if (EVP_PKEY_derive_init(ctx.get()) != 1) {
        spdlog::error("EcdhKeyExchange::deriveSharedKey: derive_init failed: {}", crypto::openSslErrorText());
        return false;
    }
    if (EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1) {
        spdlog::error("EcdhKeyExchange::deriveSharedKey: derive_set_peer failed: {}", crypto::openSslErrorText());
        return false;
    }
    std::size_t secretLength = 0;
    if (EVP_PKEY_derive(ctx.get(), nullptr, &secretLength) != 1) {
        spdlog::error("EcdhKeyExchange::deriveSharedKey: derive (size) failed: {}", crypto::openSslErrorText());
        return false;
    }
    crypto::SecureBytes secret(secretLength);
    if (EVP_PKEY_derive(ctx.get(), secret.data(), &secretLength) != 1) {
        spdlog::error("EcdhKeyExchange::deriveSharedKey: derive failed: {}", crypto::openSslErrorText());
        return false;
    }
    secret.resize(secretLength);
    spdlog::debug("EcdhKeyExchange: ECDH shared secret derived ({} bytes)", secretLength);
    return deriveKeyMaterial(secret);  // `secret` is wiped when it goes out of scope
}

bool EcdhKeyExchange::deriveKeyMaterial(std::span<const std::uint8_t> sharedSecret) {
    const std::array<std::uint8_t, 32> salt{};
    const auto* info = reinterpret_cast<const std::uint8_t*>(kSessionKeyInfo.data());
    std::array<std::uint8_t, kAesKeySize + kBaseIvSize> material{};

    const crypto::HkdfStatus status =
        crypto::hkdfSha256(sharedSecret, salt, {info, kSessionKeyInfo.size()}, material);
    switch (status) {
    case crypto::HkdfStatus::Ok:
        break;
    case crypto::HkdfStatus::FetchFailed:
        spdlog::error("EcdhKeyExchange::deriveKeyMaterial: EVP_KDF_fetch(HKDF) failed: {}",
                      crypto::openSslErrorText());
        return false;
    case crypto::HkdfStatus::ContextFailed:
        spdlog::error("EcdhKeyExchange::deriveKeyMaterial: EVP_KDF_CTX_new failed: {}", crypto::openSslErrorText());
        return false;
    case crypto::HkdfStatus::DeriveFailed:
        spdlog::error("EcdhKeyExchange::deriveKeyMaterial: EVP_KDF_derive failed: {}", crypto::openSslErrorText());
        return false;
    }

    std::copy_n(material.begin(), kAesKeySize, aesKey_.begin());
    std::copy_n(material.begin() + kAesKeySize, kBaseIvSize, baseIv_.begin());
    derived_ = true;
    OPENSSL_cleanse(material.data(), material.size());
    spdlog::debug("EcdhKeyExchange: AES-256-GCM key and base IV derived via HKDF-SHA256");
    return true;
}

crypto::SecureBytes EcdhKeyExchange::aesKey() const {
    if (!derived_) {
        spdlog::warn("EcdhKeyExchange::aesKey: key not yet derived");
        return {};
    }
    return {aesKey_.begin(), aesKey_.end()};
}

crypto::SecureBytes EcdhKeyExchange::baseIv() const {
    if (!derived_) {
        spdlog::warn("EcdhKeyExchange::baseIv: IV not yet derived");
        return {};
    }
    return {baseIv_.begin(), baseIv_.end()};
}

}  // namespace veltrix
