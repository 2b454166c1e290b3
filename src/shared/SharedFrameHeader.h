#pragma once

#include <cstddef>
#include <cstdint>

namespace veltrix {

// The 48-byte header in front of the frame in both shared-memory sections. All fields are
// little-endian (the only byte order this system runs on). `sequence` is written last: it is the
// hand-over between the writer and the reader of a section. `reserved` is the writer's sequence
// lock: odd from before the writer touches the payload until the frame is complete, even
// otherwise, and different after every write, so a reader can tell a frame that was being written
// while it copied (see SharedFrameReader).
struct SharedFrameHeader {
    std::uint64_t sequence;   // number of the last complete frame; 0 = none written yet
    std::uint32_t dataSize;   // payload bytes at offset 48
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t strideY;    // 0 in the capture section
    std::uint32_t strideUV;   // 0 in the capture section
    std::uint32_t reserved;   // write lock: odd while a frame is being written
    std::uint64_t timestamp;  // capture time (ms, agent's steady clock); 0 in the frame section
    std::uint8_t keyFrame;    // 1 for an AV1 key frame; always 0 in the frame section
    std::uint8_t padding[7];  // never written
};

inline constexpr std::size_t kSharedFrameHeaderSize = 48;

static_assert(sizeof(SharedFrameHeader) == kSharedFrameHeaderSize);
static_assert(offsetof(SharedFrameHeader, dataSize) == 8);
static_assert(offsetof(SharedFrameHeader, strideY) == 20);
static_assert(offsetof(SharedFrameHeader, timestamp) == 32);
static_assert(offsetof(SharedFrameHeader, keyFrame) == 40);

// Names and sizes of the two sections.
inline constexpr const char* kCaptureSectionName = "Global\\VeltrixCapture";
inline constexpr std::uint64_t kCaptureSectionSize = 0x400000;  // 4 MiB, encoded frames
inline constexpr const char* kFrameSectionName = "Global\\VeltrixFrame";
inline constexpr std::uint64_t kFrameSectionSize = 0x1000000;  // 16 MiB, decoded frames

}  // namespace veltrix
