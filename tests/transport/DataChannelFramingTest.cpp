#include "transport/DataChannelFraming.h"

#include <gtest/gtest.h>
#include <vector>

namespace veltrix {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Result = MessageReassembler::Result;

std::vector<Bytes> split(const Bytes& message) {
    std::vector<Bytes> pieces;
    framing::splitMessage(message.data(), message.size(),
                          [&](const std::uint8_t* header, std::size_t headerSize, const std::uint8_t* payload,
                              std::size_t payloadSize) {
                              Bytes piece(header, header + headerSize);
                              piece.insert(piece.end(), payload, payload + payloadSize);
                              pieces.push_back(std::move(piece));
                              return true;
                          });
    return pieces;
}

Bytes pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + i / 251);
    return bytes;
}

Result feed(MessageReassembler& reassembler, const Bytes& piece) {
    return reassembler.feed(piece.data(), piece.size());
}

TEST(DataChannelFramingTest, SplitsIntoBoundedPiecesAndRebuildsEachMessageOnce) {
    const std::size_t max = framing::kMaxPieceSize;
    struct Case {
        std::size_t size;
        std::size_t pieces;
    };
    const std::vector<Case> cases = {
        {0, 1}, {1, 1}, {max - 1, 1}, {max, 2}, {max * 3, 4}, {framing::kMaxMessageSize, 257},
    };
    for (const Case& c : cases) {
        const Bytes message = pattern(c.size);
        const auto pieces = split(message);
        EXPECT_EQ(pieces.size(), c.pieces) << c.size;
        MessageReassembler reassembler;
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            EXPECT_LE(pieces[i].size(), max);
            const Result expected = i + 1 == pieces.size() ? Result::Message : Result::NeedMore;
            ASSERT_EQ(feed(reassembler, pieces[i]), expected) << c.size << " piece " << i;
        }
        const QByteArray rebuilt = reassembler.takeMessage();
        EXPECT_EQ(rebuilt.size(), static_cast<qsizetype>(c.size));
        EXPECT_TRUE(std::equal(message.begin(), message.end(), reinterpret_cast<const std::uint8_t*>(rebuilt.data())));
        EXPECT_TRUE(reassembler.takeMessage().isEmpty());
    }
}

TEST(DataChannelFramingTest, KeepAliveIsNeitherMessageNorViolation) {
    MessageReassembler reassembler;
    EXPECT_EQ(feed(reassembler, {0x00}), Result::KeepAlive);
    // Between the pieces of a message too.
    const auto pieces = split(pattern(framing::kMaxPieceSize * 2));
    EXPECT_EQ(feed(reassembler, pieces[0]), Result::NeedMore);
    EXPECT_EQ(feed(reassembler, {0x00}), Result::KeepAlive);
    EXPECT_EQ(feed(reassembler, pieces[1]), Result::NeedMore);
    EXPECT_EQ(feed(reassembler, pieces[2]), Result::Message);
}

TEST(DataChannelFramingTest, FramingViolations) {
    const auto big = split(pattern(framing::kMaxPieceSize * 2));
    const auto first = big[0];
    Bytes overlong(framing::kMaxPieceSize + 1, 0x01);
    Bytes oversizeTotal = {0x02, 0x01, 0x00, 0x00, 0x01, 0xAA};  // 16 MiB + 1
    Bytes smallTotal = {0x02, 0x00, 0x00, 0x00, 0x02, 0xAA, 0xBB};  // fits in its own piece
    struct Case {
        const char* name;
        std::vector<Bytes> pieces;  // the last one must be refused
    };
    const std::vector<Case> cases = {
        {"empty piece", {{}}},
        {"unknown kind", {{0x04, 1}}},
        {"unknown kind alone", {{0x04}}},
        {"keep-alive with payload", {{0x00, 1}}},
        {"continuation without start", {{0x03, 1, 2}}},
        {"empty continuation", {first, {0x03}}},
        {"whole inside a message", {first, {0x01, 1}}},
        {"start inside a message", {first, first}},
        {"short start header", {{0x02, 0, 0, 1}}},
        {"total above the limit", {oversizeTotal}},
        {"total that fits one piece", {smallTotal}},
        {"piece above the limit", {overlong}},
        {"more bytes than announced", {first, Bytes(framing::kMaxPieceSize, 0x03), Bytes(framing::kMaxPieceSize, 0x03)}},
    };
    for (const Case& c : cases) {
        MessageReassembler reassembler;
        for (std::size_t i = 0; i + 1 < c.pieces.size(); ++i)
            ASSERT_NE(feed(reassembler, c.pieces[i]), Result::Violation) << c.name;
        EXPECT_EQ(feed(reassembler, c.pieces.back()), Result::Violation) << c.name;
        EXPECT_FALSE(reassembler.inProgress()) << c.name;
        // After a violation the reassembler starts clean.
        EXPECT_EQ(feed(reassembler, {0x01, 0x42}), Result::Message) << c.name;
        EXPECT_EQ(reassembler.takeMessage(), QByteArray("\x42")) << c.name;
    }
}

}  // namespace
}  // namespace veltrix
