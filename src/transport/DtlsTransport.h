#pragma once

#include "transport/DtlsCertificate.h"
#include "transport/SessionDescription.h"

#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace veltrix {

// DTLS 1.2 over a datagram path (the ICE stream), through OpenSSL: one handshake with this
// connection's own certificate, then records both ways.
//
// The peer proves who it is only by its certificate: the handshake goes through only when the
// sha-256 digest of the certificate it presents equals one of the a=fingerprint values of its
// description; anything else ends with a bad-certificate alert. Each datagram the peer sends is
// untrusted input that OpenSSL decrypts and authenticates; records that do not open are dropped.
//
// Not thread-safe: it lives on the network thread, and its callbacks run there, inside its own
// calls. A callback must not destroy the transport.
class DtlsTransport {
public:
    enum class Role { Client, Server };
    enum class State { New, Handshaking, Connected, Failed, Closed };

    struct Callbacks {
        // One datagram to the peer.
        std::function<void(const std::uint8_t*, std::size_t)> sendDatagram;
        // Call handleTimeout() after this delay; a negative delay cancels the previous request.
        std::function<void(std::chrono::milliseconds)> armTimer;
        std::function<void()> connected;
        // One decrypted record.
        std::function<void(const std::uint8_t*, std::size_t)> data;
        std::function<void(const std::string& reason)> failed;
        // The peer closed the DTLS session (close_notify).
        std::function<void()> closed;
    };

    // The most a record carries; a larger send() is refused.
    static constexpr std::size_t kMaxRecordPayload = 16384;
    // Datagram size the handshake fits its messages into.
    static constexpr long kHandshakeMtu = 1200;

    DtlsTransport(std::shared_ptr<const DtlsCertificate> certificate, Role role,
                  std::vector<Sha256Fingerprint> peerFingerprints, Callbacks callbacks);
    ~DtlsTransport();
    DtlsTransport(const DtlsTransport&) = delete;
    DtlsTransport& operator=(const DtlsTransport&) = delete;

    // Begins the handshake: the client sends its hello, the server waits for one.
    void start();
    // One datagram from the peer.
    void receive(const std::uint8_t* data, std::size_t size);
    // Sends `data` as one record. False when not connected or too large.
    bool send(const std::uint8_t* data, std::size_t size);
    // Tells the peer the session ends (close_notify) and stops.
    void close();
    void handleTimeout();

    State state() const { return state_; }
    Role role() const { return role_; }

    // Whether a datagram on the ICE stream is DTLS (first byte 20 to 63), as opposed to STUN or
    // media, which share the path.
    static bool isDtlsRecord(const std::uint8_t* data, std::size_t size) {
        return size > 0 && data[0] >= 20 && data[0] <= 63;
    }

private:
    static int verifyPeer(int preverified, X509_STORE_CTX* store);
    static BIO_METHOD* datagramMethod();
    static int bioWrite(BIO* bio, const char* data, int size);
    static int bioRead(BIO* bio, char* data, int size);
    static long bioControl(BIO* bio, int command, long number, void* pointer);

    bool wellFormed(const std::uint8_t* data, std::size_t size) const;
    void continueHandshake();
    void readRecords();
    void fail(const std::string& reason);
    void rearmTimer();

    std::shared_ptr<const DtlsCertificate> certificate_;
    const Role role_;
    const std::vector<Sha256Fingerprint> peerFingerprints_;
    Callbacks callbacks_;
    SSL_CTX* context_ = nullptr;
    SSL* ssl_ = nullptr;
    State state_ = State::New;
    bool peerVerified_ = false;
    // The datagram being read, while receive() hands it to OpenSSL.
    const std::uint8_t* inbound_ = nullptr;
    std::size_t inboundSize_ = 0;
    std::vector<std::uint8_t> plaintext_;
};

}  // namespace veltrix
