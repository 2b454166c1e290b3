// The help-desk host's multipart/form-data reader on arbitrary bytes: the first line is the
// request's Content-Type, the rest its body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "MultipartParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using veltrix::backend::MultipartParser;
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype newline = input.indexOf('\n');
    const QByteArray contentType = newline < 0 ? QByteArray() : input.left(newline);
    const QByteArray body = newline < 0 ? input : input.mid(newline + 1);

    MultipartParser::Limits limits;
    limits.maxParts = 8;
    limits.maxPartHeaderBytes = 512;
    limits.maxFieldBytes = 256;
    MultipartParser parser(limits);
    const QByteArray boundary = MultipartParser::boundaryOf(contentType).value_or(QByteArrayLiteral("XyZ"));
    const auto parts = parser.parse(body, boundary);
    if (!parts) {
        if (parser.error().isEmpty()) std::abort();  // every refusal says why
        return 0;
    }
    if (parts->size() > limits.maxParts) std::abort();
    for (const auto& part : *parts) {
        if (part.name.isEmpty()) std::abort();
        if (!part.filename && part.body.size() > limits.maxFieldBytes) std::abort();
        if (part.body.size() > body.size()) std::abort();
    }
    return 0;
}
