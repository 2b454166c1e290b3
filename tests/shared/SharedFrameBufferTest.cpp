#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <thread>
#include <vector>

#include "platform/InstancePaths.h"
#include "shared/SharedFrameBuffer.h"
#include "shared/SharedFrameReader.h"
#include "support/AccessList.h"
#include "support/LogCapture.h"
#include "support/SessionsFile.h"
#include "support/TempInstanceRoot.h"
#include "support/UnprivilegedChild.h"
#include "support/WaitUntil.h"

namespace veltrix {
namespace {

using namespace std::chrono_literals;
using platform::SystemError;

constexpr const char* kName = "Global\\VeltrixTestSection";

class SharedFrameBufferTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    test::LogCapture log;

    static std::vector<std::uint8_t> bytes(std::size_t n, std::uint8_t seed = 1) {
        std::vector<std::uint8_t> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
        return v;
    }

    static bool headerIsZero(const SharedFrameBuffer& buffer) {
        const SharedFrameHeader header = buffer.readHeader();
        const auto* raw = reinterpret_cast<const std::uint8_t*>(&header);
        return std::all_of(raw, raw + sizeof header, [](std::uint8_t b) { return b == 0; });
    }

    static std::vector<std::uint8_t> payloadOf(const SharedFrameBuffer& buffer) {
        std::vector<std::uint8_t> payload;
        buffer.readFrameInto(payload);
        return payload;
    }
};

TEST_F(SharedFrameBufferTest, CreateNeedsRoomForHeaderAndOneByte) {
    SharedFrameBuffer buffer;
    EXPECT_FALSE(buffer.create(kName, 48, false, ""));
    EXPECT_FALSE(buffer.isOpen());
    EXPECT_TRUE(log.contains("SharedFrameBuffer::create: maxSize 48 is too small"));

    ASSERT_TRUE(buffer.create(kName, 49, false, ""));
    EXPECT_EQ(buffer.size(), 49u);
    EXPECT_TRUE(log.contains("SharedFrameBuffer created: name='Global\\VeltrixTestSection', size=49"));
}

TEST_F(SharedFrameBufferTest, WritesExactlyTheCapacityAndRefusesOneByteMoreWithHeaderUnchanged) {
    SharedFrameBuffer buffer;
    ASSERT_TRUE(buffer.create(kName, 4096, true, ""));
    EXPECT_TRUE(headerIsZero(buffer));

    const auto packet = bytes(4096 - 48);
    ASSERT_TRUE(buffer.writeEncodedFrame(640, 480, 1234, true, packet.data(), packet.size()));
    const SharedFrameHeader before = buffer.readHeader();
    EXPECT_EQ(before.sequence, 1u);
    EXPECT_EQ(before.dataSize, packet.size());
    EXPECT_EQ(before.width, 640u);
    EXPECT_EQ(before.height, 480u);
    EXPECT_EQ(before.timestamp, 1234u);
    EXPECT_EQ(before.keyFrame, 1);
    EXPECT_EQ(payloadOf(buffer), packet);

    const auto tooBig = bytes(4096 - 47, 9);
    EXPECT_FALSE(buffer.writeEncodedFrame(1, 1, 1, false, tooBig.data(), tooBig.size()));
    EXPECT_TRUE(log.contains("SharedFrameBuffer::writeEncodedFrame: data too large (4097 > 4096)"));
    const SharedFrameHeader after = buffer.readHeader();
    EXPECT_EQ(std::memcmp(&after, &before, sizeof before), 0);
    EXPECT_EQ(payloadOf(buffer), packet);

    EXPECT_FALSE(buffer.writeFrame(1, 1, 1, 1, tooBig.data(), tooBig.size()));
    EXPECT_TRUE(log.contains("SharedFrameBuffer::writeFrame: frame too large (4097 > 4096)"));
}

TEST_F(SharedFrameBufferTest, FrameWriterStoresStridesAndNoTimestampOrKeyFlag) {
    SharedFrameBuffer buffer;
    ASSERT_TRUE(buffer.create(kName, 1 << 16, false, ""));
    const auto picture = bytes(6 * 4 + 6 * 2);
    ASSERT_TRUE(buffer.writeFrame(6, 4, 6, 6, picture.data(), picture.size()));
    const SharedFrameHeader h = buffer.readHeader();
    EXPECT_EQ(h.sequence, 1u);
    EXPECT_EQ(h.strideY, 6u);
    EXPECT_EQ(h.strideUV, 6u);
    EXPECT_EQ(h.timestamp, 0u);
    EXPECT_EQ(h.keyFrame, 0);
    EXPECT_EQ(h.reserved, 2u);  // the write lock: odd during the write, even once it is complete
}

TEST_F(SharedFrameBufferTest, EachWriterObjectCountsFromOneAndCreateStartsAFreshSection) {
    SharedFrameBuffer creator;
    ASSERT_TRUE(creator.create(kName, 8192, true, ""));
    const auto packet = bytes(100);
    ASSERT_TRUE(creator.writeEncodedFrame(1, 1, 0, false, packet.data(), packet.size()));
    ASSERT_TRUE(creator.writeEncodedFrame(1, 1, 0, false, packet.data(), packet.size()));
    EXPECT_EQ(creator.readHeader().sequence, 2u);

    SharedFrameBuffer writer;
    ASSERT_TRUE(writer.openReadWrite(kName));
    ASSERT_TRUE(writer.writeEncodedFrame(1, 1, 0, false, packet.data(), packet.size()));
    EXPECT_EQ(writer.readHeader().sequence, 1u);

    // A new create replaces the section: it holds no frame, and the writer of the old one no
    // longer reaches it.
    SharedFrameBuffer again;
    ASSERT_TRUE(again.create(kName, 8192, true, ""));
    EXPECT_TRUE(headerIsZero(again));
    ASSERT_TRUE(writer.writeEncodedFrame(1, 1, 0, false, packet.data(), packet.size()));
    EXPECT_TRUE(headerIsZero(again));
}

TEST_F(SharedFrameBufferTest, OpenReadWriteReportsThePageRoundedSize) {
    SharedFrameBuffer creator;
    ASSERT_TRUE(creator.create(kName, 100, true, ""));
    SharedFrameBuffer writer;
    ASSERT_TRUE(writer.openReadWrite(kName));
    EXPECT_EQ(writer.size(), static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)));
    EXPECT_TRUE(log.contains("SharedFrameBuffer opened (read-write): name='Global\\VeltrixTestSection', size=4096"));
}

