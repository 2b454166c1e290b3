#include "crypto/Spake2.h"

#include <algorithm>
#include <stdexcept>

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <spdlog/spdlog.h>

#include "crypto/OpenSslError.h"
#include "crypto/SecureBytes.h"
#include "shared/JsonFields.h"

namespace veltrix {
namespace {

// The P-256 points M and N of RFC 9382, uncompressed.
constexpr std::string_view kPointM =
    "04886e2f97ace46e55ba9dd7242579f2993b64e16ef3dcab95afd497333d8fa12f"
    "5ff355163e43ce224e0b0e65ff02ac8e5c7be09419c785e0ca547d55a12e2d20";
constexpr std::string_view kPointN =
    "04d8bbd6c639c62937b04d997f38c3770719c629d7014d49a24b4f98baa1292b49"
    "07d60aa6bfade45008a636337f5168c64d9bd36034808cd564490b1e656edbe7";

constexpr std::string_view kPasswordLabel = "Veltrix-SPAKE2-pw-v1";
constexpr std::string_view kMasterIdentity = "Veltrix-master";
constexpr std::string_view kTargetIdentity = "Veltrix-target";
constexpr std::string_view kConfirmLabel = "Veltrix-spake-confirm-v1";

constexpr std::size_t kPointBytes = 65;
constexpr std::size_t kScalarBytes = 32;
constexpr std::size_t kConfirmationBytes = 8;

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hexadecimal of either case to exactly out.size() bytes.
bool decodeHex(std::string_view text, std::span<std::uint8_t> out) {
    if (text.size() != out.size() * 2) return false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = hexDigit(text[2 * i]);
        const int low = hexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

std::string encodeHex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0f];
    }
    return text;
}

bool isLowercaseHex(const std::string& text, std::size_t length) {
    return text.size() == length &&
           std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// One digest over several parts; false when OpenSSL fails.
template <std::size_t N>
bool digest(const char* name, std::initializer_list<std::span<const std::uint8_t>> parts, std::uint8_t (&out)[N]) {
    std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(EVP_MD_fetch(nullptr, name, nullptr), EVP_MD_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!md || !ctx || EVP_MD_get_size(md.get()) != static_cast<int>(N) ||
        EVP_DigestInit_ex2(ctx.get(), md.get(), nullptr) != 1) {
        return false;
    }
    for (const auto& part : parts) {
        if (EVP_DigestUpdate(ctx.get(), part.data(), part.size()) != 1) return false;
    }
    unsigned int length = 0;
    return EVP_DigestFinal_ex(ctx.get(), out, &length) == 1 && length == N;
}

// The transcript field: its length as u64 little-endian, then the bytes.
void appendField(crypto::SecureBytes& out, std::span<const std::uint8_t> field) {
    const std::uint64_t length = field.size();
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    out.insert(out.end(), field.begin(), field.end());
}

[[noreturn]] void fail(const char* message) {
    ERR_clear_error();  // the message says what failed; keep the queue clean for later callers
    throw std::runtime_error(message);
}

}  // namespace

void Spake2::Deleter::operator()(EC_GROUP* group) const { EC_GROUP_free(group); }
void Spake2::Deleter::operator()(EC_POINT* point) const { EC_POINT_clear_free(point); }
void Spake2::Deleter::operator()(BIGNUM* bn) const { BN_clear_free(bn); }
void Spake2::Deleter::operator()(BN_CTX* ctx) const { BN_CTX_free(ctx); }

Spake2::Spake2(std::string_view password, SessionRole role) : Spake2(password, role, {}) {}

