#include "transport/SctpChecksum.h"

#include <usrsctp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace veltrix {
namespace {

// The checksum agrees with usrsctp's own CRC32c for packets of every length SCTP sends, and a
// packet changed in any byte no longer passes.
TEST(SctpChecksumTest, AgreesWithUsrsctpAndCatchesChangedBytes) {
    std::mt19937 random(7);
    for (std::size_t size : {12, 13, 16, 17, 28, 100, 1191, 1200, 4096, 16384}) {
        std::vector<std::uint8_t> packet(size);
        for (auto& byte : packet) byte = static_cast<std::uint8_t>(random());
        ASSERT_TRUE(sctp::writeChecksum(packet.data(), packet.size()));
        std::vector<std::uint8_t> cleared = packet;
        std::memset(cleared.data() + 8, 0, 4);
        std::uint32_t stored;
        std::memcpy(&stored, packet.data() + 8, 4);
        EXPECT_EQ(stored, usrsctp_crc32c(cleared.data(), cleared.size())) << size;
        EXPECT_TRUE(sctp::checksumValid(packet.data(), packet.size())) << size;
        for (std::size_t at : {std::size_t{0}, std::size_t{9}, size - 1}) {
            packet[at] ^= 0x20;
            EXPECT_FALSE(sctp::checksumValid(packet.data(), packet.size())) << size << " at " << at;
            packet[at] ^= 0x20;
        }
    }
    std::uint8_t tooShort[11] = {};
    EXPECT_FALSE(sctp::writeChecksum(tooShort, sizeof(tooShort)));
    EXPECT_FALSE(sctp::checksumValid(tooShort, sizeof(tooShort)));
}

}  // namespace
}  // namespace veltrix