TEST_F(SharedFrameBufferTest, OpenOfAMissingSectionFailsWithTheSystemError) {
    SharedFrameBuffer writer;
    EXPECT_FALSE(writer.openReadWrite("Global\\VeltrixNoSuchSection"));
    EXPECT_FALSE(writer.isOpen());
    EXPECT_TRUE(log.contains("SharedFrameBuffer::openReadWrite: OpenFileMappingW failed (error 2: No such file or directory)"));
}

struct AccessCase {
    const char* label;
    bool userWritable;
    const char* sid;
    std::vector<uid_t> sessionUsers;
    mode_t expectedMode;
    std::map<uid_t, unsigned> expectedUsers;
};

class SectionAccessTest : public SharedFrameBufferTest, public ::testing::WithParamInterface<AccessCase> {};

// The section's access list admits the named user, or with none every user that has a terminal
// session (the interactive users), and nobody else: no "others" bits, no shared group.
TEST_P(SectionAccessTest, OnlyTheAdmittedUsersGetIn) {
    const AccessCase& c = GetParam();
    test::writeSessions(c.sessionUsers);
    SharedFrameBuffer buffer;
    ASSERT_TRUE(buffer.create(kName, 4096, c.userWritable, c.sid));
    const auto path = platform::paths::sectionPath(kName);
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.expectedMode);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(test::namedUsersOf(path), c.expectedUsers);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SectionAccessTest,
    ::testing::Values(AccessCase{"InteractiveUsersRead", false, "", {1000, 1001}, 0640, {{1000, 4}, {1001, 4}}},
                      AccessCase{"InteractiveUsersWrite", true, "", {1000}, 0660, {{1000, 6}}},
                      AccessCase{"NobodyLoggedOn", false, "", {}, 0640, {}},
                      AccessCase{"OneUserReads", false, "65534", {1000}, 0640, {{65534, 4}}},
                      AccessCase{"OneUserWrites", true, "65534", {1000}, 0660, {{65534, 6}}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(SharedFrameBufferTest, ABadUserIdIsAConversionFailure) {
    SharedFrameBuffer buffer;
    EXPECT_FALSE(buffer.create(kName, 4096, true, "S-1-5-18"));
    EXPECT_TRUE(log.contains("SharedFrameBuffer::create: SDDL conversion failed"));
}

// Another account that takes the section's name first (a file it keeps open, a folder with
// content, a link to somewhere else) neither stops the creator nor gets into the section made.
TEST_F(SharedFrameBufferTest, ANameTakenFirstByAnotherAccountIsReplacedAndTheSquatterGetsNothing) {
    std::filesystem::permissions(root.path(), std::filesystem::perms::all);  // the squatter leaves its mark here
    const auto path = platform::paths::sectionPath(kName);
    const auto linkTarget = root.path() / "elsewhere";
    const std::vector<std::uint8_t> secret(64, 0x5A);
    struct Squat {
        const char* label;
        std::function<int()> take;  // as the squatter: takes the name; gives a descriptor it keeps (or -1)
    } squats[] = {
        {"file", [&] { return ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666); }},
        {"folder",
         [&] {
             if (::mkdir(path.c_str(), 0777) != 0) return -1;
             std::ofstream(path / "content") << "kept";
             return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
         }},
        {"link", [&] { return ::symlink(linkTarget.c_str(), path.c_str()) == 0 ? ::open("/", O_RDONLY) : -1; }},
    };
    for (const Squat& squat : squats) {
        SCOPED_TRACE(squat.label);
        std::filesystem::remove_all(path);
        const auto taken = root.path() / (std::string("taken-") + squat.label);
        test::UnprivilegedChild squatter([&] {
            const int held = squat.take();
            if (held < 0) return "cannot take the name: " + SystemError::last().text();
            std::ofstream(taken) << "taken";
            // Waits until the creator has put its section under the name.
            struct stat own{}, named{};
            ::fstat(held, &own);
            for (int i = 0; i < 400; ++i) {
                if (::lstat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode) && named.st_ino != own.st_ino) break;
                std::this_thread::sleep_for(5ms);
            }
            std::this_thread::sleep_for(50ms);
            std::string seen;
            // What the descriptor it kept shows, and whether its writes reach anything.
            std::vector<std::uint8_t> bytes(kSharedFrameHeaderSize + secret.size());
            if (::pread(held, bytes.data(), bytes.size(), 0) == ssize_t(bytes.size()) &&
                std::search(bytes.begin(), bytes.end(), secret.begin(), secret.end()) != bytes.end())
                seen += " read-the-frame";
            [[maybe_unused]] const ssize_t scribbled = ::pwrite(held, "XXXXXXXX", 8, 0);
            for (const int mode : {O_RDONLY, O_RDWR}) {
                const int fd = ::open(path.c_str(), mode | O_CLOEXEC);
                if (fd >= 0) seen += mode == O_RDONLY ? " opened-for-reading" : " opened-for-writing";
                if (fd >= 0) ::close(fd);
            }
            return "done" + seen;
        });
        ASSERT_TRUE(test::waitUntil([&] { return std::filesystem::exists(taken); }, 3s)) << squatter.result();

        // The admitted user is uid 1, not the squatter.
        SharedFrameBuffer buffer;
        ASSERT_TRUE(buffer.create(kName, 4096, true, "1"));
        struct stat st{};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_uid, geteuid());
        EXPECT_EQ(test::namedUsersOf(path), (std::map<uid_t, unsigned>{{1, 6}}));
        EXPECT_FALSE(std::filesystem::exists(linkTarget));
        ASSERT_TRUE(buffer.writeEncodedFrame(1, 1, 0, false, secret.data(), secret.size()));

        EXPECT_EQ(squatter.result(), "done");
        EXPECT_EQ(payloadOf(buffer), secret);
        EXPECT_EQ(buffer.readHeader().sequence, 1u);
    }
}

