#include "transport/DataChannelFraming.h"

namespace veltrix {

using framing::PieceKind;

MessageReassembler::Result MessageReassembler::feed(const std::uint8_t* piece, std::size_t size) {
    if (complete_) reset();  // the previous message was never taken
    if (size == 0 || size > framing::kMaxPieceSize) return violation();

    switch (static_cast<PieceKind>(piece[0])) {
    case PieceKind::KeepAlive:
        return size == 1 ? Result::KeepAlive : violation();

    case PieceKind::Whole:
        if (inProgress()) return violation();
        buffer_ = QByteArray(reinterpret_cast<const char*>(piece + 1), static_cast<qsizetype>(size - 1));
        complete_ = true;
        return Result::Message;

    case PieceKind::First: {
        if (inProgress() || size < framing::kFirstHeaderSize) return violation();
        const std::uint64_t total = (std::uint64_t{piece[1]} << 24) | (std::uint64_t{piece[2]} << 16) |
                                    (std::uint64_t{piece[3]} << 8) | std::uint64_t{piece[4]};
        const std::size_t payload = size - framing::kFirstHeaderSize;
        // A message that fits in this piece must have been sent whole; a larger total than any
        // sender may produce is refused before anything is reserved for it.
        if (total <= payload || total > framing::kMaxMessageSize) return violation();
        buffer_.clear();
        buffer_.reserve(static_cast<qsizetype>(total));
        buffer_.append(reinterpret_cast<const char*>(piece + framing::kFirstHeaderSize),
                       static_cast<qsizetype>(payload));
        expected_ = total;
        return Result::NeedMore;
    }

    case PieceKind::Continuation: {
        const std::size_t payload = size - framing::kContinuationHeaderSize;
        if (!inProgress() || payload == 0) return violation();
        if (static_cast<std::uint64_t>(buffer_.size()) + payload > expected_) return violation();
        buffer_.append(reinterpret_cast<const char*>(piece + framing::kContinuationHeaderSize),
                       static_cast<qsizetype>(payload));
        if (static_cast<std::uint64_t>(buffer_.size()) < expected_) return Result::NeedMore;
        expected_ = 0;
        complete_ = true;
        return Result::Message;
    }
    }
    return violation();
}

QByteArray MessageReassembler::takeMessage() {
    QByteArray message;
    if (complete_) message.swap(buffer_);
    complete_ = false;
    return message;
}

void MessageReassembler::reset() {
    buffer_ = QByteArray();
    expected_ = 0;
    complete_ = false;
}

MessageReassembler::Result MessageReassembler::violation() {
    reset();
    return Result::Violation;
}

}  // namespace veltrix
