#include "crypto/GcmContextSlot.h"

#include <openssl/evp.h>

namespace veltrix::crypto {

GcmContextSlot::GcmContextSlot(std::span<const std::uint8_t, 32> key, Direction direction)
    : key_(key), direction_(direction) {
    // A failed fetch is reported by the first build, as the cipher step.
    cipher_ = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
}

GcmContextSlot::~GcmContextSlot() {
    discard(kept_.exchange(nullptr));
    EVP_CIPHER_free(cipher_);
}

EVP_CIPHER_CTX* GcmContextSlot::take(const char*& failedStep) {
    if (EVP_CIPHER_CTX* ctx = kept_.exchange(nullptr, std::memory_order_acquire)) return ctx;
    return build(failedStep);
}

void GcmContextSlot::give(EVP_CIPHER_CTX* ctx) {
    EVP_CIPHER_CTX* empty = nullptr;
    if (!kept_.compare_exchange_strong(empty, ctx, std::memory_order_release, std::memory_order_relaxed))
        discard(ctx);
}

void GcmContextSlot::discard(EVP_CIPHER_CTX* ctx) { EVP_CIPHER_CTX_free(ctx); }

EVP_CIPHER_CTX* GcmContextSlot::build(const char*& failedStep) const {
    const bool seal = direction_ == Direction::Seal;
    const auto init = seal ? EVP_EncryptInit_ex : EVP_DecryptInit_ex;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) {
        failedStep = "EVP_CIPHER_CTX_new";
        return nullptr;
    }
    if (init(ctx, cipher_, nullptr, nullptr, nullptr) != 1) {
        failedStep = seal ? "EncryptInit_ex (cipher)" : "DecryptInit_ex (cipher)";
    } else if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) != 1) {
        failedStep = "set IV length";
    } else if (init(ctx, nullptr, nullptr, key_.data(), nullptr) != 1) {
        failedStep = seal ? "EncryptInit_ex (key/IV)" : "DecryptInit_ex (key/IV)";
    } else {
        return ctx;
    }
    EVP_CIPHER_CTX_free(ctx);
    return nullptr;
}

}  // namespace veltrix::crypto
