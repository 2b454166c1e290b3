#include "shared/SharedFrameReader.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/SharedSection.h"

namespace veltrix {
namespace {

SharedFrameInfo infoOf(const SharedFrameHeader& header) {
    SharedFrameInfo info;
    info.sequence = header.sequence;
    info.dataSize = header.dataSize;
    info.width = header.width;
    info.height = header.height;
    info.strideY = header.strideY;
    info.strideUV = header.strideUV;
    info.timestamp = header.timestamp;
    info.keyFrame = header.keyFrame != 0;
    return info;
}

bool copyOut(std::span<std::uint8_t> destination, const std::uint8_t* source) {
    return destination.empty() || platform::copyFromSection(destination.data(), source, destination.size());
}

}  // namespace

bool copySharedFrameHeader(const void* view, SharedFrameHeader& header) {
    if (!view || !platform::copyFromSection(&header, view, sizeof header)) {
        std::memset(&header, 0, sizeof header);
        return false;
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    return true;
}

SharedFrameInfo readSharedFrameHeader(const void* view) {
    SharedFrameHeader header;
    copySharedFrameHeader(view, header);
    return infoOf(header);
}

std::optional<SharedFrameInfo> readSharedFrame(const void* view, std::uint64_t mappedSize, const SharedFrameSink& sink) {
    if (!view || mappedSize < kSharedFrameHeaderSize) return std::nullopt;
    SharedFrameHeader before;
    if (!copySharedFrameHeader(view, before)) return std::nullopt;
    if (before.reserved & 1u) return std::nullopt;  // a frame is being written

    const SharedFrameInfo info = infoOf(before);
    const std::uint64_t readable = std::min<std::uint64_t>(info.dataSize, mappedSize - kSharedFrameHeaderSize);
    const auto destination = sink(info, readable);
    if (!destination) return std::nullopt;
    const std::uint64_t wanted = destination->first.size() + destination->second.size();
    if (destination->offset > readable || wanted > readable - destination->offset) return std::nullopt;
    const auto* payload = static_cast<const std::uint8_t*>(view) + kSharedFrameHeaderSize + destination->offset;
    if (!copyOut(destination->first, payload) || !copyOut(destination->second, payload + destination->first.size()))
        return std::nullopt;

    std::atomic_thread_fence(std::memory_order_acquire);
    SharedFrameHeader after;
    if (!copySharedFrameHeader(view, after)) return std::nullopt;
    if (after.reserved != before.reserved || after.sequence != before.sequence) return std::nullopt;
    return info;
}

std::optional<SharedFrameInfo> readSharedFrameInto(const void* view, std::uint64_t mappedSize,
                                                   std::vector<std::uint8_t>& payload) {
    return readSharedFrame(view, mappedSize, [&](const SharedFrameInfo&, std::uint64_t readable) {
        payload.resize(readable);
        return SharedFrameDestination{0, payload};
    });
}

}  // namespace veltrix
