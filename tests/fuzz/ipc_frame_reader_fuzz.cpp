// The service's pipe framing and message parsing on arbitrary bytes, delivered in arbitrary
// splits: it must never crash, throw or hand over a message beyond the limit.
#include <cstddef>
#include <cstdint>
#include <string>

#include "shared/IpcFrameReader.h"
#include "shared/JsonFields.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the read size, so splits across reads are explored too.
    const std::size_t chunk = 1 + data[0] % 64;
    veltrix::IpcFrameReader reader(0x100000);
    for (std::size_t at = 1; at < size; at += chunk) {
        const std::size_t count = std::min(chunk, size - at);
        reader.append(reinterpret_cast<const char*>(data + at), count);
        for (;;) {
            veltrix::IpcMessage message;
            std::string error;
            const auto status = reader.next(message, error);
            if (status == veltrix::IpcFrameReader::Status::NeedMore) break;
            if (status == veltrix::IpcFrameReader::Status::TooLarge) {
                reader.clear();
                break;
            }
            if (status == veltrix::IpcFrameReader::Status::Message) {
                // What the command table does first with any message.
                (void)veltrix::json::stringOr(message, "type", "");
                (void)veltrix::json::toText(message);
            }
        }
    }
    return 0;
}
