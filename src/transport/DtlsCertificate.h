#pragma once

#include "transport/SessionDescription.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace veltrix {

// The self-signed certificate one peer connection presents in its DTLS handshake: a fresh
// ECDSA P-256 key and certificate per connection, known to the peer only by the sha-256
// fingerprint in this side's description. Immutable once made; shared by the DTLS transport.
class DtlsCertificate {
public:
    // Null when OpenSSL cannot make one (logged).
    static std::shared_ptr<const DtlsCertificate> generate();

    EVP_PKEY* key() const { return key_.get(); }
    X509* certificate() const { return certificate_.get(); }
    const Sha256Fingerprint& fingerprint() const { return fingerprint_; }

    // The sha-256 digest of a certificate's DER form; nothing when OpenSSL fails.
    static std::optional<Sha256Fingerprint> fingerprintOf(X509* certificate);

private:
    struct KeyFree {
        void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    };
    struct CertificateFree {
        void operator()(X509* certificate) const { X509_free(certificate); }
    };

    std::unique_ptr<EVP_PKEY, KeyFree> key_;
    std::unique_ptr<X509, CertificateFree> certificate_;
    Sha256Fingerprint fingerprint_{};
};

}  // namespace veltrix
