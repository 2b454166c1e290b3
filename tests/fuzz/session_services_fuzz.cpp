// The parsers of what a session's partner sends to the chat, clipboard and file-transfer
// services. The first byte picks the service; the rest is the partner's payload. For file
// transfer the payload is a sequence of messages (16-bit little-endian length, then the message)
// fed to the requesting side after it asked for a download to a folder that does not exist, so
// the whole download bookkeeping runs and nothing is ever written.
#include <cstddef>
#include <cstdint>

#include <QByteArray>

#include <spdlog/spdlog.h>

#include "core/ChatService.h"
#include "core/ClipboardSharing.h"
#include "core/FileTransferService.h"
#include "core/FileTransferWire.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

void fuzzFileTransfer(const std::uint8_t* data, std::size_t size) {
    bool sent = false;
    veltrix::FileTransferService service([&](const QByteArray&) { return sent = true; }, [] { return std::uint64_t(0); },
                                         veltrix::FileTransferService::Side::Viewing);
    int lastPercent = 0;
    bool completed = false;
    QObject::connect(&service, &veltrix::FileTransferService::fileDownloadProgress,
                     [&](const QString&, int percent) { lastPercent = percent; });
    QObject::connect(&service, &veltrix::FileTransferService::fileDownloadComplete, [&] { completed = true; });
    service.requestDownload("/remote/file", "/nonexistent-veltrix-fuzz/folder/file");
    std::size_t at = 0;
    while (at + 2 <= size) {
        const std::size_t length = std::min<std::size_t>(std::size_t(data[at]) | std::size_t(data[at + 1]) << 8, size - at - 2);
        at += 2;
        // Only messages a serving side sends: requests would touch this machine's files.
        if (length > 0) {
            const std::uint8_t type = data[at];
            const bool fromServer = type == 0x02 || type == 0x04 || type == 0x08 || type == 0x09 || type == 0x0A;
            if (fromServer) service.handleFileTransferMessage(data + at, length);
        }
        at += length;
        check(lastPercent <= 100);
    }
    check(!completed);
}

void fuzzListing(const std::uint8_t* data, std::size_t size) {
    const veltrix::filetransfer::Listing listing = veltrix::filetransfer::parseListing(data, size);
    // Every entry takes at least 13 bytes on the wire.
    check(std::size_t(listing.entries.size()) * 13 <= size);
    const QByteArray again = veltrix::filetransfer::listingMessage(listing.path, listing.entries);
    const veltrix::filetransfer::Listing reread =
        veltrix::filetransfer::parseListing(reinterpret_cast<const std::uint8_t*>(again.constData()) + 1, std::size_t(again.size() - 1));
    check(reread.entries.size() == listing.entries.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        spdlog::set_level(spdlog::level::off);
        return true;
    }();
    (void)quiet;
    if (size == 0) return 0;
    const std::uint8_t* body = data + 1;
    const std::size_t bodySize = size - 1;
    switch (data[0] % 4) {
    case 0: {
        veltrix::ChatService chat([](const QByteArray&) { return true; });
        int received = 0;
        QObject::connect(&chat, &veltrix::ChatService::messageReceived, [&](const QString& text) {
            check(std::size_t(text.toUtf8().size()) <= bodySize * 3);
            ++received;
        });
        chat.handleMessage(body, bodySize);
        check(received <= 1);
        break;
    }
    case 1: {
        // Without a GUI application there is no clipboard: the message is parsed, never applied.
        veltrix::ClipboardSharing sharing;
        sharing.onRemoteClipboardData(QByteArray(reinterpret_cast<const char*>(body), qsizetype(bodySize)));
        break;
    }
    case 2: fuzzListing(body, bodySize); break;
    default: fuzzFileTransfer(body, bodySize); break;
    }
    return 0;
}
