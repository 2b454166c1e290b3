#include "crypto/AesGcmCipher.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <spdlog/spdlog.h>

#include "crypto/Hkdf.h"
#include "crypto/OpenSslError.h"
#include "crypto/SecureBytes.h"

namespace veltrix {
namespace {

constexpr std::string_view kMasterToTargetLabel = "veltrix-m2t-v2";
constexpr std::string_view kTargetToMasterLabel = "veltrix-t2m-v2";
constexpr std::size_t kCounterOffset = 0;
constexpr std::size_t kTagOffset = 8;
constexpr std::size_t kDirectionBytes = AesGcmCipher::kKeySize + AesGcmCipher::kIvSize;

// EVP_*Update takes an int length; longer payloads go through in pieces of this size.
constexpr std::size_t kMaxUpdateChunk = std::size_t{1} << 30;

// A keyed context taken from a slot for one packet: kept for the next packet when this one went
// through every step, freed otherwise (a failed step may leave it in any state).
class ContextLease {
public:
    explicit ContextLease(crypto::GcmContextSlot& slot) : slot_(slot), ctx_(slot.take(failedStep_)) {}
    ~ContextLease() {
        if (succeeded_)
            slot_.give(ctx_);
        else
            crypto::GcmContextSlot::discard(ctx_);
    }
    ContextLease(const ContextLease&) = delete;
    ContextLease& operator=(const ContextLease&) = delete;

