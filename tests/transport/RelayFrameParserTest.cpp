#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "transport/RelayFrameParser.h"

namespace veltrix {
namespace {

using Status = RelayFrameParser::Status;

QByteArray header(std::uint8_t channel, std::uint32_t length) {
    char bytes[RelayFrameParser::kHeaderSize];
    RelayFrameParser::writeHeader(bytes, ChannelType::Control, length);
    bytes[0] = static_cast<char>(channel);
    return QByteArray(bytes, sizeof bytes);
}

QByteArray frame(ChannelType channel, const QByteArray& payload) {
    return RelayFrameParser::buildFrame(channel, payload.constData(), static_cast<std::size_t>(payload.size()));
}

struct Received {
    ChannelType channel;
    QByteArray payload;
    bool operator==(const Received&) const = default;
};

// Feeds `stream` in pieces of the given sizes (the last size repeats) and collects every frame.
std::vector<Received> feed(RelayFrameParser& parser, const QByteArray& stream, const std::vector<int>& pieces,
                           Status* last = nullptr) {
    std::vector<Received> out;
    qsizetype at = 0;
    std::size_t piece = 0;
    Status status = Status::NeedMore;
    while (at < stream.size()) {
        const qsizetype n = std::min<qsizetype>(pieces[std::min(piece++, pieces.size() - 1)], stream.size() - at);
        parser.append(stream.constData() + at, static_cast<std::size_t>(n));
        at += n;
        RelayFrameParser::Frame f;
        while ((status = parser.next(f)) == Status::Frame) out.push_back({f.channel, f.payload});
        if (status != Status::NeedMore) break;
    }
    if (last) *last = status;
    return out;
}

TEST(RelayFrameParserTest, BuildsChannelByteBigEndianLengthAndPayload) {
    EXPECT_EQ(frame(ChannelType::Video, "abc"), QByteArray("\x01\x00\x00\x00\x03" "abc", 8));
    EXPECT_EQ(frame(ChannelType::Control, {}), QByteArray("\x00\x00\x00\x00\x00", 5));
    EXPECT_EQ(header(0, 0x01020304), QByteArray("\x00\x01\x02\x03\x04", 5));
}

TEST(RelayFrameParserTest, FramesComeOutWholeAndInOrderWhateverTheChunking) {
    const QByteArray big(70000, 'v');
    const QByteArray stream = frame(ChannelType::Control, "hello") + frame(ChannelType::Video, {}) +
                              frame(ChannelType::Video, big) + frame(ChannelType::Control, "x");
    const std::vector<Received> expected{{ChannelType::Control, "hello"},
                                         {ChannelType::Video, {}},
                                         {ChannelType::Video, big},
                                         {ChannelType::Control, "x"}};
    const std::vector<std::vector<int>> chunkings{
        {static_cast<int>(stream.size())},  // all frames in one read
        {1},                                // byte by byte
        {5, 5},                             // header, then payload apart
        {3, 4, 1000, 7},                    // headers split mid-way
        {10, 70000}};
    for (const auto& pieces : chunkings) {
        SCOPED_TRACE(pieces.front());
        RelayFrameParser parser;
        Status last;
        EXPECT_EQ(feed(parser, stream, pieces, &last), expected);
        EXPECT_EQ(last, Status::NeedMore);
        EXPECT_EQ(parser.bufferedBytes(), 0u);
    }
}

TEST(RelayFrameParserTest, RandomChunkingMatchesTheFramesSent) {
    std::mt19937 random(12345);
    QByteArray stream;
    std::vector<Received> expected;
    for (int i = 0; i < 200; ++i) {
        const auto channel = static_cast<ChannelType>(random() % 2);
        const QByteArray payload(static_cast<qsizetype>(random() % 3000), static_cast<char>('a' + i % 26));
        stream += frame(channel, payload);
        expected.push_back({channel, payload});
    }
    std::vector<int> pieces;
    for (int i = 0; i < 2000; ++i) pieces.push_back(1 + static_cast<int>(random() % 4000));
    RelayFrameParser parser;
    EXPECT_EQ(feed(parser, stream, pieces), expected);
}

TEST(RelayFrameParserTest, LengthLimitIsSixteenMebibytesInclusive) {
    RelayFrameParser parser;
    const QByteArray payload(RelayFrameParser::kMaxPayload, 'z');
    const auto got = feed(parser, frame(ChannelType::Video, payload), {65536});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].payload.size(), 16777216);

    RelayFrameParser tooBig;
    tooBig.append(header(1, 16777217).constData(), 5);
    RelayFrameParser::Frame f;
    std::uint64_t bad = 0;
    EXPECT_EQ(tooBig.next(f, &bad), Status::Oversize);
    EXPECT_EQ(bad, 16777217u);
}

TEST(RelayFrameParserTest, AFramingErrorIsFinalSoLaterBytesAreNeverReadAsFrames) {
    const struct {
        QByteArray bad;
        Status status;
    } cases[] = {{header(2, 3) + "abc", Status::InvalidChannel},
                 {header(255, 0), Status::InvalidChannel},
                 {header(0, 0xffffffff), Status::Oversize}};
    for (const auto& c : cases) {
        RelayFrameParser parser;
        Status last;
        const QByteArray stream = frame(ChannelType::Control, "ok") + c.bad + frame(ChannelType::Control, "after");
        const auto got = feed(parser, stream, {3}, &last);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].payload, "ok");
        EXPECT_EQ(last, c.status);
        // More bytes change nothing until the parser is cleared.
        const QByteArray good = frame(ChannelType::Control, "good");
        parser.append(good.constData(), static_cast<std::size_t>(good.size()));
        RelayFrameParser::Frame f;
        EXPECT_EQ(parser.next(f), c.status);
        parser.clear();
        parser.append(good.constData(), static_cast<std::size_t>(good.size()));
        ASSERT_EQ(parser.next(f), Status::Frame);
        EXPECT_EQ(f.payload, "good");
    }
}

TEST(RelayFrameParserTest, ReserveAndCommitKeepOnlyTheBytesRead) {
    RelayFrameParser parser;
    const QByteArray f = frame(ChannelType::Video, "payload");
    char* target = parser.reserve(100);
    std::memcpy(target, f.constData(), static_cast<std::size_t>(f.size()));
    parser.commit(static_cast<std::size_t>(f.size()));
    EXPECT_EQ(parser.bufferedBytes(), static_cast<std::size_t>(f.size()));
    RelayFrameParser::Frame out;
    ASSERT_EQ(parser.next(out), Status::Frame);
    EXPECT_EQ(out.payload, "payload");
    EXPECT_EQ(parser.next(out), Status::NeedMore);
}

}  // namespace
}  // namespace veltrix
