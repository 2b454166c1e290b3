#pragma once

#include <QString>
#include <cstdint>

namespace veltrix {

// A relay node offered by the backend for one session.
struct RelayCandidate {
    QString relayId;
    QString host;
    std::int32_t port = 0;   // used as unsigned 16-bit
    std::int32_t rank = -1;  // negative: unranked
};

}  // namespace veltrix