TEST_F(SharedFrameBufferTest, AnotherProcessReadsWhatTheWriterWrote) {
    SharedFrameBuffer creator;
    ASSERT_TRUE(creator.create(kName, 1 << 20, true, ""));

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SharedFrameBuffer writer;
        if (!writer.openReadWrite(kName)) _exit(2);
        const auto packet = bytes(5000, 3);
        _exit(writer.writeEncodedFrame(1920, 1080, 77, true, packet.data(), packet.size()) ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    std::vector<std::uint8_t> copied;
    const auto info = creator.readFrameInto(copied);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->sequence, 1u);
    EXPECT_EQ(info->width, 1920u);
    EXPECT_EQ(info->height, 1080u);
    EXPECT_EQ(info->timestamp, 77u);
    EXPECT_TRUE(info->keyFrame);
    EXPECT_EQ(copied, bytes(5000, 3));
}

TEST_F(SharedFrameBufferTest, ReaderDropsAFrameReplacedDuringTheCopy) {
    SharedFrameBuffer buffer;
    ASSERT_TRUE(buffer.create(kName, 8192, true, ""));
    const auto first = bytes(64, 1);
    const auto second = bytes(64, 2);
    ASSERT_TRUE(buffer.writeEncodedFrame(1, 1, 0, false, first.data(), first.size()));

    std::vector<std::uint8_t> copied(64);
    const auto torn = buffer.readFrame([&](const SharedFrameInfo&, std::uint64_t) {
        // The writer laps the reader between its look at the header and its copy.
        EXPECT_TRUE(buffer.writeEncodedFrame(1, 1, 0, false, second.data(), second.size()));
        return std::optional<SharedFrameDestination>(SharedFrameDestination{0, copied});
    });
    EXPECT_FALSE(torn);

    const auto whole = buffer.readFrameInto(copied);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->sequence, 2u);
    EXPECT_EQ(copied, second);
}

