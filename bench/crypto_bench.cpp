// Seal and open throughput of AesGcmCipher for 1 KiB, 64 KiB and 1 MiB packets, beside a bare
// OpenSSL AES-256-GCM loop that keeps one context and one key schedule and writes into a buffer
// it reuses. The ratio shows what the cipher's own work costs: the packet allocation, the counter,
// the replay window and taking its kept context. Target: at least 0.8 of the bare loop at every
// size, 1 KiB included (input events and small video packets are that size).
//
// MB/s are 10^6 bytes of plaintext per second; each figure is the best of several rounds. The four
// measurements of a packet size take turns round by round, so that other work on the machine
// slows the cipher and the bare loop alike instead of skewing the ratio.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "crypto/AesGcmCipher.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kBytesPerRound = std::size_t{128} << 20;
constexpr std::size_t kBatchBytes = std::size_t{32} << 20;  // packets sealed ahead for one timed open run
constexpr int kRounds = 7;

volatile std::uint8_t sink;  // keeps the compiler from dropping the work

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "crypto_bench: %s failed\n", what);
        std::exit(1);
    }
}

Bytes randomBytes(std::size_t size) {
    Bytes bytes(size);
    require(RAND_bytes(bytes.data(), static_cast<int>(size)) == 1, "RAND_bytes");
    return bytes;
}

double megabytesPerSecond(std::size_t bytes, Clock::duration elapsed) {
    return static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(elapsed).count();
}


struct Session {
    Bytes key = randomBytes(32);
    Bytes baseIv = randomBytes(12);
    veltrix::AesGcmCipher master{key, baseIv, "bench-session", veltrix::SessionRole::Master};
    veltrix::AesGcmCipher target{key, baseIv, "bench-session", veltrix::SessionRole::Target};
};

double cipherSeal(Session& session, const Bytes& plaintext) {
    const std::size_t packets = kBytesPerRound / plaintext.size();
    const auto start = Clock::now();
    for (std::size_t i = 0; i < packets; ++i) sink = session.master.encrypt(plaintext).back();
    return megabytesPerSecond(packets * plaintext.size(), Clock::now() - start);
}

double cipherOpen(Session& session, const Bytes& plaintext) {
    // Every packet opens once, so each timed run opens packets sealed just before it.
    const std::size_t batch = std::max<std::size_t>(1, kBatchBytes / plaintext.size());
    std::vector<Bytes> sealed(batch);
    std::size_t opened = 0;
    Clock::duration elapsed{};
    while (opened < kBytesPerRound) {
        for (Bytes& packet : sealed) packet = session.master.encrypt(plaintext);
        const auto start = Clock::now();
        for (const Bytes& packet : sealed) {
            const Bytes result = session.target.decrypt(packet.data(), packet.size());
            require(result.size() == plaintext.size(), "AesGcmCipher::decrypt");
            sink = result.back();
        }
        elapsed += Clock::now() - start;
        opened += batch * plaintext.size();
    }
    return megabytesPerSecond(opened, elapsed);
}

// The reference: one context, key schedule set once, only the nonce changes per packet; output
// goes to a buffer that is reused.
class BareGcm {
public:
    struct Packet {
        std::uint64_t counter = 0;
        std::uint8_t tag[16] = {};
        Bytes ciphertext;
    };

    BareGcm() : key_(randomBytes(32)), baseNonce_(randomBytes(12)) {
        require(encrypt_ && decrypt_, "EVP_CIPHER_CTX_new");
        require(EVP_EncryptInit_ex(encrypt_, EVP_aes_256_gcm(), nullptr, key_.data(), nullptr) == 1, "init");
        require(EVP_DecryptInit_ex(decrypt_, EVP_aes_256_gcm(), nullptr, key_.data(), nullptr) == 1, "init");
    }
    ~BareGcm() {
        EVP_CIPHER_CTX_free(encrypt_);
        EVP_CIPHER_CTX_free(decrypt_);
    }
    BareGcm(const BareGcm&) = delete;
    BareGcm& operator=(const BareGcm&) = delete;

    void seal(const Bytes& in, Packet& out) {
        out.counter = counter_++;
        out.ciphertext.resize(in.size());
        const auto nonce = nonceFor(out.counter);
        int length = 0;
        require(EVP_EncryptInit_ex(encrypt_, nullptr, nullptr, nullptr, nonce.data()) == 1 &&
                    EVP_EncryptUpdate(encrypt_, out.ciphertext.data(), &length, in.data(),
                                      static_cast<int>(in.size())) == 1 &&
                    EVP_EncryptFinal_ex(encrypt_, out.ciphertext.data() + length, &length) == 1 &&
                    EVP_CIPHER_CTX_ctrl(encrypt_, EVP_CTRL_GCM_GET_TAG, 16, out.tag) == 1,
                "bare seal");
    }

