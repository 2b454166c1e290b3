// A data-channel establishment message from the peer (what arrives with the control payload
// identifier): an open message parses within its bounds and writes back to the same bytes.
#include <cstddef>
#include <cstdint>

#include "transport/DataChannelEstablishment.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace dc = veltrix::datachannel;
    dc::isAckMessage(data, size);
    const auto open = dc::OpenMessage::parse(data, size);
    if (!open) return 0;
    if (open->label.size() > dc::kMaxLabelSize || open->protocol.size() > dc::kMaxLabelSize) __builtin_trap();
    const auto wire = open->serialize();
    if (wire.size() != size) __builtin_trap();
    for (std::size_t i = 0; i < size; ++i)
        if (wire[i] != data[i]) __builtin_trap();
    return 0;
}
