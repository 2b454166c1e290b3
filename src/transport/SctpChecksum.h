#pragma once

#include <cstddef>
#include <cstdint>

namespace veltrix::sctp {

// The CRC32c checksum of an SCTP packet (its common header's bytes 8 to 11 taken as zero), in
// the byte order the header stores it. Computed here rather than by usrsctp, with the processor's
// CRC32c instruction where there is one: on the network thread it is a noticeable part of every
// packet's cost.
std::uint32_t packetChecksum(const std::uint8_t* packet, std::size_t size);
// Writes the checksum into the packet's common header. False for a packet shorter than one.
bool writeChecksum(std::uint8_t* packet, std::size_t size);
// Whether the packet's stored checksum is right.
bool checksumValid(const std::uint8_t* packet, std::size_t size);

}  // namespace veltrix::sctp
