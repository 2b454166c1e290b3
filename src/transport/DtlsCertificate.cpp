#include "transport/DtlsCertificate.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#include "crypto/OpenSslError.h"

#include <spdlog/spdlog.h>

#include <string>

namespace veltrix {

namespace {

// Validity around now: a peer's clock may be a little off, and a connection lasts hours at most.
constexpr long kValidBeforeSeconds = 24 * 3600;
constexpr long kValidAfterSeconds = 30L * 24 * 3600;


}  // namespace

std::shared_ptr<const DtlsCertificate> DtlsCertificate::generate() {
    auto result = std::shared_ptr<DtlsCertificate>(new DtlsCertificate);
    result->key_.reset(EVP_EC_gen("P-256"));
    result->certificate_.reset(X509_new());
    X509* certificate = result->certificate_.get();
    bool ok = result->key_ && certificate && X509_set_version(certificate, 2) == 1;

    // A random positive serial and a random common name: nothing in the certificate links two
    // connections of the same device.
    unsigned char random[16];
    ok = ok && RAND_bytes(random, sizeof(random)) == 1;
    if (ok) {
        random[0] &= 0x7f;
        BIGNUM* serial = BN_bin2bn(random, 8, nullptr);
        ok = serial && BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(certificate)) != nullptr;
        BN_free(serial);
    }
    std::string name;
    for (int i = 8; i < 16; ++i) name += "0123456789abcdef"[random[i] & 0x0f];
    X509_NAME* subject = X509_get_subject_name(certificate);
    ok = ok &&
         X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(name.c_str()),
                                    -1, -1, 0) == 1 &&
         X509_set_issuer_name(certificate, subject) == 1 &&
         X509_gmtime_adj(X509_getm_notBefore(certificate), -kValidBeforeSeconds) != nullptr &&
         X509_gmtime_adj(X509_getm_notAfter(certificate), kValidAfterSeconds) != nullptr &&
         X509_set_pubkey(certificate, result->key_.get()) == 1 &&
         X509_sign(certificate, result->key_.get(), EVP_sha256()) > 0;
    const auto fingerprint = ok ? fingerprintOf(certificate) : std::nullopt;
    if (!fingerprint) {
        spdlog::error("DtlsCertificate: cannot make the connection's certificate: {}", crypto::openSslErrorText());
        return nullptr;
    }
    result->fingerprint_ = *fingerprint;
    return result;
}

std::optional<Sha256Fingerprint> DtlsCertificate::fingerprintOf(X509* certificate) {
    Sha256Fingerprint digest{};
    unsigned int size = 0;
    if (!certificate || X509_digest(certificate, EVP_sha256(), digest.data(), &size) != 1 || size != digest.size())
        return std::nullopt;
    return digest;
}

}  // namespace veltrix
