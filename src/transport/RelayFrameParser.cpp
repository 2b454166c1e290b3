#include "transport/RelayFrameParser.h"

#include <cstring>

namespace veltrix {

void RelayFrameParser::append(const char* data, std::size_t size) {
    std::memcpy(reserve(size), data, size);
    commit(size);
}

char* RelayFrameParser::reserve(std::size_t size) {
    compact();
    const auto used = static_cast<std::size_t>(buffer_.size());
    buffer_.resize(static_cast<qsizetype>(used + size));
    reserved_ = size;
    return buffer_.data() + used;
}

void RelayFrameParser::commit(std::size_t size) {
    if (size > reserved_) size = reserved_;
    buffer_.resize(buffer_.size() - static_cast<qsizetype>(reserved_ - size));
    reserved_ = 0;
}

RelayFrameParser::Status RelayFrameParser::next(Frame& frame, std::uint64_t* badValue) {
    if (error_ != Status::NeedMore) {
        if (badValue) *badValue = badValue_;
        return error_;
    }
    if (bufferedBytes() < kHeaderSize) return Status::NeedMore;

    const auto* header = reinterpret_cast<const unsigned char*>(buffer_.constData() + offset_);
    const std::uint8_t channel = header[0];
    const std::uint32_t length = (std::uint32_t{header[1]} << 24) | (std::uint32_t{header[2]} << 16) |
                                 (std::uint32_t{header[3]} << 8) | std::uint32_t{header[4]};
    if (channel > static_cast<std::uint8_t>(ChannelType::Video)) {
        error_ = Status::InvalidChannel;
        badValue_ = channel;
    } else if (length > kMaxPayload) {
        error_ = Status::Oversize;
        badValue_ = length;
    }
    if (error_ != Status::NeedMore) {
        buffer_.clear();
        offset_ = 0;
        if (badValue) *badValue = badValue_;
        return error_;
    }
    if (bufferedBytes() < kHeaderSize + length) return Status::NeedMore;

    frame.channel = static_cast<ChannelType>(channel);
    const std::size_t payloadStart = offset_ + kHeaderSize;
    if (offset_ == 0 && payloadStart + length == static_cast<std::size_t>(buffer_.size()) && length > 0) {
        // The buffer holds exactly this frame (the common case for large frames): hand the
        // buffer itself over instead of copying the payload out of it.
        buffer_.remove(0, kHeaderSize);
        frame.payload = std::move(buffer_);
        buffer_ = QByteArray();
        offset_ = 0;
        return Status::Frame;
    }
    frame.payload = QByteArray(buffer_.constData() + payloadStart, static_cast<qsizetype>(length));
    offset_ = payloadStart + length;
    if (offset_ == static_cast<std::size_t>(buffer_.size())) {
        buffer_.clear();
        offset_ = 0;
    }
    return Status::Frame;
}

void RelayFrameParser::clear() {
    buffer_.clear();
    offset_ = 0;
    reserved_ = 0;
    error_ = Status::NeedMore;
    badValue_ = 0;
}

void RelayFrameParser::compact() {
    if (offset_ == 0) return;
    buffer_.remove(0, static_cast<qsizetype>(offset_));
    offset_ = 0;
}

void RelayFrameParser::writeHeader(char out[kHeaderSize], ChannelType channel, std::uint32_t length) {
    out[0] = static_cast<char>(static_cast<std::uint8_t>(channel));
    out[1] = static_cast<char>((length >> 24) & 0xff);
    out[2] = static_cast<char>((length >> 16) & 0xff);
    out[3] = static_cast<char>((length >> 8) & 0xff);
    out[4] = static_cast<char>(length & 0xff);
}

QByteArray RelayFrameParser::buildFrame(ChannelType channel, const char* data, std::size_t size) {
    QByteArray frame;
    frame.reserve(static_cast<qsizetype>(size + kHeaderSize));
    frame.resize(kHeaderSize);
    writeHeader(frame.data(), channel, static_cast<std::uint32_t>(size));
    if (size > 0) frame.append(data, static_cast<qsizetype>(size));
    return frame;
}

}  // namespace veltrix
