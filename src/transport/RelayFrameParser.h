#pragma once

#include "transport/ChannelType.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>

namespace veltrix {

// The frame format of the relay stream, in both directions:
//   channel (1 byte: 0 control, 1 video) | payload length (4 bytes, big-endian, at most 16 MiB) | payload
// Frames follow each other without padding; a payload may be empty.
//
// The parser takes bytes in whatever pieces the socket delivers them and hands out whole frames.
// A header it cannot trust (unknown channel, oversize length) is a framing error: the bytes after
// it cannot be told apart from payload, so the parser stops there for good until clear().
class RelayFrameParser {
public:
    static constexpr std::size_t kHeaderSize = 5;
    static constexpr std::uint32_t kMaxPayload = 16777216;  // 16 MiB

    enum class Status {
        NeedMore,        // no whole frame buffered yet
        Frame,           // one frame taken
        InvalidChannel,  // framing error: channel byte above 1
        Oversize,        // framing error: length above kMaxPayload
    };

    struct Frame {
        ChannelType channel = ChannelType::Control;
        QByteArray payload;
    };

    // Appends `size` received bytes.
    void append(const char* data, std::size_t size);
    // Room for `size` more bytes at the end of the buffer, to be committed by commit(); lets a
    // socket read straight into the buffer.
    char* reserve(std::size_t size);
    void commit(std::size_t size);

    // Takes the next whole frame into `frame`. After a framing error every call returns the same
    // error; `badValue` (when given) receives the offending channel byte or length.
    Status next(Frame& frame, std::uint64_t* badValue = nullptr);

    void clear();
    std::size_t bufferedBytes() const { return static_cast<std::size_t>(buffer_.size()) - offset_; }

    static void writeHeader(char out[kHeaderSize], ChannelType channel, std::uint32_t length);
    // Header and payload as one byte array.
    static QByteArray buildFrame(ChannelType channel, const char* data, std::size_t size);

private:
    void compact();

    QByteArray buffer_;
    std::size_t offset_ = 0;  // start of the first unparsed byte
    std::size_t reserved_ = 0;
    Status error_ = Status::NeedMore;
    std::uint64_t badValue_ = 0;
};

}  // namespace veltrix
