#include "transport/DtlsTransport.h"

#include <openssl/err.h>

#include "crypto/OpenSslError.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>

namespace veltrix {

namespace {

// What a WebRTC peer offers and takes: ECDHE with AEAD ciphers, ECDSA (or RSA) certificates.
constexpr const char* kCipherList =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* kGroups = "X25519:P-256:P-384";

// Handshake retransmission: a first wait of 400 ms, doubled up to 3 s.
constexpr unsigned int kFirstRetransmitUs = 400'000;
constexpr unsigned int kLongestRetransmitUs = 3'000'000;

unsigned int nextRetransmitTimeout(SSL*, unsigned int previousUs) {
    return previousUs == 0 ? kFirstRetransmitUs : std::min(previousUs * 2, kLongestRetransmitUs);
}


}  // namespace

DtlsTransport::DtlsTransport(std::shared_ptr<const DtlsCertificate> certificate, Role role,
                             std::vector<Sha256Fingerprint> peerFingerprints, Callbacks callbacks)
    : certificate_(std::move(certificate)),
      role_(role),
      peerFingerprints_(std::move(peerFingerprints)),
      callbacks_(std::move(callbacks)),
      plaintext_(kMaxRecordPayload + 256) {
    ERR_clear_error();
    context_ = SSL_CTX_new(DTLS_method());
    bool ok = context_ && certificate_ && SSL_CTX_set_min_proto_version(context_, DTLS1_2_VERSION) == 1 &&
              SSL_CTX_set_max_proto_version(context_, DTLS1_2_VERSION) == 1 &&
              SSL_CTX_set_cipher_list(context_, kCipherList) == 1 && SSL_CTX_set1_groups_list(context_, kGroups) == 1 &&
              SSL_CTX_use_certificate(context_, certificate_->certificate()) == 1 &&
              SSL_CTX_use_PrivateKey(context_, certificate_->key()) == 1 && SSL_CTX_check_private_key(context_) == 1;
    if (ok) {
        SSL_CTX_set_session_cache_mode(context_, SSL_SESS_CACHE_OFF);
        SSL_CTX_set_options(context_, SSL_OP_NO_QUERY_MTU | SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
        // Both ends present a certificate; the fingerprint, not a CA, decides (verifyPeer).
        SSL_CTX_set_verify(context_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, &DtlsTransport::verifyPeer);
        ssl_ = SSL_new(context_);
    }
    BIO* bio = ssl_ ? BIO_new(datagramMethod()) : nullptr;
    if (!bio) {
        spdlog::error("DtlsTransport: cannot set up DTLS: {}", crypto::openSslErrorText());
        state_ = State::Failed;
        return;
    }
    BIO_set_data(bio, this);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_, bio, bio);
    SSL_set_app_data(ssl_, this);
    SSL_set_mtu(ssl_, kHandshakeMtu);
    DTLS_set_link_mtu(ssl_, kHandshakeMtu);
    DTLS_set_timer_cb(ssl_, &nextRetransmitTimeout);
    if (role_ == Role::Client)
        SSL_set_connect_state(ssl_);
    else
        SSL_set_accept_state(ssl_);
}

DtlsTransport::~DtlsTransport() {
    if (ssl_) SSL_free(ssl_);  // frees the BIO too
    if (context_) SSL_CTX_free(context_);
}

void DtlsTransport::start() {
    if (state_ != State::New) return;
    state_ = State::Handshaking;
    if (role_ == Role::Client) continueHandshake();
}

void DtlsTransport::receive(const std::uint8_t* data, std::size_t size) {
    if (state_ != State::Handshaking && state_ != State::Connected) return;
    if (!isDtlsRecord(data, size) || !wellFormed(data, size)) return;
    inbound_ = data;
    inboundSize_ = size;
    if (state_ == State::Handshaking) continueHandshake();
    // Records that follow the handshake's last message in the same datagram.
    if (state_ == State::Connected) readRecords();
    inbound_ = nullptr;
    inboundSize_ = 0;
}

bool DtlsTransport::send(const std::uint8_t* data, std::size_t size) {
    if (state_ != State::Connected || size == 0 || size > kMaxRecordPayload) return false;
    const int written = SSL_write(ssl_, data, static_cast<int>(size));
    if (written > 0) return true;
    const int error = SSL_get_error(ssl_, written);
    if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) fail("send failed: " + crypto::openSslErrorText());
    return false;
}

void DtlsTransport::close() {
    if (state_ == State::Connected) SSL_shutdown(ssl_);
    if (state_ == State::Handshaking || state_ == State::Connected || state_ == State::New) state_ = State::Closed;
    callbacks_.armTimer(std::chrono::milliseconds(-1));
}

void DtlsTransport::handleTimeout() {
    if (state_ != State::Handshaking) return;
    if (DTLSv1_handle_timeout(ssl_) < 0) {
        fail("handshake retransmissions exhausted");
        return;
    }
    rearmTimer();
}

void DtlsTransport::continueHandshake() {
    ERR_clear_error();
    const int result = SSL_do_handshake(ssl_);
    if (result == 1) {
        const auto presented = DtlsCertificate::fingerprintOf(SSL_get0_peer_certificate(ssl_));
        if (!peerVerified_ || !presented ||
            std::find(peerFingerprints_.begin(), peerFingerprints_.end(), *presented) == peerFingerprints_.end()) {
            fail("the peer's certificate does not match its fingerprint");
            return;
        }
        state_ = State::Connected;
        callbacks_.armTimer(std::chrono::milliseconds(-1));
        spdlog::debug("DtlsTransport: handshake done ({}, {})", role_ == Role::Client ? "client" : "server",
                      SSL_get_cipher_name(ssl_));
        callbacks_.connected();
        return;
    }
    const int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        rearmTimer();
        return;
    }
    if (!peerVerified_ && SSL_get_verify_result(ssl_) != X509_V_OK)
        fail("the peer's certificate does not match its fingerprint");
    else
        fail("handshake failed: " + crypto::openSslErrorText());
}

