#include "transport/DtlsTransport.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <thread>
#include <vector>

namespace veltrix {
namespace {

// Two DTLS ends joined by an in-memory datagram path. Datagrams wait in a queue that run()
// drains, so neither end is re-entered from inside OpenSSL.
class DtlsPair {
public:
    struct End {
        std::unique_ptr<DtlsTransport> transport;
        bool connected = false;
        bool closed = false;
        std::string failure;
        std::vector<std::string> records;
        bool timerArmed = false;
    };

    DtlsPair(std::vector<Sha256Fingerprint> clientExpects, std::vector<Sha256Fingerprint> serverExpects,
             std::shared_ptr<const DtlsCertificate> clientCertificate, std::shared_ptr<const DtlsCertificate> serverCertificate) {
        client_.transport = make(client_, 0, std::move(clientCertificate), DtlsTransport::Role::Client, std::move(clientExpects));
        server_.transport = make(server_, 1, std::move(serverCertificate), DtlsTransport::Role::Server, std::move(serverExpects));
    }

    void start() {
        server_.transport->start();
        client_.transport->start();
        run();
    }

    // Delivers queued datagrams until none is left (or a bound is reached).
    void run() {
        for (int i = 0; i < 1000 && !queue_.empty(); ++i) {
            auto [to, datagram] = std::move(queue_.front());
            queue_.pop_front();
            if (dropNext_ > 0) {
                --dropNext_;
                continue;
            }
            (to == 0 ? client_ : server_).transport->receive(datagram.data(), datagram.size());
        }
    }

    // Feeds bytes to one end as if they came from the path.
    void inject(int to, const std::vector<std::uint8_t>& datagram) { queue_.emplace_back(to, datagram); }
    void dropNext(int count) { dropNext_ = count; }

    End client_;
    End server_;

private:
    std::unique_ptr<DtlsTransport> make(End& end, int self, std::shared_ptr<const DtlsCertificate> certificate,
                                        DtlsTransport::Role role, std::vector<Sha256Fingerprint> expects) {
        return std::make_unique<DtlsTransport>(
            std::move(certificate), role, std::move(expects),
            DtlsTransport::Callbacks{
                [this, self](const std::uint8_t* data, std::size_t size) {
                    queue_.emplace_back(1 - self, std::vector<std::uint8_t>(data, data + size));
                },
                [&end](std::chrono::milliseconds delay) { end.timerArmed = delay.count() >= 0; },
                [&end] { end.connected = true; },
                [&end](const std::uint8_t* data, std::size_t size) {
                    end.records.emplace_back(reinterpret_cast<const char*>(data), size);
                },
                [&end](const std::string& reason) { end.failure = reason; },
                [&end] { end.closed = true; },
            });
    }

