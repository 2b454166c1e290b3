#include "shared/SharedFrameReader.h"

#include <algorithm>
#include <atomic>

#include "platform/SharedSection.h"

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
