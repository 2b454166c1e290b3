#include "support/TestCertificates.h"

#include <QProcess>
#include <QStringList>

#include <fstream>
#include <stdexcept>

namespace veltrix::test {
namespace {

QString q(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

}  // namespace

void runOpenssl(const QStringList& arguments) {
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        throw std::runtime_error("openssl " + arguments.join(' ').toStdString() + " failed: " +
                                 openssl.readAll().toStdString());
    }
}

TestCertificates makeTestCertificates(const std::filesystem::path& folder, const std::string& caName) {
    std::filesystem::create_directories(folder);
    TestCertificates out{folder / "ca.pem", folder / "server.pem", folder / "server.key"};
    const auto caKey = folder / "ca.key";
    const auto request = folder / "server.csr";
    const auto extensions = folder / "server.ext";
    std::ofstream(extensions) << "basicConstraints=CA:FALSE\n"
                                 "keyUsage=digitalSignature,keyEncipherment\n"
                                 "extendedKeyUsage=serverAuth\n"
                                 "subjectAltName=DNS:localhost,IP:127.0.0.1\n";

    runOpenssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", q(caKey),
                "-out", q(out.caCertificate), "-days", "2", "-subj", "/CN=" + QString::fromStdString(caName),
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
    runOpenssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", q(out.serverKey),
                "-out", q(request), "-subj", "/CN=localhost"});
    runOpenssl({"x509", "-req", "-in", q(request), "-CA", q(out.caCertificate), "-CAkey", q(caKey),
                "-CAcreateserial", "-out", q(out.serverCertificate), "-days", "2", "-extfile", q(extensions)});
    return out;
}

}  // namespace veltrix::test
