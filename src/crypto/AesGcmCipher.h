#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include <openssl/types.h>

#include "crypto/GcmContextSlot.h"
#include "shared/SessionTypes.h"

namespace veltrix {

// Seals and opens the payloads of one session with AES-256-GCM, one key and nonce base per
// direction. A packet is
//
//   counter (u64 little-endian) | tag (16 bytes) | ciphertext (as long as the plaintext)
//
// and its nonce is the direction's IV with bytes 0-7 XORed with the counter's little-endian
// bytes. The counter is not authenticated directly; a forged counter changes the nonce and the tag
// fails. Received counters pass a 4096-packet replay window, so packets may arrive out of order
// but each one opens at most once.
//
// encrypt and decrypt may be called from several threads at once.
class AesGcmCipher {
public:
    static constexpr std::size_t kKeySize = 32;
    static constexpr std::size_t kIvSize = 12;
    static constexpr std::size_t kTagSize = 16;
    static constexpr std::size_t kOverhead = 8 + kTagSize;  // counter and tag before the ciphertext
    static constexpr std::uint64_t kReplayWindow = 4096;

    // Derives the two directions' keys from the session key and base IV, bound to `context` (the
    // session id) and salted with `extraSalt` (the password-exchange secret, may be empty). `role`
    // is the local side's and must be Master or Target. Throws std::invalid_argument for a key
    // that is not 32 bytes, a base IV that is not 12 bytes or another role, and
    // std::runtime_error when key derivation fails.
    AesGcmCipher(std::span<const std::uint8_t> key, std::span<const std::uint8_t> baseIv,
                 std::string_view context, SessionRole role,
                 std::span<const std::uint8_t> extraSalt = {});
    ~AesGcmCipher();

    AesGcmCipher(const AesGcmCipher&) = delete;
    AesGcmCipher& operator=(const AesGcmCipher&) = delete;

    // The packet for `size` bytes of `data` (size + 24 bytes), or empty on failure, including once
    // the send counter is used up.
    std::vector<std::uint8_t> encrypt(const std::uint8_t* data, std::size_t size);
    std::vector<std::uint8_t> encrypt(std::span<const std::uint8_t> data);
    // The same packet written into `packet`, whose storage is reused (a stream of frames sealed
    // into one buffer allocates only when a frame is larger than any before); false, with
    // `packet` empty, on failure.
    bool encryptInto(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& packet);

    // The plaintext of a packet from the peer, or empty when the packet is too short, replayed,
    // too old or fails authentication. A packet with an empty plaintext also gives an empty
    // result: an empty result means there is nothing to deliver.
    std::vector<std::uint8_t> decrypt(const std::uint8_t* packet, std::size_t size);

private:
    friend class AesGcmCipherTestPeer;

    using Key = std::array<std::uint8_t, kKeySize>;
    using Iv = std::array<std::uint8_t, kIvSize>;

    bool takeSendCounter(std::uint64_t& counter);
    bool isReplayed(std::uint64_t counter) const;   // replay lock held
    bool acceptCounter(std::uint64_t counter);      // replay lock held
    void setSeen(std::uint64_t counter, bool seen);  // replay lock held
    bool seen(std::uint64_t counter) const;          // replay lock held

    Key sendKey_{};
    Iv sendIv_{};
    Key receiveKey_{};
    Iv receiveIv_{};
    // One keyed context per direction, reused from packet to packet: a fresh context and key
    // expansion would cost more than sealing a small packet itself.
    crypto::GcmContextSlot sealContexts_{sendKey_, crypto::GcmContextSlot::Direction::Seal};
    crypto::GcmContextSlot openContexts_{receiveKey_, crypto::GcmContextSlot::Direction::Open};

    // The next counter to send. The last value is never sent: reaching it means every nonce of
    // this key has been used, and sealing stops.
    std::atomic<std::uint64_t> sendCounter_{0};

    mutable std::mutex replayMutex_;
    bool replayStarted_ = false;
    std::uint64_t highestCounter_ = 0;
    std::array<std::uint64_t, kReplayWindow / 64> replayBitmap_{};
};

}  // namespace veltrix
