// readSharedFrame on a mapping whose every byte another account wrote: the input is the mapping
// (header and payload), placed so that it ends at an inaccessible page. A frame is accepted only
// when what its sink asks for lies within the header's dataSize and the mapping, and then the
// bytes copied are the bytes there; nothing is ever read past the mapping.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "shared/SharedFrameReader.h"

namespace {

using veltrix::SharedFrameDestination;
using veltrix::SharedFrameInfo;
using veltrix::kSharedFrameHeaderSize;

void check(bool condition) {
    if (!condition) __builtin_trap();
}

// `size` bytes that end where an inaccessible page begins.
class GuardedMapping {
public:
    explicit GuardedMapping(std::size_t size) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        length_ = (size + page - 1) / page * page + page;
        base_ = static_cast<std::uint8_t*>(mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        check(base_ != MAP_FAILED);
        check(mprotect(base_ + length_ - page, page, PROT_NONE) == 0);
        data_ = base_ + length_ - page - size;
    }
    ~GuardedMapping() { munmap(base_, length_); }
    std::uint8_t* data() const { return data_; }

private:
    std::uint8_t* base_ = nullptr;
    std::uint8_t* data_ = nullptr;
    std::size_t length_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > (1u << 20)) return 0;
    const GuardedMapping mapping(size);
    std::memcpy(mapping.data(), data, size);
    const std::uint8_t* payload = mapping.data() + kSharedFrameHeaderSize;

    const SharedFrameInfo header = veltrix::readSharedFrameHeader(mapping.data());
    if (size < kSharedFrameHeaderSize) {
        check(!veltrix::readSharedFrame(mapping.data(), size, [](auto&&...) { return SharedFrameDestination{}; }));
        return 0;
    }
    const std::uint64_t readable = std::min<std::uint64_t>(header.dataSize, size - kSharedFrameHeaderSize);
    const bool writing = (data[28] & 1u) != 0;  // the writer's lock word is odd

    // As the capture poll takes a frame: the whole payload, into a buffer that only grows.
    std::vector<std::uint8_t> copy;
    const auto whole = veltrix::readSharedFrame(mapping.data(), size, [&](const SharedFrameInfo& info, std::uint64_t n)
                                                    -> std::optional<SharedFrameDestination> {
        check(n == readable && info.dataSize == header.dataSize && info.sequence == header.sequence);
        copy.resize(n);
        return SharedFrameDestination{0, copy};
    });
    check(whole.has_value() == !writing);
    if (whole) check(copy.empty() || std::memcmp(copy.data(), payload, copy.size()) == 0);

    // A part the sink picks from the header itself: accepted exactly when it lies within the payload.
    const std::uint64_t offset = header.timestamp % (readable + 3);
    const std::uint64_t length = header.width % 97;
    const std::uint64_t second = header.height % 13;
    std::vector<std::uint8_t> first(length), rest(second);
    const auto part = veltrix::readSharedFrame(mapping.data(), size, [&](const SharedFrameInfo&, std::uint64_t) {
        return std::optional<SharedFrameDestination>(SharedFrameDestination{offset, first, rest});
    });
    const bool fits = offset <= readable && length + second <= readable - offset;
    check(part.has_value() == (fits && !writing));
    if (part) {
        check(length == 0 || std::memcmp(first.data(), payload + offset, length) == 0);
        check(second == 0 || std::memcmp(rest.data(), payload + offset + length, second) == 0);
    }
    return 0;
}
