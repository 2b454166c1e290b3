#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "shared/IpcMessage.h"

namespace veltrix {

// Cuts the byte stream of the pipe into messages: a 32-bit little-endian length, then that many
// bytes of JSON. Bytes may arrive in any split (a message over several reads, several messages
// in one); each complete message is parsed on its own, so a malformed one is dropped alone. A
// length above the reader's limit makes the stream unusable: the connection must end. Never
// throws on the stream's content.
class IpcFrameReader {
public:
    enum class Status {
        NeedMore,    // no complete message buffered
        Message,     // `message` holds the next message
        ParseError,  // the next message was not JSON; `error` says why; it was dropped
        TooLarge,    // the next length exceeds the limit (see pendingLength); stays so until clear
    };

    // `maxMessageBytes` is the largest accepted length (a length equal to it is accepted).
    explicit IpcFrameReader(std::uint32_t maxMessageBytes);

    std::uint32_t maxMessageBytes() const { return maxMessageBytes_; }

    // Room for `count` more bytes at the end of the buffer, to be filled by a read and then
    // committed with the number of bytes actually read (the rest is discarded).
    char* prepare(std::size_t count);
    void commit(std::size_t count);

    void append(const char* bytes, std::size_t count);

    // Takes the next message from the buffer.
    Status next(IpcMessage& message, std::string& error);

    // The length prefix of the message at the front (0 when fewer than 4 bytes are buffered).
    std::uint32_t pendingLength() const;

    // Bytes buffered and not yet taken.
    std::size_t buffered() const { return buffer_.size() - start_ - reserved_; }

    void clear();

private:
    std::uint32_t maxMessageBytes_;
    std::string buffer_;
    std::size_t start_ = 0;     // first byte not yet taken
    std::size_t reserved_ = 0;  // prepared but not committed bytes at the end
};

}  // namespace veltrix