    EVP_CIPHER_CTX* get() const { return ctx_; }
    const char* failedStep() const { return failedStep_; }
    void succeeded() { succeeded_ = true; }

private:
    crypto::GcmContextSlot& slot_;
    const char* failedStep_ = "";
    EVP_CIPHER_CTX* ctx_;
    bool succeeded_ = false;
};

void writeLe64(std::uint8_t* out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t readLe64(const std::uint8_t* in) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= std::uint64_t{in[i]} << (8 * i);
    return value;
}

template <typename Iv>
Iv nonceFor(const Iv& baseIv, std::uint64_t counter) {
    Iv nonce = baseIv;
    for (int i = 0; i < 8; ++i) nonce[i] ^= static_cast<std::uint8_t>(counter >> (8 * i));
    return nonce;
}

[[noreturn]] void throwKdfFailure(crypto::HkdfStatus status) {
    const char* step = status == crypto::HkdfStatus::FetchFailed     ? "EVP_KDF_fetch(HKDF)"
                       : status == crypto::HkdfStatus::ContextFailed ? "EVP_KDF_CTX_new"
                                                                     : "EVP_KDF_derive";
    throw std::runtime_error(std::string("AesGcmCipher: ") + step + " failed: " + crypto::openSslErrorText());
}

// Key and IV of one direction: HKDF-SHA256(key, salt, label "|" context), 32 + 12 bytes.
template <typename Key, typename Iv>
void deriveDirection(std::span<const std::uint8_t> key, std::span<const std::uint8_t> salt,
                     std::string_view label, std::string_view context, Key& outKey, Iv& outIv) {
    std::string info;
    info.reserve(label.size() + 1 + context.size());
    info.append(label).append("|").append(context);
    const auto* infoBytes = reinterpret_cast<const std::uint8_t*>(info.data());

    std::array<std::uint8_t, kDirectionBytes> material{};
    const crypto::HkdfStatus status = crypto::hkdfSha256(key, salt, {infoBytes, info.size()}, material);
    if (status == crypto::HkdfStatus::Ok) {
        std::copy_n(material.begin(), outKey.size(), outKey.begin());
        std::copy_n(material.begin() + outKey.size(), outIv.size(), outIv.begin());
    }
    OPENSSL_cleanse(material.data(), material.size());
    if (status != crypto::HkdfStatus::Ok) throwKdfFailure(status);
}

// Runs EVP_{En,De}cryptUpdate over `size` bytes in int-sized pieces; returns the bytes written.
template <typename Update>
bool updateInChunks(EVP_CIPHER_CTX* ctx, Update update, const std::uint8_t* in, std::size_t size,
                    std::uint8_t* out, std::size_t& written) {
    written = 0;
    for (std::size_t done = 0; done < size;) {
        const std::size_t chunk = std::min(size - done, kMaxUpdateChunk);
        int outLength = 0;
        if (update(ctx, out + written, &outLength, in + done, static_cast<int>(chunk)) != 1) return false;
        written += static_cast<std::size_t>(outLength);
        done += chunk;
    }
    return true;
}

}  // namespace

AesGcmCipher::AesGcmCipher(std::span<const std::uint8_t> key, std::span<const std::uint8_t> baseIv,
                           std::string_view context, SessionRole role,
                           std::span<const std::uint8_t> extraSalt) {
    if (key.size() != kKeySize)
        throw std::invalid_argument("AesGcmCipher: key must be exactly 32 bytes, got " + std::to_string(key.size()));
    if (baseIv.size() != kIvSize)
        throw std::invalid_argument("AesGcmCipher: base IV must be exactly 12 bytes, got " +
                                    std::to_string(baseIv.size()));
    if (role != SessionRole::Master && role != SessionRole::Target)
        throw std::invalid_argument("AesGcmCipher: role must be Master or Target");

    const bool master = role == SessionRole::Master;
    const std::string_view sendLabel = master ? kMasterToTargetLabel : kTargetToMasterLabel;
    const std::string_view receiveLabel = master ? kTargetToMasterLabel : kMasterToTargetLabel;

    // The salt holds the base IV and the password-exchange secret; SecureBytes wipes it however
    // this constructor ends.
    crypto::SecureBytes salt;
    salt.reserve(baseIv.size() + extraSalt.size());
    salt.insert(salt.end(), baseIv.begin(), baseIv.end());
    salt.insert(salt.end(), extraSalt.begin(), extraSalt.end());
    try {
        deriveDirection(key, salt, sendLabel, context, sendKey_, sendIv_);
        deriveDirection(key, salt, receiveLabel, context, receiveKey_, receiveIv_);
    } catch (...) {
        // No destructor runs for an object whose constructor throws.
        OPENSSL_cleanse(sendKey_.data(), sendKey_.size());
        OPENSSL_cleanse(sendIv_.data(), sendIv_.size());
        throw;
    }

    spdlog::debug("AesGcmCipher: initialized directional keys (role={})", master ? "Master" : "Target");
}

AesGcmCipher::~AesGcmCipher() {
    // The context slots, destroyed after this body, free their contexts; OpenSSL wipes the key
    // schedules those hold.
    OPENSSL_cleanse(sendKey_.data(), sendKey_.size());
    OPENSSL_cleanse(sendIv_.data(), sendIv_.size());
    OPENSSL_cleanse(receiveKey_.data(), receiveKey_.size());
    OPENSSL_cleanse(receiveIv_.data(), receiveIv_.size());
}

bool AesGcmCipher::takeSendCounter(std::uint64_t& counter) {
    // A plain fetch-and-add would wrap to 0 after 2^64 packets and reuse every nonce; stop at the
    // last value instead.
    std::uint64_t current = sendCounter_.load(std::memory_order_relaxed);
    do {
        if (current == UINT64_MAX) return false;
    } while (!sendCounter_.compare_exchange_weak(current, current + 1, std::memory_order_relaxed));
    counter = current;
    return true;
}

std::vector<std::uint8_t> AesGcmCipher::encrypt(std::span<const std::uint8_t> data) {
    return encrypt(data.data(), data.size());
}

std::vector<std::uint8_t> AesGcmCipher::encrypt(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> packet;
    encryptInto(data, size, packet);
    return packet;
}

bool AesGcmCipher::encryptInto(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& packet) {
    packet.clear();
    std::uint64_t counter = 0;
    if (!takeSendCounter(counter)) {
        spdlog::error("AesGcmCipher::encrypt: send counter exhausted, refusing to reuse a nonce");
        return false;
    }
    const Iv nonce = nonceFor(sendIv_, counter);

    ContextLease ctx(sealContexts_);
    if (!ctx.get()) {
        spdlog::error("AesGcmCipher::encrypt: {} failed: {}", ctx.failedStep(), crypto::openSslErrorText());
        return false;
    }
    // The context holds the key schedule already; only the nonce is new.
    if (EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, nonce.data()) != 1) {
        spdlog::error("AesGcmCipher::encrypt: EncryptInit_ex (key/IV) failed: {}", crypto::openSslErrorText());
        return false;
    }

    packet.resize(size + kOverhead);
    writeLe64(packet.data() + kCounterOffset, counter);
    std::uint8_t* ciphertext = packet.data() + kOverhead;
    std::size_t written = 0;
    if (!updateInChunks(ctx.get(), EVP_EncryptUpdate, data, size, ciphertext, written)) {
        spdlog::error("AesGcmCipher::encrypt: EncryptUpdate failed: {}", crypto::openSslErrorText());
        packet.clear();
        return false;
    }
    int finalLength = 0;
    if (EVP_EncryptFinal_ex(ctx.get(), ciphertext + written, &finalLength) != 1) {
        spdlog::error("AesGcmCipher::encrypt: EncryptFinal_ex failed: {}", crypto::openSslErrorText());
        packet.clear();
        return false;
    }
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize),
                            packet.data() + kTagOffset) != 1) {
        spdlog::error("AesGcmCipher::encrypt: get tag failed: {}", crypto::openSslErrorText());
        packet.clear();
        return false;
    }
    packet.resize(kOverhead + written + static_cast<std::size_t>(finalLength));
    ctx.succeeded();
    return true;
}

