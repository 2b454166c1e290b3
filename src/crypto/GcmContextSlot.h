#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include <openssl/types.h>

namespace veltrix::crypto {

// Keeps one AES-256-GCM context with a direction's key schedule already set, so that a packet
// costs only its nonce set-up instead of a fresh context and key expansion. Lock-free: take()
// hands out the kept context, or builds a new keyed one when another thread holds it; give()
// keeps a context for the next packet, or frees it when one is kept already. A context is owned
// by one caller at a time, so packets on several threads never share one.
//
// The key must outlive the slot. Freeing a context wipes its key schedule (OpenSSL cleanses it).
class GcmContextSlot {
public:
    enum class Direction { Seal, Open };

    GcmContextSlot(std::span<const std::uint8_t, 32> key, Direction direction);
    ~GcmContextSlot();

    GcmContextSlot(const GcmContextSlot&) = delete;
    GcmContextSlot& operator=(const GcmContextSlot&) = delete;

    // A keyed context ready for EVP_{En,De}cryptInit_ex with only a nonce, or null when building one
    // failed; `failedStep` then names the OpenSSL step ("EVP_CIPHER_CTX_new", "EncryptInit_ex
    // (cipher)", "set IV length", "EncryptInit_ex (key/IV)", or the Decrypt names).
    EVP_CIPHER_CTX* take(const char*& failedStep);

    // Returns a context after a packet that went through every step; a context whose packet
    // failed is not trusted for the next one and goes to discard() instead.
    void give(EVP_CIPHER_CTX* ctx);
    static void discard(EVP_CIPHER_CTX* ctx);

private:
    EVP_CIPHER_CTX* build(const char*& failedStep) const;

    std::span<const std::uint8_t, 32> key_;
    Direction direction_;
    EVP_CIPHER* cipher_ = nullptr;  // AES-256-GCM, fetched once
    std::atomic<EVP_CIPHER_CTX*> kept_{nullptr};
};

}  // namespace veltrix::crypto