Spake2::Spake2(std::string_view password, SessionRole role, std::span<const std::uint8_t> fixedScalar)
    : role_(role) {
    if (role != SessionRole::Master && role != SessionRole::Target) fail("Spake2: role must be Master or Target");

    group_.reset(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    ctx_.reset(BN_CTX_secure_new());
    if (!group_ || !ctx_) fail("Spake2: failed to init P-256 group/ctx");

    order_ = EC_GROUP_get0_order(group_.get());
    if (order_ == nullptr || BN_is_zero(order_)) fail("Spake2: failed to get group order");

    const auto loadPoint = [this](std::string_view hex) {
        std::uint8_t bytes[kPointBytes];
        Owned<EC_POINT> point(EC_POINT_new(group_.get()));
        if (!point || !decodeHex(hex, bytes) ||
            EC_POINT_oct2point(group_.get(), point.get(), bytes, sizeof bytes, ctx_.get()) != 1) {
            return Owned<EC_POINT>();
        }
        return point;
    };
    m_ = loadPoint(kPointM);
    n_ = loadPoint(kPointN);
    if (!m_ || !n_) fail("Spake2: failed to load M/N");

    {
        // w = SHA-512(label || 0x00 || password) mod n
        std::uint8_t hash[64];
        const std::uint8_t zero = 0;
        const bool hashed = digest("SHA512", {bytesOf(kPasswordLabel), {&zero, 1}, bytesOf(password)}, hash);
        Owned<BIGNUM> wide(hashed ? BN_secure_new() : nullptr);
        w_.reset(BN_secure_new());
        const bool ok = wide && w_ && BN_bin2bn(hash, sizeof hash, wide.get()) &&
                        BN_nnmod(w_.get(), wide.get(), order_, ctx_.get()) == 1;
        OPENSSL_cleanse(hash, sizeof hash);
        if (!ok) fail("Spake2: failed to derive w");
        BN_set_flags(w_.get(), BN_FLG_CONSTTIME);
    }

    x_.reset(BN_secure_new());
    if (!x_) fail("Spake2: failed to generate random scalar");
    if (fixedScalar.empty()) {
        do {
            if (BN_priv_rand_range_ex(x_.get(), order_, 0, ctx_.get()) != 1)
                fail("Spake2: failed to generate random scalar");
        } while (BN_is_zero(x_.get()));
    } else if (!BN_bin2bn(fixedScalar.data(), static_cast<int>(fixedScalar.size()), x_.get()) ||
               BN_is_zero(x_.get()) || BN_cmp(x_.get(), order_) >= 0) {
        fail("Spake2: failed to generate random scalar");
    }
    BN_set_flags(x_.get(), BN_FLG_CONSTTIME);

    // element = x·G + w·(M or N). Two single-scalar multiplications rather than one combined
    // call: OpenSSL's generic code only guarantees its constant-time ladder for a single scalar,
    // and both scalars are secret.
    const EC_POINT* mask = role_ == SessionRole::Master ? m_.get() : n_.get();
    element_.reset(EC_POINT_new(group_.get()));
    Owned<EC_POINT> blind(EC_POINT_new(group_.get()));
    Owned<EC_POINT> masked(EC_POINT_new(group_.get()));
    if (!element_ || !blind || !masked ||
        EC_POINT_mul(group_.get(), blind.get(), x_.get(), nullptr, nullptr, ctx_.get()) != 1 ||
        EC_POINT_mul(group_.get(), masked.get(), nullptr, mask, w_.get(), ctx_.get()) != 1 ||
        EC_POINT_add(group_.get(), element_.get(), blind.get(), masked.get(), ctx_.get()) != 1 ||
        EC_POINT_is_at_infinity(group_.get(), element_.get())) {
        fail("Spake2: failed to compute element");
    }
}

Spake2::~Spake2() = default;

bool Spake2::encodePoint(const EC_POINT* point, std::uint8_t (&out)[65]) const {
    return EC_POINT_point2oct(group_.get(), point, POINT_CONVERSION_UNCOMPRESSED, out, sizeof out, nullptr) ==
           sizeof out;
}

std::string Spake2::elementHex() const {
    std::uint8_t bytes[kPointBytes];
    if (!encodePoint(element_.get(), bytes)) {
        spdlog::error("Spake2::elementHex: point encoding failed: {}", crypto::openSslErrorText());
        return {};
    }
    return encodeHex(bytes);
}

crypto::SecureBytes Spake2::computeSharedSecret(std::string_view peerElementHex) {
    std::uint8_t peerBytes[kPointBytes];
    if (!decodeHex(peerElementHex, peerBytes)) {
        spdlog::warn("Spake2: peer element wrong size/format");
        return {};
    }
    Owned<EC_POINT> peer(EC_POINT_new(group_.get()));
    if (!peer || EC_POINT_oct2point(group_.get(), peer.get(), peerBytes, sizeof peerBytes, ctx_.get()) != 1 ||
        EC_POINT_is_on_curve(group_.get(), peer.get(), ctx_.get()) != 1) {
        ERR_clear_error();
        spdlog::warn("Spake2: peer element is not a valid curve point");
        return {};
    }

    const auto failed = [] {
        ERR_clear_error();  // the identity case queues nothing; OpenSSL failures are not worth more words
        spdlog::error("Spake2: shared-secret computation failed");
        return crypto::SecureBytes();
    };

    // K = x·(peer − w·U), U the peer's mask. The identity means the peer chose its element to
    // cancel the mask; that gives no secret.
    const EC_POINT* unmask = role_ == SessionRole::Master ? n_.get() : m_.get();
    Owned<EC_POINT> mask(EC_POINT_new(group_.get()));
    Owned<EC_POINT> unmasked(EC_POINT_new(group_.get()));
    Owned<EC_POINT> k(EC_POINT_new(group_.get()));
    if (!mask || !unmasked || !k ||
        EC_POINT_mul(group_.get(), mask.get(), nullptr, unmask, w_.get(), ctx_.get()) != 1 ||
        EC_POINT_invert(group_.get(), mask.get(), ctx_.get()) != 1 ||
        EC_POINT_add(group_.get(), unmasked.get(), peer.get(), mask.get(), ctx_.get()) != 1 ||
        EC_POINT_mul(group_.get(), k.get(), nullptr, unmasked.get(), x_.get(), ctx_.get()) != 1 ||
        EC_POINT_is_at_infinity(group_.get(), k.get())) {
        return failed();
    }

    std::uint8_t m[kPointBytes], n[kPointBytes], own[kPointBytes], peerEncoded[kPointBytes], kBytes[kPointBytes];
    std::uint8_t w[kScalarBytes];
    if (!encodePoint(m_.get(), m) || !encodePoint(n_.get(), n) || !encodePoint(element_.get(), own) ||
        !encodePoint(peer.get(), peerEncoded) || !encodePoint(k.get(), kBytes) ||
        BN_bn2binpad(w_.get(), w, sizeof w) != static_cast<int>(sizeof w)) {
        OPENSSL_cleanse(kBytes, sizeof kBytes);
        OPENSSL_cleanse(w, sizeof w);
        return failed();
    }
    const bool master = role_ == SessionRole::Master;

    crypto::SecureBytes transcript;
    transcript.reserve(8 * 8 + 2 * kMasterIdentity.size() + 5 * kPointBytes + kScalarBytes);
    appendField(transcript, bytesOf(kMasterIdentity));
    appendField(transcript, bytesOf(kTargetIdentity));
    appendField(transcript, m);
    appendField(transcript, n);
    appendField(transcript, master ? own : peerEncoded);  // pA
    appendField(transcript, master ? peerEncoded : own);  // pB
    appendField(transcript, kBytes);
    appendField(transcript, w);
    OPENSSL_cleanse(kBytes, sizeof kBytes);
    OPENSSL_cleanse(w, sizeof w);

    std::uint8_t secret[32];
    if (!digest("SHA256", {transcript}, secret)) return failed();
    crypto::SecureBytes result(secret, secret + sizeof secret);
    OPENSSL_cleanse(secret, sizeof secret);
    return result;
}

std::string Spake2::computeConfirmation(std::span<const std::uint8_t> sharedSecret, std::string_view sessionId) {
    if (sharedSecret.empty()) return {};
    std::uint8_t hash[32];
    if (!digest("SHA256", {bytesOf(kConfirmLabel), bytesOf(sessionId), sharedSecret}, hash)) {
        spdlog::error("Spake2::computeConfirmation: SHA-256 failed: {}", crypto::openSslErrorText());
        return {};
    }
    return encodeHex(std::span<const std::uint8_t>(hash, kConfirmationBytes));
}

std::string Spake2::encodeCandidateList(const std::vector<std::string>& elements,
                                        const std::vector<std::string>& confirmations) {
    if (elements.size() < 2 || elements.size() != confirmations.size()) return {};
    const json::Json list = {{"v", kCandidateListVersion}, {"e", elements}, {"c", confirmations}};
    return json::toText(list);  // members in key order: "c", "e", "v"
}

bool Spake2::decodeCandidateList(std::string_view text, Spake2CandidateList& pairs, bool& plain) {
    pairs.clear();
    plain = false;

    const std::size_t start = text.find_first_not_of(" \t\r\n\f\v");
    if (start == std::string_view::npos) return false;

    if (text[start] != '{') {
        // A bare element: the whole text, leading blanks included, is the element.
        const std::string element(text);
        if (!isLowercaseHex(element, kElementHexLength)) return false;
        pairs.emplace_back(element, std::string());
        plain = true;
        return true;
    }

    json::Json list;
    if (!json::parse(text, list) || !list.is_object()) return false;
    const json::Json* version = json::member(list, "v");
    const json::Json* elements = json::member(list, "e");
    const json::Json* confirmations = json::member(list, "c");
    if (!version || !version->is_number_integer() || !elements || !elements->is_array() || !confirmations ||
        !confirmations->is_array()) {
        return false;
    }
    const bool versionOk = version->is_number_unsigned()
                               ? version->get<std::uint64_t>() == std::uint64_t{kCandidateListVersion}
                               : version->get<std::int64_t>() == std::int64_t{kCandidateListVersion};
    if (!versionOk || elements->size() != confirmations->size() || elements->empty() ||
        elements->size() > kMaxCandidates) {
        return false;
    }
    for (std::size_t j = 0; j < elements->size(); ++j) {
        const json::Json& e = (*elements)[j];
        const json::Json& c = (*confirmations)[j];
        if (!e.is_string() || !c.is_string()) return false;
        const auto& element = e.get_ref<const std::string&>();
        const auto& confirmation = c.get_ref<const std::string&>();
        if (!isLowercaseHex(element, kElementHexLength) || !isLowercaseHex(confirmation, kConfirmationHexLength))
            return false;
        pairs.emplace_back(element, confirmation);
    }
    return true;
}

}  // namespace veltrix
