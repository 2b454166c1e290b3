// The frame sections' reader against a writer caught mid-frame and a section shrunk under it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/InstancePaths.h"
#include "shared/SharedFrameBuffer.h"
#include "shared/SharedFrameReader.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {

constexpr const char* kName = "Global\\VeltrixReaderTestSection";

// A source buffer whose last page is not there until the test provides it: a writer copying from
// it stops inside its payload copy (the kernel holds the faulting thread) until `release`.
class PausingSource {
public:
    explicit PausingSource(std::size_t pages) : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))), pages_(pages) {
        memory_ = static_cast<std::uint8_t*>(
            mmap(nullptr, page_ * pages_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::memset(memory_, 'B', page_ * (pages_ - 1));
        uffd_ = static_cast<int>(syscall(SYS_userfaultfd, O_CLOEXEC | O_NONBLOCK));
        if (uffd_ < 0) return;
        uffdio_api api{};
        api.api = UFFD_API;
        uffdio_register region{};
        region.range.start = reinterpret_cast<std::uintptr_t>(lastPage());
        region.range.len = page_;
        region.mode = UFFDIO_REGISTER_MODE_MISSING;
        ready_ = ioctl(uffd_, UFFDIO_API, &api) == 0 && ioctl(uffd_, UFFDIO_REGISTER, &region) == 0;
    }
    ~PausingSource() {
        release();
        if (uffd_ >= 0) ::close(uffd_);
        munmap(memory_, page_ * pages_);
    }

    bool ready() const { return ready_; }
    const std::uint8_t* data() const { return memory_; }
    std::size_t size() const { return page_ * pages_; }

    // Waits until a thread is held on the missing page.
    bool waitForWriter() {
        pollfd entry{uffd_, POLLIN, 0};
        if (poll(&entry, 1, 5000) != 1) return false;
        uffd_msg message{};
        return read(uffd_, &message, sizeof message) == sizeof message && message.event == UFFD_EVENT_PAGEFAULT;
    }

    // Supplies the missing page ('B' too), which lets the held writer go on.
    void release() {
        if (released_ || !ready_) return;
        released_ = true;
        std::vector<std::uint8_t> fill(page_, 'B');
        uffdio_copy copy{};
        copy.dst = reinterpret_cast<std::uintptr_t>(lastPage());
        copy.src = reinterpret_cast<std::uintptr_t>(fill.data());
        copy.len = page_;
        ioctl(uffd_, UFFDIO_COPY, &copy);
    }

private:
    std::uint8_t* lastPage() const { return memory_ + page_ * (pages_ - 1); }

    std::size_t page_;
    std::size_t pages_;
    std::uint8_t* memory_ = nullptr;
    int uffd_ = -1;
    bool ready_ = false;
    bool released_ = false;
};

class SharedFrameReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(section.create(kName, 1 << 20, true, ""));
        const std::vector<std::uint8_t> first(16 * 4096, 'A');
        ASSERT_TRUE(section.writeEncodedFrame(640, 480, 1, true, first.data(), first.size()));
    }

    std::optional<SharedFrameInfo> read(std::vector<std::uint8_t>& copied,
                                        const std::function<void()>& duringCopy = {}) const {
        return section.readFrame([&](const SharedFrameInfo&, std::uint64_t readable) {
            if (duringCopy) duringCopy();
            copied.resize(readable);
            return std::optional<SharedFrameDestination>(SharedFrameDestination{0, copied});
        });
    }

    test::TempInstanceRoot root;
    SharedFrameBuffer section;
};

TEST_F(SharedFrameReaderTest, AFrameBeingWrittenIsRefusedAndTheCompletedOneIsRead) {
    PausingSource source(16);
    if (!source.ready()) GTEST_SKIP() << "userfaultfd is not available";
    std::thread writer([&] { section.writeEncodedFrame(640, 480, 2, false, source.data(), source.size()); });
    ASSERT_TRUE(source.waitForWriter());

    // The writer is inside its payload copy: the sequence still names the first frame.
    std::vector<std::uint8_t> copied;
    EXPECT_EQ(section.readHeader().sequence, 1u);
    EXPECT_FALSE(read(copied).has_value());

    source.release();
    writer.join();
    const auto info = read(copied);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->sequence, 2u);
    EXPECT_EQ(copied, std::vector<std::uint8_t>(source.size(), 'B'));
}

TEST_F(SharedFrameReaderTest, AWriteThatBeginsDuringTheCopyIsRefused) {
    PausingSource source(16);
    if (!source.ready()) GTEST_SKIP() << "userfaultfd is not available";
    std::thread writer;
    std::vector<std::uint8_t> copied;
    const auto info = read(copied, [&] {
        writer = std::thread([&] { section.writeEncodedFrame(640, 480, 2, false, source.data(), source.size()); });
        ASSERT_TRUE(source.waitForWriter());
    });
    EXPECT_FALSE(info.has_value());
    source.release();
    writer.join();
}

TEST_F(SharedFrameReaderTest, ASectionShrunkUnderTheReaderGivesNothingInsteadOfACrash) {
    // Whoever may write the capture section can also cut it short, as another process would.
    const auto path = platform::paths::sectionPath(kName);
    const int attacker = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(attacker, 0);

    std::vector<std::uint8_t> copied;
    EXPECT_FALSE(read(copied, [&] { ASSERT_EQ(ftruncate(attacker, 0), 0); }).has_value());
    // The header itself is gone now as well.
    EXPECT_FALSE(read(copied).has_value());
    std::vector<std::uint8_t> payload;
    EXPECT_FALSE(section.readFrameInto(payload).has_value());

    // Restored to its size, the section is readable again (the writer's next frame).
    ASSERT_EQ(ftruncate(attacker, 1 << 20), 0);
    const std::vector<std::uint8_t> next(100, 'C');
    ASSERT_TRUE(section.writeEncodedFrame(640, 480, 3, false, next.data(), next.size()));
    ASSERT_TRUE(section.readFrameInto(payload).has_value());
    EXPECT_EQ(payload, next);
    ::close(attacker);
}

}  // namespace
}  // namespace veltrix
