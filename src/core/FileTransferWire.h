#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "shared/FileEntry.h"

// The messages of the file-transfer channel: one sub-type byte, then the body. Integers are
// little-endian; a string is an unsigned 32-bit byte length and that many UTF-8 bytes.
namespace veltrix::filetransfer {

enum class SubType : std::uint8_t {
    List = 0x01,
    Listing = 0x02,
    DownloadRequest = 0x03,
    DownloadStart = 0x04,
    UploadStart = 0x05,
    UploadChunk = 0x06,
    UploadDone = 0x07,
    TransferError = 0x08,
    DownloadChunk = 0x09,
    DownloadDone = 0x0A,
    MakeDirectory = 0x0B,
};

inline constexpr std::uint64_t kMaxTransferSize = 104857600;  // "100 MB"
inline constexpr std::size_t kChunkSize = 65536;
inline constexpr std::uint64_t kMaxReserve = 67108864;  // receive buffers reserve at most this ahead
inline constexpr std::size_t kChunkHeaderSize = 5;       // sub-type and 32-bit offset

// Builds one message.
class WireWriter {
public:
    explicit WireWriter(SubType type, qsizetype reserve = 64);
    WireWriter& u8(std::uint8_t value);
    WireWriter& u32(std::uint32_t value);
    WireWriter& u64(std::uint64_t value);
    WireWriter& string(const QString& value);
    WireWriter& raw(const char* data, qsizetype size);
    QByteArray take() { return std::move(bytes_); }

private:
    QByteArray bytes_;
};

// Reads a message body. A number that does not fit reads as nothing; a string whose length is
// missing or larger than what follows reads as empty (and consumes the rest).
class WireReader {
public:
    WireReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::optional<std::uint8_t> u8();
    std::optional<std::uint32_t> u32();
    std::optional<std::uint64_t> u64();
    QString string();
    // The next `count` bytes, or nullptr (nothing consumed) when fewer remain.
    const std::uint8_t* bytes(std::size_t count);
    std::size_t remaining() const { return size_ - position_; }
    const std::uint8_t* current() const { return data_ + position_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// A chunk message with room for `payload` file bytes after its header; the caller fills
// bytes from kChunkHeaderSize on (so file data is read straight into the message).
QByteArray chunkMessage(SubType type, std::uint64_t offset, std::size_t payload);

QByteArray listingMessage(const QString& path, const QList<FileEntry>& entries);

// What a received listing may hold at most, so that it fits one pipe message and a window: more
// entries, or more bytes of names in all, are cut off (and the listing marked cut).
inline constexpr int kMaxListingEntries = 10000;
inline constexpr std::size_t kMaxListingNameBytes = 2 * 1024 * 1024;

struct Listing {
    QString path;
    QList<FileEntry> entries;
    bool cut = false;  // the message held more than the limits above
};
// A LISTING body; parsing stops at the first entry that does not fit, and at the limits.
Listing parseListing(const std::uint8_t* body, std::size_t size);

}  // namespace veltrix::filetransfer
