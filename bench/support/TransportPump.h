#pragma once

#include <QtGlobal>
#include <cstdint>

#include "transport/ITransport.h"

namespace veltrix::bench {

// Bytes the pump lets wait in the sender before it sends the next message.
inline constexpr std::uint64_t kMaxInFlight = 8u << 20;

// Sends `count` video messages of `size` bytes on `from`, pacing on its buffered amount as file
// transfer does, and waits until `received` (counted by the receiving end) holds all of them.
// Returns MB/s, or -1 when a send fails, the sender drops or the bytes do not all arrive.
double pumpVideo(ITransport& from, const qint64& received, int count, qsizetype size);

}  // namespace veltrix::bench
