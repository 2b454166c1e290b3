#pragma once

#include <QtGlobal>

namespace veltrix::bench {

// Two bare TLS sockets joined through the local backend's relay node at `port`, carrying `count`
// frames of `size` bytes (framed as a relay transport frames them) from one to the other, paced
// on the sender's unwritten bytes as the transports are. Returns MB/s, or -1 when it failed.
double bareTlsSocketPair(quint16 port, int count, qsizetype size);

}  // namespace veltrix::bench
