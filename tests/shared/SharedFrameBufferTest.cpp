#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/InstancePaths.h"
#include "shared/SharedFrameBuffer.h"
#include "shared/SharedFrameReader.h"
#include "support/AccessList.h"
#include "support/LogCapture.h"
#include "support/SessionsFile.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {

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
        const auto* raw = reinterpret_cast<const std::uint8_t*>(buffer.header());
        for (std::size_t i = 0; i < kSharedFrameHeaderSize; ++i) {
            if (raw[i] != 0) return false;
        }
        return true;
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
    const SharedFrameHeader before = *buffer.header();
    EXPECT_EQ(before.sequence, 1u);
    EXPECT_EQ(before.dataSize, packet.size());
    EXPECT_EQ(before.width, 640u);
    EXPECT_EQ(before.height, 480u);
    EXPECT_EQ(before.timestamp, 1234u);
    EXPECT_EQ(before.keyFrame, 1);
    EXPECT_EQ(std::memcmp(buffer.data(), packet.data(), packet.size()), 0);

    const auto tooBig = bytes(4096 - 47, 9);
    EXPECT_FALSE(buffer.writeEncodedFrame(1, 1, 1, false, tooBig.data(), tooBig.size()));
    EXPECT_TRUE(log.contains("SharedFrameBuffer::writeEncodedFrame: data too large (4097 > 4096)"));
    EXPECT_EQ(std::memcmp(buffer.header(), &before, sizeof before), 0);
    EXPECT_EQ(std::memcmp(buffer.data(), packet.data(), packet.size()), 0);

    EXPECT_FALSE(buffer.writeFrame(1, 1, 1, 1, tooBig.data(), tooBig.size()));
    EXPECT_TRUE(log.contains("SharedFrameBuffer::writeFrame: frame too large (4097 > 4096)"));
}

TEST_F(SharedFrameBufferTest, FrameWriterStoresStridesAndNoTimestampOrKeyFlag) {
    SharedFrameBuffer buffer;
    ASSERT_TRUE(buffer.create(kName, 1 << 16, false, ""));
    const auto picture = bytes(6 * 4 + 6 * 2);
    ASSERT_TRUE(buffer.writeFrame(6, 4, 6, 6, picture.data(), picture.size()));
    const SharedFrameHeader& h = *buffer.header();
    EXPECT_EQ(h.sequence, 1u);
    EXPECT_EQ(h.strideY, 6u);
    EXPECT_EQ(h.strideUV, 6u);
    EXPECT_EQ(h.timestamp, 0u);
    EXPECT_EQ(h.keyFrame, 0);
    EXPECT_EQ(h.reserved, 2u);  // the write lock: odd during the write, even once it is complete
}

TEST_F(SharedFrameBufferTest, EachWriterObjectCountsFromOneAndCreateZeroesAnExistingHeader) {
    SharedFrameBuffer creator;
    ASSERT_TRUE(creator.create(kName, 8192, true, ""));
    const auto packet = bytes(100);
    ASSERT_TRUE(creator.writeEncodedFrame(1, 1, 0, false, packet.data(), packet.size()));
    ASSERT_TRUE(creator.writeEncodedFrame(1, 1, 0, false, packet.data(), packet.size()));
    EXPECT_EQ(creator.header()->sequence, 2u);

    SharedFrameBuffer writer;
    ASSERT_TRUE(writer.openReadWrite(kName));
    ASSERT_TRUE(writer.writeEncodedFrame(1, 1, 0, false, packet.data(), packet.size()));
    EXPECT_EQ(writer.header()->sequence, 1u);

    SharedFrameBuffer again;
    ASSERT_TRUE(again.create(kName, 8192, true, ""));
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

TEST_F(SharedFrameBufferTest, RefusesANameTakenByAnotherUserOrALink) {
    const auto path = platform::paths::sectionPath(kName);
    {
        const int fd = open(path.c_str(), O_CREAT | O_RDWR, 0666);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(fchown(fd, 65534, 65534), 0);  // as if user "nobody" took the name first
        close(fd);
    }
    SharedFrameBuffer buffer;
    EXPECT_FALSE(buffer.create(kName, 4096, true, ""));
    EXPECT_TRUE(log.contains("CreateFileMappingW failed (error 1: Operation not permitted)"));
    unlink(path.c_str());

    const auto target = root.path() / "elsewhere";
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    EXPECT_FALSE(buffer.create(kName, 4096, true, ""));
    EXPECT_FALSE(std::filesystem::exists(target));
    unlink(path.c_str());
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
    const auto info = readSharedFrame(creator.header(), creator.size(),
                                      [&](const SharedFrameInfo&, const std::uint8_t* payload, std::uint64_t n) {
                                          copied.assign(payload, payload + n);
                                          return true;
                                      });
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

    const auto torn = readSharedFrame(buffer.header(), buffer.size(),
                                      [&](const SharedFrameInfo&, const std::uint8_t*, std::uint64_t) {
                                          // The writer laps the reader in the middle of its copy.
                                          return buffer.writeEncodedFrame(1, 1, 0, false, second.data(),
                                                                          second.size());
                                      });
    EXPECT_FALSE(torn);

    const auto whole = readSharedFrame(buffer.header(), buffer.size(),
                                       [](const SharedFrameInfo&, const std::uint8_t*, std::uint64_t) { return true; });
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->sequence, 2u);
}

TEST_F(SharedFrameBufferTest, ReaderBoundsTheCopyByTheMapping) {
    SharedFrameBuffer buffer;
    ASSERT_TRUE(buffer.create(kName, 4096, true, ""));
    buffer.header()->dataSize = 0xFFFFFFFF;  // a corrupt or hostile header
    std::uint64_t readable = 0;
    readSharedFrame(buffer.header(), buffer.size(), [&](const SharedFrameInfo& info, const std::uint8_t*, std::uint64_t n) {
        EXPECT_EQ(info.dataSize, 0xFFFFFFFFu);
        readable = n;
        return true;
    });
    EXPECT_EQ(readable, 4096u - 48u);
    EXPECT_FALSE(readSharedFrame(buffer.header(), 40, [](auto&&...) { return true; }));
}

}  // namespace
}  // namespace veltrix
