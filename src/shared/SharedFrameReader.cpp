#include "shared/SharedFrameReader.h"

#include <algorithm>
#include <atomic>

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

}  // namespace

SharedFrameInfo readSharedFrameHeader(const void* view) {
    SharedFrameHeader header;
    if (!platform::copyFromSection(&header, view, sizeof header)) return {};
    std::atomic_thread_fence(std::memory_order_acquire);
    return infoOf(header);
}

std::optional<SharedFrameInfo> readSharedFrame(const void* view, std::uint64_t mappedSize,
                                               const SharedFrameCopy& copy) {
    if (!view || mappedSize < kSharedFrameHeaderSize) return std::nullopt;
    SharedFrameHeader before;
    if (!platform::copyFromSection(&before, view, sizeof before)) return std::nullopt;
    std::atomic_thread_fence(std::memory_order_acquire);
    if (before.reserved & 1u) return std::nullopt;  // a frame is being written

    const SharedFrameInfo info = infoOf(before);
    const std::uint64_t readable = std::min<std::uint64_t>(info.dataSize, mappedSize - kSharedFrameHeaderSize);
    const auto* payload = static_cast<const std::uint8_t*>(view) + kSharedFrameHeaderSize;
    if (!copy(info, payload, readable)) return std::nullopt;

    std::atomic_thread_fence(std::memory_order_acquire);
    SharedFrameHeader after;
    if (!platform::copyFromSection(&after, view, sizeof after)) return std::nullopt;
    if (after.reserved != before.reserved || after.sequence != before.sequence) return std::nullopt;
    return info;
}

bool copySharedPayload(void* destination, const std::uint8_t* payload, std::uint64_t size) {
    return size == 0 || platform::copyFromSection(destination, payload, static_cast<std::size_t>(size));
}

std::optional<SharedFrameInfo> readSharedFrameInto(const void* view, std::uint64_t mappedSize,
                                                   std::vector<std::uint8_t>& payload) {
    return readSharedFrame(view, mappedSize,
                           [&](const SharedFrameInfo&, const std::uint8_t* source, std::uint64_t readable) {
                               payload.resize(readable);
                               return copySharedPayload(payload.data(), source, readable);
                           });
}

}  // namespace veltrix
