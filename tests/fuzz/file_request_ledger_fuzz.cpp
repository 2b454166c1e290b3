// FileRequestLedger under any order of requests and of the service's answers, whose error texts
// come from the partner: it never loses count, never keeps more than its cap, and an answer it
// gives is always one of the requests it was told of.
#include <cstddef>
#include <cstdint>
#include <string>

#include <QString>

#include "agent/FileRequestLedger.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

// The protocol's own words, so that inputs reach the interesting branches quickly.
const char* const kWords[] = {
    "Access denied: invalid path",
    "Directory does not exist: /a",
    "Failed to create directory: /a",
    "Access denied: invalid upload path",
    "Upload aborted: no valid upload in progress",
    "Cannot write file: /a",
    "Remote file exceeded the allowed transfer size",
    "Another file transfer is in progress",
    "Access denied: no interactive user session",
    "No active session",
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using veltrix::FileRequest;
    using Kind = FileRequest::Kind;
    veltrix::FileRequestLedger ledger;
    std::uint64_t recorded = 0;
    const QString paths[] = {QStringLiteral("/a"), QStringLiteral("/b"), QString()};
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t op = data[i];
        const QString& path = paths[(op >> 4) % 3];
        FileRequest answered;
        switch (op % 9) {
        case 0: ledger.record(Kind::Listing, path); ++recorded; break;
        case 1: ledger.record(Kind::CreateFolder, path); ++recorded; break;
        case 2: ledger.record(Kind::Download, path, path); ++recorded; break;
        case 3: ledger.record(Kind::Upload, path, path); ++recorded; break;
        case 4: answered = ledger.listed(path); break;
        case 5: ledger.downloadStarted(); break;
        case 6: answered = ledger.downloadCompleted(path); break;
        case 7: answered = ledger.uploadSent().request; break;
        default: {
            // The rest of the input, up to the next zero byte, is an error text; or a known word.
            std::string text;
            if (op & 0x80) {
                text = kWords[(op >> 3) % (sizeof kWords / sizeof *kWords)];
            } else {
                while (i + 1 < size && data[i + 1] != 0) text += static_cast<char>(data[++i]);
            }
            answered = ledger.failed(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))).request;
            break;
        }
        }
        check(answered.kind == Kind::None || (answered.number >= 1 && answered.number <= recorded));
        check(ledger.openCount() <= veltrix::FileRequestLedger::kMaxOpenRequests);
        check(ledger.openCount() <= recorded);
    }
    return 0;
}
