#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <set>
#include <stdexcept>
#include <thread>

#include "crypto/AesGcmCipher.h"
#include "support/Hex.h"
#include "support/LogCapture.h"

namespace veltrix {

// Reads the derived keys and moves the send counter, which the public interface cannot reach.
class AesGcmCipherTestPeer {
public:
    static std::string sendKey(const AesGcmCipher& c) { return test::toHex(c.sendKey_); }
    static std::string sendIv(const AesGcmCipher& c) { return test::toHex(c.sendIv_); }
    static std::string receiveKey(const AesGcmCipher& c) { return test::toHex(c.receiveKey_); }
    static std::string receiveIv(const AesGcmCipher& c) { return test::toHex(c.receiveIv_); }
    static void setSendCounter(AesGcmCipher& c, std::uint64_t next) { c.sendCounter_ = next; }
    // The replay update of decrypt alone, as a thread runs it after its AES work.
    static bool updateReplayWindow(AesGcmCipher& c, std::uint64_t counter) {
        std::lock_guard lock(c.replayMutex_);
        return c.acceptCounter(counter);
    }
};

namespace {

using test::fromHex;
using test::toHex;
using Bytes = std::vector<std::uint8_t>;

// Computed by tests/crypto/vectors/make_vectors.py (python3-cryptography).
const std::string kKey = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
const std::string kBaseIv = "cafebabefacedbaddecaf888";
const std::string kContext = "session-4242";
const std::string kExtraSalt = "a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a15c5c5c5c5c5c5c5c5c5c5c5c5c5c5c5c";
const std::string kMasterToTargetKey = "95949a92fa45bd7ea054bf5d1dcbbbf5c75de24e339c14a93b7854a0a000949a";
const std::string kMasterToTargetIv = "2b99bd922dd4162bb3c1e628";
const std::string kTargetToMasterKey = "a135592bb30e5142f83037c53d7c6d6928187f5fe64218c7f853c54d57c1198e";
const std::string kTargetToMasterIv = "8bb120ab6aac7d6cff1b0ffe";
const std::string kUnsaltedMasterToTargetKey = "a14f7936a7925360b03578b656c6d576c3030ac98b2926f30e56882c8921dafa";
const std::string kUnsaltedMasterToTargetIv = "c912623144243725b4103fa6";
const std::string kPlaintext = "026b6579206672616d652c20706c65617365";
const std::string kMasterPacket0 = "000000000000000043092a0ccce5c7be579d1d9e7076b1141fbf6cccf5c8ffb0842cbbda1fd6c65154c6";
const std::string kMasterPacket1 = "0100000000000000b3b522a7c0f5276332264da72a035f48255f361481047103681b892791aab89542bb";
const std::string kTargetPacket0 = "0000000000000000a5f5e2a2ff98b79746cf2846e200ae0924707b39a5c73d5c534242bf6f4cbc19f221";
const std::string kTargetEmptyPacket0 = "0000000000000000c048cc89adf1754c4b349a82e4cd8d59";
const std::string kMasterPacketHighCounter = "0807060504030201e285281143532b8edf894ba9adfe907ddff49110583b50be8c941b488cc8269fb48a";

AesGcmCipher makeCipher(SessionRole role, const std::string& context = kContext,
                        const std::string& extraSaltHex = kExtraSalt) {
    return AesGcmCipher(fromHex(kKey), fromHex(kBaseIv), context, role, fromHex(extraSaltHex));
}

Bytes open(AesGcmCipher& cipher, const Bytes& packet) { return cipher.decrypt(packet.data(), packet.size()); }

class AesGcmCipherTest : public ::testing::Test {
protected:
    test::LogCapture log;
};

TEST_F(AesGcmCipherTest, DirectionalKeySchedulesMatchIndependentDerivation) {
    const AesGcmCipher master = makeCipher(SessionRole::Master);
    EXPECT_EQ(AesGcmCipherTestPeer::sendKey(master), kMasterToTargetKey);
    EXPECT_EQ(AesGcmCipherTestPeer::sendIv(master), kMasterToTargetIv);
    EXPECT_EQ(AesGcmCipherTestPeer::receiveKey(master), kTargetToMasterKey);
    EXPECT_EQ(AesGcmCipherTestPeer::receiveIv(master), kTargetToMasterIv);

    const AesGcmCipher target = makeCipher(SessionRole::Target);
    EXPECT_EQ(AesGcmCipherTestPeer::sendKey(target), kTargetToMasterKey);
    EXPECT_EQ(AesGcmCipherTestPeer::sendIv(target), kTargetToMasterIv);
    EXPECT_EQ(AesGcmCipherTestPeer::receiveKey(target), kMasterToTargetKey);
    EXPECT_EQ(AesGcmCipherTestPeer::receiveIv(target), kMasterToTargetIv);

    // Without extra salt the salt is the base IV alone.
    const AesGcmCipher unsalted = makeCipher(SessionRole::Master, kContext, "");
    EXPECT_EQ(AesGcmCipherTestPeer::sendKey(unsalted), kUnsaltedMasterToTargetKey);
    EXPECT_EQ(AesGcmCipherTestPeer::sendIv(unsalted), kUnsaltedMasterToTargetIv);
    EXPECT_TRUE(log.contains("AesGcmCipher: initialized directional keys (role=Master)"));
    EXPECT_TRUE(log.contains("AesGcmCipher: initialized directional keys (role=Target)"));
}

TEST_F(AesGcmCipherTest, SealedPacketsMatchIndependentVectors) {
    const Bytes plaintext = fromHex(kPlaintext);
    AesGcmCipher master = makeCipher(SessionRole::Master);
    EXPECT_EQ(toHex(master.encrypt(plaintext)), kMasterPacket0);
    EXPECT_EQ(toHex(master.encrypt(plaintext.data(), plaintext.size())), kMasterPacket1);

    AesGcmCipher target = makeCipher(SessionRole::Target);
    EXPECT_EQ(toHex(target.encrypt(plaintext)), kTargetPacket0);
    AesGcmCipher emptySender = makeCipher(SessionRole::Target);
    EXPECT_EQ(toHex(emptySender.encrypt(nullptr, 0)), kTargetEmptyPacket0);

    // Every counter byte reaches the nonce, in little-endian order.
    AesGcmCipherTestPeer::setSendCounter(master, 0x0102030405060708);
    EXPECT_EQ(toHex(master.encrypt(plaintext)), kMasterPacketHighCounter);
}

TEST_F(AesGcmCipherTest, OpensIndependentlySealedPackets) {
    AesGcmCipher target = makeCipher(SessionRole::Target);
    EXPECT_EQ(toHex(open(target, fromHex(kMasterPacket0))), kPlaintext);
    EXPECT_EQ(toHex(open(target, fromHex(kMasterPacketHighCounter))), kPlaintext);

    AesGcmCipher master = makeCipher(SessionRole::Master);
    EXPECT_EQ(toHex(open(master, fromHex(kTargetPacket0))), kPlaintext);

    // 24 bytes: an authentic empty plaintext, nothing to deliver and nothing logged as an error.
    AesGcmCipher other = makeCipher(SessionRole::Master);
    log.clear();
    EXPECT_TRUE(open(other, fromHex(kTargetEmptyPacket0)).empty());
    EXPECT_TRUE(log.lines().empty());
    // ...and it counted: the same packet again is a replay.
    EXPECT_TRUE(open(other, fromHex(kTargetEmptyPacket0)).empty());
    EXPECT_TRUE(log.contains("AesGcmCipher::decrypt: replay/stale counter rejected (counter=0)"));

    Bytes tooShort = fromHex(kTargetEmptyPacket0);
    tooShort.pop_back();
    EXPECT_TRUE(open(other, tooShort).empty());
    EXPECT_TRUE(log.contains("AesGcmCipher::decrypt: message too short (23 bytes, minimum 24)"));
    EXPECT_TRUE(other.decrypt(nullptr, 0).empty());
}

TEST_F(AesGcmCipherTest, ConstructorRefusesBadSizesAndRoles) {
    struct Case {
        std::size_t keySize;
        std::size_t ivSize;
        SessionRole role;
        std::string message;
    };
    const Case cases[] = {
        {31, 12, SessionRole::Master, "AesGcmCipher: key must be exactly 32 bytes, got 31"},
        {33, 12, SessionRole::Master, "AesGcmCipher: key must be exactly 32 bytes, got 33"},
        {0, 12, SessionRole::Target, "AesGcmCipher: key must be exactly 32 bytes, got 0"},
        {32, 11, SessionRole::Master, "AesGcmCipher: base IV must be exactly 12 bytes, got 11"},
        {32, 16, SessionRole::Target, "AesGcmCipher: base IV must be exactly 12 bytes, got 16"},
        {16, 8, SessionRole::Master, "AesGcmCipher: key must be exactly 32 bytes, got 16"},  // key first
        {32, 12, SessionRole::None, "AesGcmCipher: role must be Master or Target"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        try {
            AesGcmCipher cipher(Bytes(c.keySize, 7), Bytes(c.ivSize, 9), kContext, c.role);
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
}

TEST_F(AesGcmCipherTest, PeersOpenEachOthersPacketsOnlyWithMatchingRoleContextAndSalt) {
    const Bytes message = test::bytesOf("clipboard text");
    AesGcmCipher master = makeCipher(SessionRole::Master);
    AesGcmCipher target = makeCipher(SessionRole::Target);
    EXPECT_EQ(open(target, master.encrypt(message)), message);
    EXPECT_EQ(open(master, target.encrypt(message)), message);

    AesGcmCipher otherMaster = makeCipher(SessionRole::Master);
    AesGcmCipher otherTarget = makeCipher(SessionRole::Target);
    EXPECT_TRUE(open(otherMaster, master.encrypt(message)).empty());
    EXPECT_TRUE(open(otherTarget, target.encrypt(message)).empty());

    AesGcmCipher otherContext = makeCipher(SessionRole::Target, "session-4243");
    EXPECT_TRUE(open(otherContext, master.encrypt(message)).empty());
    AesGcmCipher otherSalt = makeCipher(SessionRole::Target, kContext, std::string(64, 'b'));
    EXPECT_TRUE(open(otherSalt, master.encrypt(message)).empty());
    AesGcmCipher noSalt = makeCipher(SessionRole::Target, kContext, "");
    EXPECT_TRUE(open(noSalt, master.encrypt(message)).empty());
    EXPECT_TRUE(log.contains("AesGcmCipher::decrypt: authentication tag verification failed (counter="));
}

// Packets with chosen counters, from a Master whose next counter the test sets.
class ReplayWindowTest : public AesGcmCipherTest {
protected:
    Bytes packetWithCounter(std::uint64_t counter) {
        AesGcmCipherTestPeer::setSendCounter(sender, counter);
        return sender.encrypt(test::bytesOf("payload " + std::to_string(counter)));
    }
    bool accepts(std::uint64_t counter) { return !open(receiver, packetWithCounter(counter)).empty(); }

    AesGcmCipher sender = makeCipher(SessionRole::Master);
    AesGcmCipher receiver = makeCipher(SessionRole::Target);
};

TEST_F(ReplayWindowTest, AcceptsEachCounterOnceWithinTheWindow) {
    struct Step {
        std::uint64_t counter;
        bool accepted;
    };
    const Step steps[] = {
        {5000, true},   // the first packet starts the window, whatever its counter
        {5000, false},  // replay
        {904, false},   // 5000 - 904 = 4096: too old
        {905, true},    // 4095 below the highest: still inside
        {905, false},
        {4999, true},   // out of order
        {5001, true},
        {4999, false},
        {905, false},   // now 4096 below the highest
        {9097, true},   // a jump of exactly 4096 clears the window
        {5001, false},  // 4096 below: stale
        {5002, true},   // 4095 below, never seen
        {5002, false},
        {9096, true},
        {9097, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.counter);
        EXPECT_EQ(accepts(step.counter), step.accepted);
    }
    EXPECT_TRUE(log.contains("AesGcmCipher::decrypt: replay/stale counter rejected (counter=904)"));
}

TEST_F(ReplayWindowTest, ACounterThatReusesTheSlotOfAnOlderOneIsAccepted) {
    // 100 and 4196 share a slot of the 4096-bit window. Moving the highest counter past 4196's
    // position must clear the slot, or the fresh 4196 would look like a replay of 100.
    ASSERT_TRUE(accepts(100));
    ASSERT_TRUE(accepts(101));
    ASSERT_TRUE(accepts(4195));
    ASSERT_TRUE(accepts(4197));
    EXPECT_TRUE(accepts(4196));
    EXPECT_FALSE(accepts(4196));
    EXPECT_FALSE(accepts(101));  // 4096 below 4197
    EXPECT_TRUE(accepts(102));   // 4095 below, never seen
}

TEST_F(ReplayWindowTest, ForgedPacketsLeaveTheWindowAsItWas) {
    // A forgery before any genuine packet does not start the window.
    // Had it started the window at 10000, counter 5 would be refused as stale.
    Bytes forged = packetWithCounter(10000);
    forged[8] ^= 0x01;
    EXPECT_TRUE(open(receiver, forged).empty());
    EXPECT_TRUE(accepts(5));

    ASSERT_TRUE(accepts(10));
    const Bytes genuine = packetWithCounter(11);
    Bytes badTag = genuine;
    badTag[20] ^= 0x80;
    EXPECT_TRUE(open(receiver, badTag).empty());
    EXPECT_FALSE(open(receiver, genuine).empty());

    // A forged far-ahead counter does not move the window either.
    Bytes jump = packetWithCounter(100000);
    jump.back() ^= 0x01;
    EXPECT_TRUE(open(receiver, jump).empty());
    EXPECT_TRUE(accepts(12));
    EXPECT_TRUE(accepts(9));
}

TEST_F(ReplayWindowTest, AnyFlippedBitFailsAuthentication) {
    const Bytes genuine = packetWithCounter(77);
    for (std::size_t bit = 0; bit < genuine.size() * 8; ++bit) {
        Bytes flipped = genuine;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        ASSERT_TRUE(open(receiver, flipped).empty()) << "bit " << bit;
    }
    EXPECT_EQ(open(receiver, genuine), test::bytesOf("payload 77"));
}

TEST_F(AesGcmCipherTest, ConcurrentOpensOfOnePacketAcceptItOnce) {
    constexpr int kThreads = 8;
    constexpr int kPackets = 300;
    AesGcmCipher master = makeCipher(SessionRole::Master);
    AesGcmCipher target = makeCipher(SessionRole::Target);
    std::vector<Bytes> packets;
    for (int i = 0; i < kPackets; ++i) packets.push_back(master.encrypt(Bytes(64, static_cast<std::uint8_t>(i))));

    std::vector<std::atomic<int>> opened(kPackets);
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kPackets; ++i) {
                start.arrive_and_wait();  // all threads open packet i at the same moment
                if (!open(target, packets[i]).empty()) ++opened[i];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int i = 0; i < kPackets; ++i) EXPECT_EQ(opened[i].load(), 1) << "packet " << i;
}

TEST_F(ReplayWindowTest, TheUpdateStepRefusesACounterAcceptedMeanwhile) {
    // Two threads open packet 7: both pass the pre-check, the other one finishes first. The
    // slower thread's update must see that and refuse, or the packet would be delivered twice.
    ASSERT_TRUE(accepts(7));
    EXPECT_FALSE(AesGcmCipherTestPeer::updateReplayWindow(receiver, 7));

    // Likewise when the window moved past the counter while this thread was decrypting.
    ASSERT_TRUE(accepts(5000));
    EXPECT_FALSE(AesGcmCipherTestPeer::updateReplayWindow(receiver, 904));

    // The update that wins counts: the packet itself is a replay afterwards.
    EXPECT_TRUE(AesGcmCipherTestPeer::updateReplayWindow(receiver, 905));
    EXPECT_FALSE(accepts(905));
}

TEST_F(AesGcmCipherTest, ConcurrentSendersNeverShareACounter) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2000;
    AesGcmCipher master = makeCipher(SessionRole::Master);
    std::vector<std::vector<std::uint64_t>> counters(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const Bytes packet = master.encrypt(Bytes(8, 1));
                std::uint64_t c = 0;
                for (int b = 7; b >= 0; --b) c = c << 8 | packet[b];
                counters[t].push_back(c);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<std::uint64_t> all;
    for (const auto& list : counters) all.insert(list.begin(), list.end());
    EXPECT_EQ(all.size(), std::size_t{kThreads * kPerThread});
    EXPECT_EQ(*all.rbegin(), std::uint64_t{kThreads * kPerThread - 1});
}

TEST_F(AesGcmCipherTest, RefusesToSealOnceTheCounterIsExhausted) {
    AesGcmCipher master = makeCipher(SessionRole::Master);
    AesGcmCipher target = makeCipher(SessionRole::Target);
    AesGcmCipherTestPeer::setSendCounter(master, UINT64_MAX - 1);

    const Bytes last = master.encrypt(test::bytesOf("last"));
    ASSERT_EQ(last.size(), 4 + AesGcmCipher::kOverhead);
    EXPECT_EQ(open(target, last), test::bytesOf("last"));

    // A wrap to counter 0 would seal under a nonce already used.
    EXPECT_TRUE(master.encrypt(test::bytesOf("wrapped")).empty());
    EXPECT_TRUE(master.encrypt(test::bytesOf("again")).empty());
    EXPECT_EQ(log.count("AesGcmCipher::encrypt: send counter exhausted"), 2u);
}

TEST_F(AesGcmCipherTest, LargePayloadsRoundTrip) {
    AesGcmCipher master = makeCipher(SessionRole::Master);
    AesGcmCipher target = makeCipher(SessionRole::Target);
    Bytes frame(3 * 1024 * 1024 + 5);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 31 + 7);
    const Bytes packet = master.encrypt(frame);
    ASSERT_EQ(packet.size(), frame.size() + AesGcmCipher::kOverhead);
    EXPECT_EQ(open(target, packet), frame);
}

// Frames sealed one after another into one buffer: each packet is whole and opens, a smaller one
// after a larger one keeps the storage, and the independent vector still matches.
TEST_F(AesGcmCipherTest, PacketsSealedIntoOneBufferEachOpen) {
    AesGcmCipher master = makeCipher(SessionRole::Master);
    AesGcmCipher target = makeCipher(SessionRole::Target);
    Bytes packet;
    const Bytes large(70000, 0x11);
    ASSERT_TRUE(master.encryptInto(large.data(), large.size(), packet));
    EXPECT_EQ(open(target, packet), large);
    const std::uint8_t* storage = packet.data();
    const Bytes small(10, 0x22);
    ASSERT_TRUE(master.encryptInto(small.data(), small.size(), packet));
    EXPECT_EQ(packet.size(), small.size() + AesGcmCipher::kOverhead);
    EXPECT_EQ(packet.data(), storage);
    EXPECT_EQ(open(target, packet), small);

    AesGcmCipher fresh = makeCipher(SessionRole::Master);
    const Bytes plaintext = fromHex(kPlaintext);
    ASSERT_TRUE(fresh.encryptInto(plaintext.data(), plaintext.size(), packet));
    EXPECT_EQ(toHex(packet), kMasterPacket0);
}

}  // namespace
}  // namespace veltrix

namespace veltrix {
namespace {

// Each direction keeps one keyed context between packets; a context whose packet failed is
// dropped, so the packets after a forgery, an empty payload or a size change still match the
// independent vectors.
TEST_F(AesGcmCipherTest, KeptContextsStayCorrectAcrossFailuresAndSizes) {
    AesGcmCipher target = makeCipher(SessionRole::Target);
    Bytes forged = fromHex(kMasterPacket0);
    forged.back() ^= 1;
    EXPECT_TRUE(open(target, forged).empty());
    EXPECT_TRUE(open(target, fromHex(kTargetEmptyPacket0)).empty());  // wrong direction: fails too
    EXPECT_EQ(toHex(open(target, fromHex(kMasterPacket0))), kPlaintext);
    EXPECT_EQ(toHex(open(target, fromHex(kMasterPacketHighCounter))), kPlaintext);

    AesGcmCipher master = makeCipher(SessionRole::Master);
    AesGcmCipher peer = makeCipher(SessionRole::Target);
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1024}, std::size_t{70000}})
        EXPECT_EQ(open(peer, master.encrypt(Bytes(size, 0x5a))), Bytes(size, 0x5a));
    AesGcmCipherTestPeer::setSendCounter(master, 0x0102030405060708);
    EXPECT_EQ(toHex(master.encrypt(fromHex(kPlaintext))), kMasterPacketHighCounter);
}

// Threads that seal and open at once never share a kept context: every packet opens to what its
// thread sealed (the sanitizer build also watches the contexts themselves).
TEST_F(AesGcmCipherTest, ConcurrentSealersAndOpenersEachGetTheirOwnContext) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 1500;
    AesGcmCipher master = makeCipher(SessionRole::Master);
    AesGcmCipher target = makeCipher(SessionRole::Target);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const Bytes payload(static_cast<std::size_t>(16 + (i % 7) * 100), static_cast<std::uint8_t>(t));
                if (open(target, master.encrypt(payload)) != payload) ++mismatches;
                if (open(master, target.encrypt(payload)) != payload) ++mismatches;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace veltrix
