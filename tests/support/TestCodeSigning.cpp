#include "support/TestCodeSigning.h"

#include "support/TestCertificates.h"

#include <QFile>
#include <QStringList>

#include <fstream>
#include <stdexcept>

namespace veltrix::test {
namespace {

QString q(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

std::string fileStem(const QString& commonName) {
    std::string stem;
    for (const QChar c : commonName) stem += c.isLetterOrNumber() ? static_cast<char>(c.toLatin1()) : '_';
    return stem;
}

}  // namespace

TestCodeSigning::TestCodeSigning(const std::filesystem::path& folder)
    : folder_(folder), ca_(folder / "codesign-ca.pem"), caKey_(folder / "codesign-ca.key") {
    std::filesystem::create_directories(folder_);
    runOpenssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", q(caKey_),
                "-out", q(ca_), "-days", "2", "-subj", "/CN=Veltrix Test Code Signing CA", "-addext",
                "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
}

void TestCodeSigning::addSigner(const QString& commonName, bool codeSigningUsage) {
    const auto stem = folder_ / fileStem(commonName);
    const auto extensions = folder_ / (fileStem(commonName) + ".ext");
    std::ofstream(extensions) << "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                              << "extendedKeyUsage=" << (codeSigningUsage ? "codeSigning" : "serverAuth") << "\n";
    runOpenssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                q(stem) + ".key", "-out", q(stem) + ".csr", "-subj", "/O=Test/CN=" + commonName});
    runOpenssl({"x509", "-req", "-in", q(stem) + ".csr", "-CA", q(ca_), "-CAkey", q(caKey_), "-CAcreateserial",
                "-out", q(stem) + ".pem", "-days", "2", "-extfile", q(extensions)});
}

QByteArray TestCodeSigning::sign(const QByteArray& package, const QString& signerCommonName) const {
    const auto stem = folder_ / fileStem(signerCommonName);
    const auto input = folder_ / "package.bin";
    const auto output = folder_ / "package.sig";
    {
        QFile file(q(input));
        if (!file.open(QIODevice::WriteOnly) || file.write(package) != package.size())
            throw std::runtime_error("cannot write package");
    }
    runOpenssl({"cms", "-sign", "-binary", "-md", "sha256", "-outform", "DER", "-nosmimecap", "-in", q(input),
                "-signer", q(stem) + ".pem", "-inkey", q(stem) + ".key", "-out", q(output)});
    QFile file(q(output));
    if (!file.open(QIODevice::ReadOnly)) throw std::runtime_error("no signature written");
    const QByteArray signature = file.readAll();
    const quint32 length = static_cast<quint32>(signature.size());
    QByteArray trailer;
    trailer.append(static_cast<char>(length >> 24)).append(static_cast<char>(length >> 16));
    trailer.append(static_cast<char>(length >> 8)).append(static_cast<char>(length));
    trailer.append("VLTXSIG1", 8);
    return package + signature + trailer;
}

}  // namespace veltrix::test