TEST_F(SharedFrameBufferTest, ReaderBoundsTheCopyByTheMapping) {
    SharedFrameBuffer buffer;
    ASSERT_TRUE(buffer.create(kName, 4096, true, ""));
    // A corrupt or hostile header, written through a mapping of its own as the agent's user would.
    SystemError error;
    const auto section = platform::openSection(kName, platform::SectionMode::ReadWrite, error);
    const auto view = platform::mapSection(section, platform::SectionMode::ReadWrite, error);
    ASSERT_TRUE(view.isValid()) << error.text();
    static_cast<SharedFrameHeader*>(view.address())->dataSize = 0xFFFFFFFF;

    std::uint64_t readable = 0;
    const auto whole = [&](const SharedFrameInfo& info, std::uint64_t n) {
        EXPECT_EQ(info.dataSize, 0xFFFFFFFFu);
        readable = n;
        return std::optional<SharedFrameDestination>(SharedFrameDestination{});
    };
    EXPECT_TRUE(buffer.readFrame(whole));
    EXPECT_EQ(readable, 4096u - 48u);
    EXPECT_FALSE(readSharedFrame(view.address(), 40, whole));

    // A destination beyond what may be read is refused, not copied.
    std::vector<std::uint8_t> room(16);
    EXPECT_FALSE(buffer.readFrame([&](const SharedFrameInfo&, std::uint64_t n) {
        return std::optional<SharedFrameDestination>(SharedFrameDestination{n - 8, room});
    }));
}

}  // namespace
}  // namespace veltrix
