#include "core/FileTransferWire.h"

#include <QtEndian>

namespace veltrix::filetransfer {

WireWriter::WireWriter(SubType type, qsizetype reserve) {
    bytes_.reserve(reserve);
    bytes_.append(static_cast<char>(type));
}

WireWriter& WireWriter::u8(std::uint8_t value) {
    bytes_.append(static_cast<char>(value));
    return *this;
}

WireWriter& WireWriter::u32(std::uint32_t value) {
    const std::uint32_t le = qToLittleEndian(value);
    return raw(reinterpret_cast<const char*>(&le), sizeof le);
}

WireWriter& WireWriter::u64(std::uint64_t value) {
    const std::uint64_t le = qToLittleEndian(value);
    return raw(reinterpret_cast<const char*>(&le), sizeof le);
}

WireWriter& WireWriter::string(const QString& value) {
    const QByteArray utf8 = value.toUtf8();
    u32(static_cast<std::uint32_t>(utf8.size()));
    return raw(utf8.constData(), utf8.size());
}

WireWriter& WireWriter::raw(const char* data, qsizetype size) {
    bytes_.append(data, size);
    return *this;
}

std::optional<std::uint8_t> WireReader::u8() {
    if (remaining() < 1) return std::nullopt;
    return data_[position_++];
}

std::optional<std::uint32_t> WireReader::u32() {
    if (remaining() < 4) return std::nullopt;
    const std::uint32_t value = qFromLittleEndian<std::uint32_t>(data_ + position_);
    position_ += 4;
    return value;
}

std::optional<std::uint64_t> WireReader::u64() {
    if (remaining() < 8) return std::nullopt;
    const std::uint64_t value = qFromLittleEndian<std::uint64_t>(data_ + position_);
    position_ += 8;
    return value;
}

const std::uint8_t* WireReader::bytes(std::size_t count) {
    if (count > remaining()) return nullptr;
    const std::uint8_t* start = current();
    position_ += count;
    return start;
}

QString WireReader::string() {
    const auto length = u32();
    const std::uint8_t* text = length ? bytes(*length) : nullptr;
    if (!text) {
        position_ = size_;
        return {};
    }
    return QString::fromUtf8(reinterpret_cast<const char*>(text), static_cast<qsizetype>(*length));
}

QByteArray chunkMessage(SubType type, std::uint64_t offset, std::size_t payload) {
    QByteArray message(static_cast<qsizetype>(kChunkHeaderSize + payload), Qt::Uninitialized);
    message[0] = static_cast<char>(type);
    qToLittleEndian(static_cast<std::uint32_t>(offset), message.data() + 1);
    return message;
}

QByteArray listingMessage(const QString& path, const QList<FileEntry>& entries) {
    WireWriter writer(SubType::Listing, 16 + entries.size() * 32);
    writer.string(path).u32(static_cast<std::uint32_t>(entries.size()));
    for (const FileEntry& entry : entries)
        writer.u8(entry.isDir ? 1 : 0).u64(static_cast<std::uint64_t>(entry.size)).string(entry.name);
    return writer.take();
}

Listing parseListing(const std::uint8_t* body, std::size_t size) {
    WireReader reader(body, size);
    Listing listing{reader.string(), {}};
    const std::uint32_t count = reader.u32().value_or(0);
    std::size_t nameBytes = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto isDir = reader.u8();
        const auto entrySize = reader.u64();
        const auto nameLength = reader.u32();
        const std::uint8_t* name = nameLength ? reader.bytes(*nameLength) : nullptr;
        if (!isDir || !entrySize || !name) break;
        nameBytes += *nameLength;
        if (listing.entries.size() == kMaxListingEntries || nameBytes > kMaxListingNameBytes) {
            listing.cut = true;
            break;
        }
        listing.entries.append(FileEntry{QString::fromUtf8(reinterpret_cast<const char*>(name), qsizetype(*nameLength)),
                                         *isDir != 0, static_cast<std::int64_t>(*entrySize)});
    }
    return listing;
}

}  // namespace veltrix::filetransfer