void DtlsTransport::readRecords() {
    while (state_ == State::Connected) {
        ERR_clear_error();
        const int read = SSL_read(ssl_, plaintext_.data(), static_cast<int>(plaintext_.size()));
        if (read > 0) {
            callbacks_.data(plaintext_.data(), static_cast<std::size_t>(read));
            continue;
        }
        const int error = SSL_get_error(ssl_, read);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return;
        if (error == SSL_ERROR_ZERO_RETURN) {
            state_ = State::Closed;
            callbacks_.closed();
            return;
        }
        fail("receive failed: " + crypto::openSslErrorText());
    }
}

void DtlsTransport::fail(const std::string& reason) {
    if (state_ == State::Failed || state_ == State::Closed) return;
    state_ = State::Failed;
    callbacks_.armTimer(std::chrono::milliseconds(-1));
    callbacks_.failed(reason);
}

void DtlsTransport::rearmTimer() {
    timeval timeout{};
    if (DTLSv1_get_timeout(ssl_, &timeout) == 1)
        callbacks_.armTimer(std::chrono::milliseconds(timeout.tv_sec * 1000 + timeout.tv_usec / 1000));
    else
        callbacks_.armTimer(std::chrono::milliseconds(-1));
}

// A datagram of whole DTLS records whose encrypted ones are long enough to hold the cipher's
// nonce and tag. OpenSSL drops most malformed records itself, but an encrypted record shorter
// than that leaves its reading state stuck, so one forged datagram would silence the session.
bool DtlsTransport::wellFormed(const std::uint8_t* data, std::size_t size) const {
    constexpr std::size_t kHeaderSize = 13;
    constexpr std::size_t kLongestRecord = kMaxRecordPayload + 2048;
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_);
    if (!cipher) cipher = SSL_get_pending_cipher(ssl_);
    // AES-GCM carries an 8-byte explicit nonce before its 16-byte tag; ChaCha20-Poly1305 only the tag.
    const std::size_t shortestEncrypted =
        cipher && SSL_CIPHER_get_cipher_nid(cipher) == NID_chacha20_poly1305 ? 16 : 24;
    while (size > 0) {
        if (size < kHeaderSize || data[1] != 0xfe) return false;
        const std::size_t epoch = static_cast<std::size_t>(data[3] << 8 | data[4]);
        const std::size_t length = static_cast<std::size_t>(data[11] << 8 | data[12]);
        if (length > kLongestRecord || length > size - kHeaderSize) return false;
        if (epoch != 0 && length != 0 && length < shortestEncrypted) return false;
        data += kHeaderSize + length;
        size -= kHeaderSize + length;
    }
    return true;
}

// Self-signed certificates are expected; what counts is that the one presented is the one the
// peer's description named.
int DtlsTransport::verifyPeer(int, X509_STORE_CTX* store) {
    if (X509_STORE_CTX_get_error_depth(store) != 0) return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self = ssl ? static_cast<DtlsTransport*>(SSL_get_app_data(ssl)) : nullptr;
    if (!self) return 0;
    const auto presented = DtlsCertificate::fingerprintOf(X509_STORE_CTX_get_current_cert(store));
    const bool matches = presented && std::find(self->peerFingerprints_.begin(), self->peerFingerprints_.end(),
                                                *presented) != self->peerFingerprints_.end();
    self->peerVerified_ = matches;
    if (!matches) X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
    else X509_STORE_CTX_set_error(store, X509_V_OK);
    return matches ? 1 : 0;
}

// A BIO that hands each record OpenSSL writes to the ICE stream as one datagram and gives
// OpenSSL the one datagram receive() is processing.
BIO_METHOD* DtlsTransport::datagramMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ice datagram");
        BIO_meth_set_write(m, &DtlsTransport::bioWrite);
        BIO_meth_set_read(m, &DtlsTransport::bioRead);
        BIO_meth_set_ctrl(m, &DtlsTransport::bioControl);
        return m;
    }();
    return method;
}

int DtlsTransport::bioWrite(BIO* bio, const char* data, int size) {
    auto* self = static_cast<DtlsTransport*>(BIO_get_data(bio));
    if (size <= 0) return 0;
    // A datagram that cannot go out is lost, as on any datagram path; DTLS and SCTP recover.
    self->callbacks_.sendDatagram(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
    return size;
}

int DtlsTransport::bioRead(BIO* bio, char* data, int size) {
    auto* self = static_cast<DtlsTransport*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (!self->inbound_ || size <= 0) {
        BIO_set_retry_read(bio);
        return -1;
    }
    const std::size_t count = std::min(self->inboundSize_, static_cast<std::size_t>(size));
    std::memcpy(data, self->inbound_, count);
    self->inbound_ = nullptr;
    self->inboundSize_ = 0;
    return static_cast<int>(count);
}

long DtlsTransport::bioControl(BIO*, int command, long, void*) {
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_DGRAM_QUERY_MTU:
        return kHandshakeMtu;
    case BIO_CTRL_WPENDING:
    case BIO_CTRL_PENDING:
    case BIO_CTRL_DGRAM_GET_MTU_OVERHEAD:
    default:
        return 0;
    }
}

}  // namespace veltrix
