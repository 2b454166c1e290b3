#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/SharedSection.h"
#include "shared/DecodedFrame.h"
#include "shared/SharedFrameHeader.h"
#include "shared/SharedFrameReader.h"

namespace veltrix {

// Wraps one shared-memory frame section for its creator and its writers. The writer marks the
// section "being written" (an odd lock word) before it touches the payload, stores the payload, a
// full fence, the header fields, the sequence number, and then marks it complete (the next even
// lock word); a reader refuses a frame whose lock word was odd or changed while it copied (see
// SharedFrameReader). Not thread-safe; one thread at a time.
//
// The mapping itself is not handed out: the capture section is writable by the admitted user, who
// may also shrink it, and a read of a page past its new end would raise SIGBUS in the reader. Every
// read goes through SharedFrameReader, which copies with copyFromSection. The writers store into the
// mapping directly: the agent writes only the capture section, which the service created for it,
// and the service writes only the frame section, which users may only read.
class SharedFrameBuffer {
public:
    SharedFrameBuffer() = default;
    ~SharedFrameBuffer();
    SharedFrameBuffer(const SharedFrameBuffer&) = delete;
    SharedFrameBuffer& operator=(const SharedFrameBuffer&) = delete;

    // Creates a new section of `maxSize` bytes under `name` (replacing whatever held the name, see
    // platform::createSection); it holds no frame. SYSTEM (the creator) has all access; `sid` (or
    // every local user when empty) may read, and write when `userWritable`.
    bool create(const std::string& name, std::uint64_t maxSize, bool userWritable, const std::string& sid);

    // Maps an existing section for reading and writing; the size is the mapped region's size.
    bool openReadWrite(const std::string& name);

    // Replaces who besides the creator may use the section (as `create` grants it).
    bool admitUser(bool userWritable, const std::string& sid);

    void close();

    bool isOpen() const { return view_.isValid(); }
    // The account that created the open section; nothing when none is open or it cannot be read.
    std::optional<uid_t> owner() const;
    std::uint64_t size() const { return size_; }

    // The header as it stands; all zero when none is open or it cannot be read.
    SharedFrameHeader readHeader() const;
    // The latest complete frame, its payload copied where `sink` wants it (see readSharedFrame).
    std::optional<SharedFrameInfo> readFrame(const SharedFrameSink& sink) const;
    // The latest complete frame with its whole readable payload in `payload` (resized to fit).
    std::optional<SharedFrameInfo> readFrameInto(std::vector<std::uint8_t>& payload) const;

    // Wipes the header and the payload of the last frame written, so a reader that still maps the
    // section finds no picture left in it.
    void clearFrame();

    // The agent's writer: one AV1 packet into the capture section.
    bool writeEncodedFrame(std::int32_t width, std::int32_t height, std::uint64_t timestamp, bool isKey,
                           const std::uint8_t* data, std::uint64_t len);

    // The service's writer: one NV12 picture into the decoded-frame section.
    bool writeFrame(std::int32_t width, std::int32_t height, std::int32_t strideY, std::int32_t strideUV,
                    const std::uint8_t* data, std::uint64_t len);

    // The same writer for a decoded picture: the Y plane (height x strideY bytes) followed by the
    // UV plane ((height / 2) x strideUV bytes), copied straight from the frame into the section; a
    // plane shorter than its size is padded with zeros. A frame with a negative size or stride is
    // refused.
    bool writeFrame(const DecodedFrame& frame);

    // Sequence number of the last frame written through this object (0 before the first).
    std::uint64_t sequence() const { return sequence_; }

private:
    struct HeaderFields {
        std::uint32_t width, height, strideY, strideUV;
        std::uint64_t timestamp;
        bool keyFrame;
    };
    std::uint8_t* data() const;
    SharedFrameHeader* header() const;
    template <typename CopyPayload>
    bool write(const char* operation, const char* tooLargeText, const HeaderFields& fields, std::uint64_t len,
               CopyPayload&& copyPayload);

    platform::SectionHandle section_;
    platform::SectionView view_;
    std::uint64_t size_ = 0;
    std::uint64_t sequence_ = 0;
};

}  // namespace veltrix