    bool open(const Packet& in, Bytes& out) {
        const auto nonce = nonceFor(in.counter);
        int length = 0;
        return EVP_DecryptInit_ex(decrypt_, nullptr, nullptr, nullptr, nonce.data()) == 1 &&
               EVP_DecryptUpdate(decrypt_, out.data(), &length, in.ciphertext.data(),
                                 static_cast<int>(in.ciphertext.size())) == 1 &&
               EVP_CIPHER_CTX_ctrl(decrypt_, EVP_CTRL_GCM_SET_TAG, 16, const_cast<std::uint8_t*>(in.tag)) == 1 &&
               EVP_DecryptFinal_ex(decrypt_, out.data() + length, &length) == 1;
    }

private:
    std::array<std::uint8_t, 12> nonceFor(std::uint64_t counter) const {
        std::array<std::uint8_t, 12> nonce;
        std::copy(baseNonce_.begin(), baseNonce_.end(), nonce.begin());
        for (int i = 0; i < 8; ++i) nonce[i] ^= static_cast<std::uint8_t>(counter >> (8 * i));
        return nonce;
    }

    Bytes key_;
    Bytes baseNonce_;
    std::uint64_t counter_ = 0;
    EVP_CIPHER_CTX* encrypt_ = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX* decrypt_ = EVP_CIPHER_CTX_new();
};

double bareSeal(BareGcm& bare, const Bytes& plaintext) {
    const std::size_t packets = kBytesPerRound / plaintext.size();
    BareGcm::Packet out;
    out.ciphertext.resize(plaintext.size());
    const auto start = Clock::now();
    for (std::size_t i = 0; i < packets; ++i) {
        bare.seal(plaintext, out);
        sink = out.ciphertext.back();
    }
    return megabytesPerSecond(packets * plaintext.size(), Clock::now() - start);
}

// Opens a batch of distinct packets, as cipherOpen does, so both read the same amount of memory.
double bareOpen(BareGcm& bare, const Bytes& plaintext) {
    const std::size_t batch = std::max<std::size_t>(1, kBatchBytes / plaintext.size());
    std::vector<BareGcm::Packet> sealed(batch);
    for (BareGcm::Packet& packet : sealed) bare.seal(plaintext, packet);
    Bytes out(plaintext.size());
    std::size_t opened = 0;
    const auto start = Clock::now();
    while (opened < kBytesPerRound) {
        for (const BareGcm::Packet& packet : sealed) {
            require(bare.open(packet, out), "bare open");
            sink = out.back();
        }
        opened += batch * plaintext.size();
    }
    return megabytesPerSecond(opened, Clock::now() - start);
}

}  // namespace

int main() {
    const struct {
        const char* name;
        std::size_t size;
    } sizes[] = {{"1 KiB", 1024}, {"64 KiB", 64 * 1024}, {"1 MiB", 1024 * 1024}};

    Session session;
    BareGcm bare;
    bool targetMet = true;
    std::printf("%-8s %12s %12s %7s %12s %12s %7s\n", "packet", "seal MB/s", "bare MB/s", "ratio", "open MB/s",
                "bare MB/s", "ratio");
    for (const auto& [name, size] : sizes) {
        const Bytes plaintext = randomBytes(size);
        double seal = 0, bareSealRate = 0, open = 0, bareOpenRate = 0;
        for (int round = 0; round < kRounds; ++round) {
            seal = std::max(seal, cipherSeal(session, plaintext));
            bareSealRate = std::max(bareSealRate, bareSeal(bare, plaintext));
            open = std::max(open, cipherOpen(session, plaintext));
            bareOpenRate = std::max(bareOpenRate, bareOpen(bare, plaintext));
        }
        const double sealRatio = seal / bareSealRate;
        const double openRatio = open / bareOpenRate;
        std::printf("%-8s %12.0f %12.0f %7.2f %12.0f %12.0f %7.2f\n", name, seal, bareSealRate, sealRatio, open,
                    bareOpenRate, openRatio);
        if (sealRatio < 0.8 || openRatio < 0.8) targetMet = false;
    }
    std::printf("target (ratio >= 0.80 at every size): %s\n", targetMet ? "met" : "NOT met");
    return 0;
}
