#pragma once

#include <QByteArray>
#include <QString>

#include <filesystem>

namespace veltrix::test {

// A throw-away code-signing CA with signer certificates made by the openssl command line, and
// packages signed with `openssl cms` in the appended-signature layout the client verifies.
class TestCodeSigning {
public:
    // Makes the CA (ca.pem in `folder`) and one signer per call of addSigner.
    explicit TestCodeSigning(const std::filesystem::path& folder);

    const std::filesystem::path& caCertificate() const { return ca_; }
    // A signer certificate with `commonName`, issued by the CA, codeSigning usage unless
    // `codeSigningUsage` is false (then serverAuth only).
    void addSigner(const QString& commonName, bool codeSigningUsage = true);
    // `package` ‖ detached DER CMS signature ‖ 4-byte big-endian length ‖ magic.
    QByteArray sign(const QByteArray& package, const QString& signerCommonName) const;

private:
    std::filesystem::path folder_;
    std::filesystem::path ca_;
    std::filesystem::path caKey_;
};

}  // namespace veltrix::test
