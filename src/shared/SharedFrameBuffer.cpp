#include "shared/SharedFrameBuffer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <spdlog/spdlog.h>

namespace veltrix {

using platform::SectionMode;
using platform::SystemError;

SharedFrameBuffer::~SharedFrameBuffer() { close(); }

void SharedFrameBuffer::close() {
    view_.reset();
    section_.reset();
    size_ = 0;
}

std::uint8_t* SharedFrameBuffer::data() const {
    return view_.isValid() ? static_cast<std::uint8_t*>(view_.address()) + kSharedFrameHeaderSize : nullptr;
}

std::optional<uid_t> SharedFrameBuffer::owner() const {
    if (!section_.isValid()) return std::nullopt;
    return section_.owner();
}

SharedFrameHeader* SharedFrameBuffer::header() const {
    return view_.isValid() ? static_cast<SharedFrameHeader*>(view_.address()) : nullptr;
}

bool SharedFrameBuffer::create(const std::string& name, std::uint64_t maxSize, bool userWritable,
                               const std::string& sid) {
    close();
    if (maxSize < kSharedFrameHeaderSize + 1) {
        spdlog::error("SharedFrameBuffer::create: maxSize {} is too small", maxSize);
        return false;
    }
    const auto access = platform::sectionAccessFor(userWritable, sid);
    if (!access) {
        spdlog::error("SharedFrameBuffer::create: SDDL conversion failed (error {})",
                      SystemError{EINVAL}.text());
        return false;
    }
    SystemError error;
    platform::SectionHandle section = platform::createSection(name, maxSize, *access, error);
    if (!section.isValid()) {
        spdlog::error("SharedFrameBuffer::create: CreateFileMappingW failed (error {})", error.text());
        return false;
    }
    platform::SectionView view = platform::mapSection(section, SectionMode::ReadWrite, error);
    if (!view.isValid()) {
        spdlog::error("SharedFrameBuffer::create: MapViewOfFile failed (error {})", error.text());
        return false;
    }
    section_ = std::move(section);
    view_ = std::move(view);
    // A new section reads all zero: no frame. The admitted user may already have shrunk it, so
    // the size is what was mapped when that is less.
    size_ = std::min(maxSize, view_.size());
    sequence_ = 0;
    spdlog::info("SharedFrameBuffer created: name='{}', size={}", name, size_);
    return true;
}

bool SharedFrameBuffer::openReadWrite(const std::string& name) {
    close();
    SystemError error;
    platform::SectionHandle section = platform::openSection(name, SectionMode::ReadWrite, error);
    if (!section.isValid()) {
        spdlog::error("SharedFrameBuffer::openReadWrite: OpenFileMappingW failed (error {})", error.text());
        return false;
    }
    platform::SectionView view = platform::mapSection(section, SectionMode::ReadWrite, error);
    if (!view.isValid()) {
        spdlog::error("SharedFrameBuffer::openReadWrite: MapViewOfFile failed (error {})", error.text());
        return false;
    }
    section_ = std::move(section);
    view_ = std::move(view);
    size_ = view_.size();
    spdlog::info("SharedFrameBuffer opened (read-write): name='{}', size={}", name, size_);
    return true;
}

bool SharedFrameBuffer::admitUser(bool userWritable, const std::string& sid) {
    const auto access = platform::sectionAccessFor(userWritable, sid);
    if (!access) {
        spdlog::error("SharedFrameBuffer::admitUser: SDDL conversion failed (error {})", SystemError{EINVAL}.text());
        return false;
    }
    SystemError error;
    if (!platform::setSectionAccess(section_, *access, error)) {
        spdlog::error("SharedFrameBuffer::admitUser: SetSecurityInfo failed (error {})", error.text());
        return false;
    }
    return true;
}

SharedFrameHeader SharedFrameBuffer::readHeader() const {
    SharedFrameHeader header;
    copySharedFrameHeader(view_.isValid() ? view_.address() : nullptr, header);
    return header;
}

std::optional<SharedFrameInfo> SharedFrameBuffer::readFrame(const SharedFrameSink& sink) const {
    if (!view_.isValid()) return std::nullopt;
    return readSharedFrame(view_.address(), size_, sink);
}

std::optional<SharedFrameInfo> SharedFrameBuffer::readFrameInto(std::vector<std::uint8_t>& payload) const {
    if (!view_.isValid()) return std::nullopt;
    return readSharedFrameInto(view_.address(), size_, payload);
}

void SharedFrameBuffer::clearFrame() {
    if (!view_.isValid()) return;
    const std::uint64_t used =
        kSharedFrameHeaderSize + std::min<std::uint64_t>(readHeader().dataSize, size_ - kSharedFrameHeaderSize);
    std::memset(view_.address(), 0, used);
}

template <typename CopyPayload>
bool SharedFrameBuffer::write(const char* operation, const char* tooLargeText, const HeaderFields& fields,
                              std::uint64_t len, CopyPayload&& copyPayload) {
    if (!view_.isValid()) return false;
    if (len > size_ - kSharedFrameHeaderSize) {
        spdlog::warn("SharedFrameBuffer::{}: {} ({} > {})", operation, tooLargeText, len + kSharedFrameHeaderSize,
                     size_);
        return false;
    }
    SharedFrameHeader* h = header();
    // Odd from here until the frame is complete. A lock word left odd by a writer that died
    // mid-frame is stepped past, so it still changes.
    std::atomic_ref<std::uint32_t> lock(h->reserved);
    const std::uint32_t writing = (lock.load(std::memory_order_relaxed) + 1) | 1u;
    lock.store(writing, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);

    if (len > 0) copyPayload(this->data());
    std::atomic_thread_fence(std::memory_order_seq_cst);

    h->keyFrame = fields.keyFrame ? 1 : 0;
    h->strideY = fields.strideY;
    h->strideUV = fields.strideUV;
    h->width = fields.width;
    h->height = fields.height;
    h->dataSize = static_cast<std::uint32_t>(len);
    h->timestamp = fields.timestamp;
    std::atomic_ref<std::uint64_t>(h->sequence).store(++sequence_, std::memory_order_release);
    lock.store(writing + 1, std::memory_order_release);
    return true;
}

bool SharedFrameBuffer::writeEncodedFrame(std::int32_t width, std::int32_t height, std::uint64_t timestamp,
                                          bool isKey, const std::uint8_t* data, std::uint64_t len) {
    const HeaderFields fields{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 0, 0,
                              timestamp, isKey};
    return write("writeEncodedFrame", "data too large", fields, len,
                 [&](std::uint8_t* payload) { std::memcpy(payload, data, len); });
}

bool SharedFrameBuffer::writeFrame(std::int32_t width, std::int32_t height, std::int32_t strideY,
                                   std::int32_t strideUV, const std::uint8_t* data, std::uint64_t len) {
    const HeaderFields fields{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                              static_cast<std::uint32_t>(strideY), static_cast<std::uint32_t>(strideUV), 0,
                              false};
    return write("writeFrame", "frame too large", fields, len,
                 [&](std::uint8_t* payload) { std::memcpy(payload, data, len); });
}

namespace {

// Copies up to `size` bytes of `plane` and zero-fills the rest; returns the end of the region.
std::uint8_t* copyPlane(std::uint8_t* destination, const std::vector<std::uint8_t>& plane, std::uint64_t size) {
    const std::uint64_t copied = std::min<std::uint64_t>(plane.size(), size);
    if (copied > 0) std::memcpy(destination, plane.data(), copied);
    std::memset(destination + copied, 0, size - copied);
    return destination + size;
}

}  // namespace

bool SharedFrameBuffer::writeFrame(const DecodedFrame& frame) {
    if (frame.width < 0 || frame.height < 0 || frame.strideY < 0 || frame.strideUV < 0) {
        spdlog::warn("SharedFrameBuffer::writeFrame: invalid frame {}x{} (strides {}, {})", frame.width, frame.height,
                     frame.strideY, frame.strideUV);
        return false;
    }
    const std::uint64_t ySize = static_cast<std::uint64_t>(frame.height) * static_cast<std::uint64_t>(frame.strideY);
    const std::uint64_t uvSize =
        static_cast<std::uint64_t>(frame.height / 2) * static_cast<std::uint64_t>(frame.strideUV);
    const HeaderFields fields{static_cast<std::uint32_t>(frame.width), static_cast<std::uint32_t>(frame.height),
                              static_cast<std::uint32_t>(frame.strideY), static_cast<std::uint32_t>(frame.strideUV),
                              0, false};
    return write("writeFrame", "frame too large", fields, ySize + uvSize, [&](std::uint8_t* payload) {
        copyPlane(copyPlane(payload, frame.y, ySize), frame.uv, uvSize);
    });
}

}  // namespace veltrix
