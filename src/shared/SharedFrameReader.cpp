#include "shared/SharedFrameReader.h"

#include <algorithm>
#include <atomic>

namespace veltrix {
namespace {

std::uint64_t loadSequence(const SharedFrameHeader* header, std::memory_order order) {
    // The section is shared memory written by another process; atomic_ref gives the ordering.
    return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(header->sequence)).load(order);
}

}  // namespace

SharedFrameInfo readSharedFrameHeader(const void* view) {
    const auto* header = static_cast<const SharedFrameHeader*>(view);
    SharedFrameInfo info;
    info.sequence = loadSequence(header, std::memory_order_acquire);
    info.dataSize = header->dataSize;
    info.width = header->width;
    info.height = header->height;
    info.strideY = header->strideY;
    info.strideUV = header->strideUV;
    info.timestamp = header->timestamp;
    info.keyFrame = header->keyFrame != 0;
    return info;
}

std::optional<SharedFrameInfo> readSharedFrame(const void* view, std::uint64_t mappedSize,
                                               const SharedFrameCopy& copy) {
    if (!view || mappedSize < kSharedFrameHeaderSize) return std::nullopt;
    const SharedFrameInfo info = readSharedFrameHeader(view);
    const std::uint64_t readable = std::min<std::uint64_t>(info.dataSize, mappedSize - kSharedFrameHeaderSize);
    const auto* payload = static_cast<const std::uint8_t*>(view) + kSharedFrameHeaderSize;
    if (!copy(info, payload, readable)) return std::nullopt;
    std::atomic_thread_fence(std::memory_order_acquire);
    if (loadSequence(static_cast<const SharedFrameHeader*>(view), std::memory_order_relaxed) != info.sequence) {
        return std::nullopt;
    }
    return info;
}

}  // namespace veltrix
