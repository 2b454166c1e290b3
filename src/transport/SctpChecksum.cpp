#include "transport/SctpChecksum.h"

#include <usrsctp.h>

#include <cstring>
#include <vector>

namespace veltrix::sctp {

namespace {

constexpr std::size_t kCommonHeaderSize = 12;
constexpr std::size_t kChecksumOffset = 8;

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t update(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    std::uint64_t wide = crc;
    for (; size >= 8; data += 8, size -= 8) {
        std::uint64_t word;
        std::memcpy(&word, data, sizeof(word));
        wide = __builtin_ia32_crc32di(wide, word);
    }
    crc = static_cast<std::uint32_t>(wide);
    for (; size > 0; ++data, --size) crc = __builtin_ia32_crc32qi(crc, *data);
    return crc;
}

bool hardware() {
    static const bool supported = __builtin_cpu_supports("sse4.2");
    return supported;
}
#else
std::uint32_t update(std::uint32_t crc, const std::uint8_t*, std::size_t) { return crc; }
bool hardware() { return false; }
#endif

}  // namespace

std::uint32_t packetChecksum(const std::uint8_t* packet, std::size_t size) {
    static const std::uint8_t zero[4] = {};
    if (size < kCommonHeaderSize) return 0;
    if (!hardware()) {
        // usrsctp's own routine works on a whole buffer: one with the checksum field cleared.
        std::vector<std::uint8_t> copy(packet, packet + size);
        std::memset(copy.data() + kChecksumOffset, 0, sizeof(zero));
        return usrsctp_crc32c(copy.data(), copy.size());
    }
    std::uint32_t crc = 0xffffffffu;
    crc = update(crc, packet, kChecksumOffset);
    crc = update(crc, zero, sizeof(zero));
    crc = update(crc, packet + kCommonHeaderSize, size - kCommonHeaderSize);
    return ~crc;  // stored as computed on this little-endian machine
}

bool writeChecksum(std::uint8_t* packet, std::size_t size) {
    if (size < kCommonHeaderSize) return false;
    const std::uint32_t checksum = packetChecksum(packet, size);
    std::memcpy(packet + kChecksumOffset, &checksum, sizeof(checksum));
    return true;
}

bool checksumValid(const std::uint8_t* packet, std::size_t size) {
    if (size < kCommonHeaderSize) return false;
    std::uint32_t stored;
    std::memcpy(&stored, packet + kChecksumOffset, sizeof(stored));
    return packetChecksum(packet, size) == stored;
}

}  // namespace veltrix::sctp
