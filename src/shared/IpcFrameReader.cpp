#include "shared/IpcFrameReader.h"

#include <cstring>

namespace veltrix {
namespace {

// Whether arrays and objects in `text` nest deeper than `limit`. Parsing would accept any depth,
// but copying or printing a document recurses once per level, so a message of a million '['
// would overflow the stack far from here. Brackets inside strings do not count.
bool nestsDeeperThan(const char* text, std::size_t length, std::size_t limit) {
    std::size_t depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

bool parseMessage(const char* text, std::size_t length, IpcMessage& message, std::string& error) {
    message = IpcMessage();
    if (nestsDeeperThan(text, length, kIpcMaxNestingDepth)) {
        error = "nesting deeper than " + std::to_string(kIpcMaxNestingDepth) + " levels";
        return false;
    }
    try {
        message = IpcMessage::parse(text, text + length);
        return true;
    } catch (const nlohmann::json::exception& e) {
        message = IpcMessage();
        error = e.what();
        return false;
    }
}

}  // namespace

IpcFrameReader::IpcFrameReader(std::uint32_t maxMessageBytes) : maxMessageBytes_(maxMessageBytes) {}

char* IpcFrameReader::prepare(std::size_t count) {
    buffer_.resize(buffer_.size() - reserved_);
    // Move the unread rest (at most a part of one message, once per read) to the front.
    if (start_ > 0) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    const std::size_t end = buffer_.size();
    buffer_.resize(end + count);
    reserved_ = count;
    return buffer_.data() + end;
}

void IpcFrameReader::commit(std::size_t count) {
    if (count > reserved_) count = reserved_;
    buffer_.resize(buffer_.size() - reserved_ + count);
    reserved_ = 0;
}

void IpcFrameReader::append(const char* bytes, std::size_t count) {
    if (count == 0) return;
    std::memcpy(prepare(count), bytes, count);
    commit(count);
}

std::uint32_t IpcFrameReader::pendingLength() const {
    return buffered() < kIpcLengthPrefixBytes ? 0 : decodeIpcLength(buffer_.data() + start_);
}

IpcFrameReader::Status IpcFrameReader::next(IpcMessage& message, std::string& error) {
    const std::size_t available = buffered();
    if (available < kIpcLengthPrefixBytes) return Status::NeedMore;
    const std::uint32_t length = decodeIpcLength(buffer_.data() + start_);
    if (length > maxMessageBytes_) return Status::TooLarge;
    if (available - kIpcLengthPrefixBytes < length) return Status::NeedMore;

    const char* text = buffer_.data() + start_ + kIpcLengthPrefixBytes;
    start_ += kIpcLengthPrefixBytes + length;
    const Status status = parseMessage(text, length, message, error) ? Status::Message : Status::ParseError;
    // Everything taken: start again at the front, keeping the allocation.
    if (reserved_ == 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return status;
}

void IpcFrameReader::clear() {
    buffer_.clear();
    start_ = 0;
    reserved_ = 0;
}

}  // namespace veltrix
