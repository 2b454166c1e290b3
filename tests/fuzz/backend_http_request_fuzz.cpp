// The backend's HTTP request reader on arbitrary bytes fed in arbitrary splits.
#include <cstddef>
#include <cstdint>

#include "HttpRequestParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using veltrix::backend::HttpRequestParser;
    HttpRequestParser parser(HttpRequestParser::Limits{2048, 4096});
    QByteArray buffer;
    // The first byte chooses the size of the pieces the input arrives in.
    const std::size_t piece = size ? 1 + data[0] % 64 : 1;
    for (std::size_t at = size ? 1 : 0; at < size; at += piece) {
        buffer.append(reinterpret_cast<const char*>(data + at), qsizetype(std::min(piece, size - at)));
        for (;;) {
            const auto result = parser.parse(buffer);
            if (result == HttpRequestParser::Result::Error) return 0;
            if (result == HttpRequestParser::Result::NeedMore) break;
            (void)parser.request().isWebSocketUpgrade();
        }
    }
    return 0;
}