    std::deque<std::pair<int, std::vector<std::uint8_t>>> queue_;
    int dropNext_ = 0;
};

bool send(DtlsTransport& transport, const std::string& text) {
    return transport.send(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

TEST(DtlsTransportTest, HandshakesWithTheNamedCertificatesAndCarriesRecords) {
    const auto clientCertificate = DtlsCertificate::generate();
    const auto serverCertificate = DtlsCertificate::generate();
    ASSERT_TRUE(clientCertificate && serverCertificate);
    EXPECT_NE(clientCertificate->fingerprint(), serverCertificate->fingerprint());  // fresh per connection
    DtlsPair pair({serverCertificate->fingerprint()}, {clientCertificate->fingerprint()}, clientCertificate,
                  serverCertificate);
    pair.start();
    ASSERT_TRUE(pair.client_.connected) << pair.client_.failure;
    ASSERT_TRUE(pair.server_.connected) << pair.server_.failure;
    EXPECT_FALSE(pair.client_.timerArmed);

    const std::string largest(DtlsTransport::kMaxRecordPayload, 'r');
    EXPECT_TRUE(send(*pair.client_.transport, "hello"));
    EXPECT_TRUE(send(*pair.server_.transport, largest));
    EXPECT_FALSE(send(*pair.server_.transport, largest + "x"));
    pair.run();
    EXPECT_EQ(pair.server_.records, std::vector<std::string>{"hello"});
    EXPECT_EQ(pair.client_.records, std::vector<std::string>{largest});
    EXPECT_TRUE(pair.server_.failure.empty()) << pair.server_.failure;

    pair.client_.transport->close();
    pair.run();
    EXPECT_TRUE(pair.server_.closed);
    EXPECT_FALSE(send(*pair.server_.transport, "after close"));
}

// Either end refuses a certificate other than the one its peer's description named, and the
// other end learns it from the alert.
TEST(DtlsTransportTest, ACertificateOtherThanTheFingerprintNamesIsRefused) {
    const auto client = DtlsCertificate::generate();
    const auto server = DtlsCertificate::generate();
    const auto stranger = DtlsCertificate::generate();
    ASSERT_TRUE(client && server && stranger);
    for (const bool clientIsWrong : {true, false}) {
        SCOPED_TRACE(clientIsWrong ? "the client presents another certificate" : "the server presents another certificate");
        DtlsPair pair({server->fingerprint()}, {client->fingerprint()}, clientIsWrong ? stranger : client,
                      clientIsWrong ? server : stranger);
        pair.start();
        EXPECT_FALSE(pair.client_.connected);
        EXPECT_FALSE(pair.server_.connected);
        DtlsPair::End& verifier = clientIsWrong ? pair.server_ : pair.client_;
        DtlsPair::End& impostor = clientIsWrong ? pair.client_ : pair.server_;
        EXPECT_EQ(verifier.failure, "the peer's certificate does not match its fingerprint");
        EXPECT_FALSE(impostor.failure.empty());
        EXPECT_FALSE(send(*impostor.transport, "x"));
    }
}

// Datagrams that are not records of this session (forged, truncated, or from someone else) are
// dropped, and the session goes on: the record sent after each still arrives.
TEST(DtlsTransportTest, ForgedDatagramsAreDroppedAndTheSessionGoesOn) {
    const auto client = DtlsCertificate::generate();
    const auto server = DtlsCertificate::generate();
    DtlsPair pair({server->fingerprint()}, {client->fingerprint()}, client, server);
    pair.start();
    ASSERT_TRUE(pair.server_.connected);
    std::vector<std::vector<std::uint8_t>> forged = {
        {},
        {0x00, 0x01, 0x00, 0x00},                          // STUN-like, not DTLS
        {23, 0xfe, 0xfd, 0, 1},                            // a header cut short
        {23, 0xfe, 0xfd, 0, 1, 0, 0, 0, 0, 0, 9, 0, 40, 1},  // a length past the datagram's end
        {23, 0x03, 0x03, 0, 1, 0, 0, 0, 0, 0, 9, 0, 0},    // TLS, not DTLS
    };
    // Every content type at every epoch, with bodies too short to hold a nonce and tag, or long
    // enough but not sealed with the session's keys; sequence numbers ahead of the real ones, so
    // replay protection does not drop them first.
    for (const std::uint8_t type : {20, 21, 22, 23})
        for (const std::uint8_t epoch : {0, 1, 2})
            for (const std::uint8_t length : {0, 1, 15, 16, 23, 24, 60}) {
                std::vector<std::uint8_t> record = {type, 0xfe, 0xfd, 0, epoch, 0, 0, 0, 0x10, 0, 9, 0, length};
                for (std::uint8_t i = 0; i < length; ++i) record.push_back(i);
                forged.push_back(record);
            }
    int delivered = 0;
    for (const auto& datagram : forged) {
        pair.inject(1, datagram);
        pair.run();
        ASSERT_TRUE(send(*pair.client_.transport, "after"));
        pair.run();
        EXPECT_EQ(pair.server_.records.size(), static_cast<std::size_t>(++delivered)) << "after a forged datagram of "
                                                                                        << datagram.size() << " bytes";
        EXPECT_TRUE(pair.server_.failure.empty()) << pair.server_.failure;
    }
}

TEST(DtlsTransportTest, ALostHandshakeFlightIsSentAgainOnTheTimer) {
    const auto client = DtlsCertificate::generate();
    const auto server = DtlsCertificate::generate();
    DtlsPair pair({server->fingerprint()}, {client->fingerprint()}, client, server);
    pair.dropNext(1);  // the client's hello
    pair.start();
    EXPECT_FALSE(pair.client_.connected);
    EXPECT_TRUE(pair.client_.timerArmed);
    std::this_thread::sleep_for(std::chrono::milliseconds(450));  // the first retransmission is due after 400 ms
    pair.client_.transport->handleTimeout();
    pair.run();
    EXPECT_TRUE(pair.client_.connected) << pair.client_.failure;
    EXPECT_TRUE(pair.server_.connected) << pair.server_.failure;
}

}  // namespace
}  // namespace veltrix
