#include "transport/NetworkThread.h"
#include "transport/SctpAssociation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace veltrix {
namespace {

// Two associations joined by an in-memory packet path on a network thread. Packets travel as
// posted work, so neither end is re-entered from inside usrsctp.
class SctpPair {
public:
    struct End {
        std::unique_ptr<SctpAssociation> sctp;
        bool connected = false;
        std::string failure;
        bool reading = true;
        std::vector<SctpAssociation::Message> messages;
        int writable = 0;
    };

    SctpPair(SctpAssociation::Settings first, SctpAssociation::Settings second) : state_(std::make_shared<State>()) {
        thread_.invoke([&] {
            make(0, first);
            make(1, second);
            state_->ends[0].sctp->connect();
            state_->ends[1].sctp->connect();
        });
    }
    ~SctpPair() {
        thread_.invoke([&] {
            state_->gone = true;
            state_->ends[0].sctp.reset();
            state_->ends[1].sctp.reset();
        });
    }

    // Runs `work` with both ends on the network thread.
    template <typename Work>
    auto with(Work&& work) {
        decltype(work(state_->ends)) result{};
        thread_.invoke([&] { result = work(state_->ends); });
        return result;
    }

    template <typename Predicate>
    bool waitFor(Predicate&& predicate, std::chrono::milliseconds limit = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (with(predicate)) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    // Reads what waits at `end` (after it was told not to read).
    void readNow(int end) {
        with([end](End* ends) {
            ends[end].reading = true;
            drain(ends[end]);
            return true;
        });
    }

private:
    struct State {
        End ends[2];
        bool gone = false;
    };

    static void drain(End& end) {
        while (end.reading && end.sctp) {
            auto message = end.sctp->receive();
            if (!message) return;
            end.messages.push_back(std::move(*message));
        }
    }

    void make(int self, SctpAssociation::Settings settings) {
        End& end = state_->ends[self];
        std::weak_ptr<State> weak = state_;
        end.sctp = std::make_unique<SctpAssociation>(
            settings, SctpAssociation::Callbacks{
                          [weak, self](const std::uint8_t* data, std::size_t size) {
                              NetworkThread::current()->post([weak, self, packet = std::vector<std::uint8_t>(data, data + size)] {
                                  auto state = weak.lock();
                                  if (state && !state->gone && state->ends[1 - self].sctp)
                                      state->ends[1 - self].sctp->input(packet.data(), packet.size());
                              });
                          },
                          [&end] { end.connected = true; },
                          [&end](const std::string& reason) { end.failure = reason; },
                          [] {},
                          [&end] { drain(end); },
                          [&end] { ++end.writable; },
                          [](std::uint16_t) {},
                      });
    }

    NetworkThread thread_;
    std::shared_ptr<State> state_;
};

std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 13));
    return data;
}

// Sends `data` as one message on `stream` in pieces, as far as SCTP takes it now; returns the
// bytes taken.
std::size_t sendPieces(SctpAssociation& sctp, std::uint16_t stream, const std::vector<std::uint8_t>& data,
                       std::size_t offset, std::size_t piece = 64 * 1024) {
    while (offset < data.size()) {
        const std::size_t size = std::min(piece, data.size() - offset);
        const std::int64_t sent = sctp.send(stream, 53, {}, data.data() + offset, size, offset + size == data.size());
        if (sent <= 0) break;
        offset += static_cast<std::size_t>(sent);
    }
    return offset;
}

TEST(SctpAssociationTest, APieceWiseMessageArrivesWholeAndALargerOneThanAllowedEndsTheAssociation) {
    SctpAssociation::Settings sender;
    SctpAssociation::Settings receiver;
    receiver.maxMessageSize = 1024 * 1024;
    SctpPair pair(sender, receiver);
    ASSERT_TRUE(pair.waitFor([](SctpPair::End* ends) { return ends[0].connected && ends[1].connected; }));

    const auto allowed = pattern(1024 * 1024, 1);
    std::size_t sent = 0;
    ASSERT_TRUE(pair.waitFor([&](SctpPair::End* ends) {
        sent = sendPieces(*ends[0].sctp, 1, allowed, sent);
        return sent == allowed.size();
    }));
    ASSERT_TRUE(pair.waitFor([](SctpPair::End* ends) { return ends[1].messages.size() == 1; }));
    pair.with([&](SctpPair::End* ends) {
        const auto& message = ends[1].messages[0];
        EXPECT_EQ(message.stream, 1);
        EXPECT_EQ(message.ppid, 53u);
        EXPECT_TRUE(message.data == QByteArray(reinterpret_cast<const char*>(allowed.data()), qsizetype(allowed.size())));
        return true;
    });

    const auto tooLarge = pattern(1024 * 1024 + 1, 2);
    sent = 0;
    pair.waitFor([&](SctpPair::End* ends) {
        sent = sendPieces(*ends[0].sctp, 1, tooLarge, sent);
        return sent == tooLarge.size() || !ends[1].failure.empty();
    });
    ASSERT_TRUE(pair.waitFor([](SctpPair::End* ends) { return !ends[1].failure.empty(); }));
    pair.with([](SctpPair::End* ends) {
        EXPECT_EQ(ends[1].failure, "message larger than the maximum message size");
        EXPECT_EQ(ends[1].messages.size(), 1u);
        return true;
    });
}

// A receiver that reads nothing closes its window: the sender's buffer fills and SCTP takes no
// more, with the receiver holding no more than its buffer. Once it reads, everything arrives.
TEST(SctpAssociationTest, AReceiverThatDoesNotReadHoldsTheSenderBack) {
    SctpAssociation::Settings settings;
    settings.sendBuffer = 1024 * 1024;
    settings.receiveBuffer = 1024 * 1024;
    SctpPair pair(settings, settings);
    ASSERT_TRUE(pair.waitFor([](SctpPair::End* ends) { return ends[0].connected && ends[1].connected; }));
    pair.with([](SctpPair::End* ends) { return ends[1].reading = false; });

    const auto message = pattern(8 * 1024 * 1024, 3);
    std::size_t sent = 0;
    std::size_t stalledAt = 0;
    // Sends until SCTP has taken nothing for a while: the window is shut.
    for (int quiet = 0; quiet < 40 && sent < message.size(); std::this_thread::sleep_for(10ms)) {
        const std::size_t before = sent;
        sent = pair.with([&](SctpPair::End* ends) { return sendPieces(*ends[0].sctp, 3, message, sent); });
        quiet = sent == before ? quiet + 1 : 0;
        stalledAt = sent;
    }
    EXPECT_LT(stalledAt, std::size_t{4 * 1024 * 1024}) << "the sender was not held back";
    EXPECT_GT(stalledAt, std::size_t{0});
    pair.with([](SctpPair::End* ends) { return ends[1].messages.empty(); });

    pair.readNow(1);
    ASSERT_TRUE(pair.waitFor([&](SctpPair::End* ends) {
        sent = sendPieces(*ends[0].sctp, 3, message, sent);
        SctpPair::End& receiver = ends[1];
        while (auto next = receiver.sctp->receive()) receiver.messages.push_back(std::move(*next));
        return receiver.messages.size() == 1;
    }, 60s));
    pair.with([&](SctpPair::End* ends) {
        EXPECT_TRUE(ends[1].messages[0].data ==
                    QByteArray(reinterpret_cast<const char*>(message.data()), qsizetype(message.size())));
        EXPECT_TRUE(ends[1].failure.empty());
        return true;
    });
}

}  // namespace
}  // namespace veltrix