std::vector<std::uint8_t> AesGcmCipher::decrypt(const std::uint8_t* packet, std::size_t size) {
    if (packet == nullptr || size < kOverhead) {
        spdlog::error("AesGcmCipher::decrypt: message too short ({} bytes, minimum {})", packet ? size : 0u,
                      kOverhead);
        return {};
    }
    const std::uint64_t counter = readLe64(packet + kCounterOffset);
    {
        // Cheap early refusal; the authoritative check is repeated in acceptCounter, because the
        // lock is not held across the AES work.
        std::lock_guard lock(replayMutex_);
        if (isReplayed(counter)) {
            spdlog::warn("AesGcmCipher::decrypt: replay/stale counter rejected (counter={})", counter);
            return {};
        }
    }
    const Iv nonce = nonceFor(receiveIv_, counter);

    ContextLease ctx(openContexts_);
    if (!ctx.get()) {
        spdlog::error("AesGcmCipher::decrypt: {} failed: {}", ctx.failedStep(), crypto::openSslErrorText());
        return {};
    }
    if (EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, nonce.data()) != 1) {
        spdlog::error("AesGcmCipher::decrypt: DecryptInit_ex (key/IV) failed: {}", crypto::openSslErrorText());
        return {};
    }

    const std::size_t ciphertextSize = size - kOverhead;
    std::vector<std::uint8_t> plaintext(ciphertextSize);
    std::size_t written = 0;
    if (!updateInChunks(ctx.get(), EVP_DecryptUpdate, packet + kOverhead, ciphertextSize, plaintext.data(),
                        written)) {
        spdlog::error("AesGcmCipher::decrypt: DecryptUpdate failed: {}", crypto::openSslErrorText());
        return {};
    }
    // OpenSSL copies the expected tag; the const_cast only satisfies the ctrl signature.
    auto* tag = const_cast<std::uint8_t*>(packet + kTagOffset);
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tag) != 1) {
        spdlog::error("AesGcmCipher::decrypt: set tag failed: {}", crypto::openSslErrorText());
        return {};
    }
    int finalLength = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), plaintext.data() + written, &finalLength) != 1) {
        spdlog::error("AesGcmCipher::decrypt: authentication tag verification failed (counter={}): {}", counter,
                      crypto::openSslErrorText());
        return {};
    }
    plaintext.resize(written + static_cast<std::size_t>(finalLength));
    ctx.succeeded();

    {
        std::lock_guard lock(replayMutex_);
        if (!acceptCounter(counter)) {
            // Another thread accepted this counter (or moved the window past it) while this one
            // was decrypting.
            spdlog::warn("AesGcmCipher::decrypt: replay/stale counter rejected (counter={})", counter);
            return {};
        }
    }
    return plaintext;
}

bool AesGcmCipher::seen(std::uint64_t counter) const {
    const std::uint64_t bit = counter % kReplayWindow;
    return (replayBitmap_[bit / 64] >> (bit % 64)) & 1u;
}

void AesGcmCipher::setSeen(std::uint64_t counter, bool value) {
    const std::uint64_t bit = counter % kReplayWindow;
    const std::uint64_t mask = std::uint64_t{1} << (bit % 64);
    if (value)
        replayBitmap_[bit / 64] |= mask;
    else
        replayBitmap_[bit / 64] &= ~mask;
}

bool AesGcmCipher::isReplayed(std::uint64_t counter) const {
    if (!replayStarted_ || counter > highestCounter_) return false;
    return highestCounter_ - counter >= kReplayWindow || seen(counter);
}

bool AesGcmCipher::acceptCounter(std::uint64_t counter) {
    if (isReplayed(counter)) return false;

    if (!replayStarted_) {
        replayStarted_ = true;
        replayBitmap_.fill(0);
        highestCounter_ = counter;
    } else if (counter > highestCounter_) {
        if (counter - highestCounter_ >= kReplayWindow) {
            replayBitmap_.fill(0);
        } else {
            // The slots between the old and the new highest counter now stand for counters that
            // have not arrived yet.
            for (std::uint64_t c = highestCounter_ + 1; c < counter; ++c) setSeen(c, false);
        }
        highestCounter_ = counter;
    }
    setSeen(counter, true);
    return true;
}

}  // namespace veltrix
