// Opens arbitrary bytes as packets, and checks the replay window against a plain model.
//
// Input byte 0 picks the mode:
//   even: the rest is one packet for a Target; if it opens, the same bytes must not open again.
//   odd:  the rest is a script of 3-byte steps (operation, 16-bit little-endian amount). Each
//         step seals a packet with a chosen counter, optionally corrupts it, and opens it; the
//         result must match a model that keeps every accepted counter in a set.
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include <spdlog/spdlog.h>

#include "crypto/AesGcmCipher.h"

namespace veltrix {

class AesGcmCipherTestPeer {
public:
    static void setSendCounter(AesGcmCipher& c, std::uint64_t next) { c.sendCounter_ = next; }
};

namespace {

// The fixed session of the known-answer tests, so that sealed seeds open.
const std::uint8_t kKey[32] = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae,
                               0xf0, 0x85, 0x7d, 0x77, 0x81, 0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61,
                               0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
const std::uint8_t kBaseIv[12] = {0xca, 0xfe, 0xba, 0xbe, 0xfa, 0xce, 0xdb, 0xad, 0xde, 0xca, 0xf8, 0x88};
constexpr char kContext[] = "session-4242";

AesGcmCipher makeCipher(SessionRole role) { return AesGcmCipher(kKey, kBaseIv, kContext, role); }

void check(bool condition) {
    if (!condition) __builtin_trap();
}

void openOnePacket(const std::uint8_t* data, std::size_t size) {
    AesGcmCipher target = makeCipher(SessionRole::Target);
    const std::vector<std::uint8_t> plaintext = target.decrypt(data, size);
    if (plaintext.empty()) return;
    check(plaintext.size() + AesGcmCipher::kOverhead == size);
    check(target.decrypt(data, size).empty());  // the counter is used now
}

struct ReplayModel {
    bool started = false;
    std::uint64_t highest = 0;
    std::set<std::uint64_t> accepted;

    bool accepts(std::uint64_t c) const {
        if (!started || c > highest) return true;
        return highest - c < AesGcmCipher::kReplayWindow && !accepted.count(c);
    }
    void accept(std::uint64_t c) {
        if (!started || c > highest) highest = c;
        started = true;
        accepted.insert(c);
    }
};

void runReplayScript(const std::uint8_t* data, std::size_t size) {
    AesGcmCipher master = makeCipher(SessionRole::Master);
    AesGcmCipher target = makeCipher(SessionRole::Target);
    ReplayModel model;
    const std::uint8_t payload[5] = {'i', 'n', 'p', 'u', 't'};

    // Far from 0 so that steps backwards have room; far from 2^64 so that the counter never runs out.
    const std::uint64_t start = std::uint64_t{1} << 40;
    for (std::size_t at = 0; at + 3 <= size; at += 3) {
        const std::uint8_t op = data[at] % 4;
        const std::uint64_t amount = data[at + 1] | std::uint64_t{data[at + 2]} << 8;
        const std::uint64_t base = model.started ? model.highest : start;
        std::uint64_t counter = 0;
        switch (op) {
        case 0: counter = base + amount % 64; break;                   // a little ahead, or a repeat
        case 1: counter = base - amount % 8192; break;                 // behind, inside or outside the window
        case 2: counter = base - amount % 4096; break;                 // behind, then corrupted
        default: counter = base + AesGcmCipher::kReplayWindow - 32 + amount % 64; break;  // around a full jump
        }
        AesGcmCipherTestPeer::setSendCounter(master, counter);
        std::vector<std::uint8_t> packet = master.encrypt(payload, sizeof payload);
        check(packet.size() == sizeof payload + AesGcmCipher::kOverhead);

        const bool corrupt = op == 2;
        if (corrupt) packet[amount % packet.size()] ^= static_cast<std::uint8_t>(1u << (amount >> 13));

        const bool opened = !target.decrypt(packet.data(), packet.size()).empty();
        const bool expected = !corrupt && model.accepts(counter);
        check(opened == expected);
        if (opened) model.accept(counter);
    }
}

}  // namespace
}  // namespace veltrix

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        spdlog::set_level(spdlog::level::off);
        return true;
    }();
    (void)quiet;
    if (size == 0) return 0;
    if (data[0] % 2 == 0)
        veltrix::openOnePacket(data + 1, size - 1);
    else
        veltrix::runReplayScript(data + 1, size - 1);
    return 0;
}
