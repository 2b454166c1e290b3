#include <gtest/gtest.h>

#include <QEventLoop>
#include <QFile>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTimer>

#include <fstream>

#include "platform/TrustedCertificates.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/TestCertificates.h"

namespace veltrix::platform {
namespace {

class TrustedCertificatesTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    test::TestCertificates certificates = test::makeTestCertificates(root.path() / "certs");

    void configureExtraCa(const std::string& value) {
        std::ofstream(root.path() / "instance.ini") << "[tls]\nextra_ca_file=" << value << "\n";
    }

    static QSslCertificate testCa(const std::filesystem::path& file) {
        return QSslCertificate::fromPath(QString::fromStdString(file.string())).value(0);
    }
};

TEST_F(TrustedCertificatesTest, WithoutAnExtraFileTheSystemCasAreTrusted) {
    EXPECT_EQ(tls::trustedCaCertificates(), QSslConfiguration::systemCaCertificates());
}

TEST_F(TrustedCertificatesTest, TheExtraFileIsAddedByAbsoluteOrRelativeName) {
    const auto system = QSslConfiguration::systemCaCertificates();
    for (const std::string& name : {certificates.caCertificate.string(), std::string("certs/ca.pem")}) {
        SCOPED_TRACE(name);
        configureExtraCa(name);
        const auto trusted = tls::trustedCaCertificates();
        ASSERT_EQ(trusted.size(), system.size() + 1);
        EXPECT_EQ(trusted.mid(0, system.size()), system);
        EXPECT_EQ(trusted.last(), testCa(certificates.caCertificate));
    }
}

TEST_F(TrustedCertificatesTest, AnUnusableExtraFileIsLoggedAndLeavesTheSystemCas) {
    std::ofstream(root.path() / "notes.txt") << "not a certificate\n";
    const struct {
        std::string file;
        std::string logged;
    } cases[] = {
        {(root.path() / "missing.pem").string(), "cannot open extra CA file"},
        {"notes.txt", "no PEM certificate"},
        {root.path().string(), "cannot open extra CA file"},
        // A device node reports size 0 and never ends: it must be cut off, not read for ever.
        {"/dev/zero", "is larger than"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        test::LogCapture log;
        configureExtraCa(c.file);
        EXPECT_EQ(tls::trustedCaCertificates(), QSslConfiguration::systemCaCertificates());
        EXPECT_TRUE(log.contains(c.logged));
    }
}

// One TLS handshake on loopback against a server whose certificate the test CA signed.
class LoopbackTlsServer {
public:
    explicit LoopbackTlsServer(const test::TestCertificates& files) {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(
            QSslCertificate::fromPath(QString::fromStdString(files.serverCertificate.string())).value(0));
        QFile key(QString::fromStdString(files.serverKey.string()));
        key.open(QIODevice::ReadOnly);
        configuration.setPrivateKey(QSslKey(&key, QSsl::Ec));
        server_.setSslConfiguration(configuration);
        server_.listen(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return server_.serverPort(); }

private:
    QSslServer server_;
};

// True when the client finished the handshake, false on a verification failure or time-out.
bool handshake(quint16 port, const QSslConfiguration& configuration, const QString& verifyName = {}) {
    QSslSocket client;
    client.setSslConfiguration(configuration);
    if (!verifyName.isEmpty()) client.setPeerVerifyName(verifyName);
    QEventLoop loop;
    bool encrypted = false;
    QObject::connect(&client, &QSslSocket::encrypted, &loop, [&] { encrypted = true; loop.quit(); });
    QObject::connect(&client, &QAbstractSocket::errorOccurred, &loop, [&] { loop.quit(); });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    loop.exec();
    return encrypted;
}

TEST_F(TrustedCertificatesTest, TheClientConfigurationVerifiesChainAndHostName) {
    LoopbackTlsServer server(certificates);
    ASSERT_NE(server.port(), 0);

    EXPECT_FALSE(handshake(server.port(), tls::clientConfiguration())) << "the test CA is not trusted yet";

    configureExtraCa(certificates.caCertificate.string());
    const QSslConfiguration configuration = tls::clientConfiguration();
    EXPECT_EQ(configuration.peerVerifyMode(), QSslSocket::VerifyPeer);
    EXPECT_TRUE(handshake(server.port(), configuration));
    EXPECT_FALSE(handshake(server.port(), configuration, QStringLiteral("other.example")));
}

TEST_F(TrustedCertificatesTest, ACaFromAnotherAuthorityDoesNotVouchForTheServer) {
    LoopbackTlsServer server(certificates);
    const auto other = test::makeTestCertificates(root.path() / "other", "Other CA");
    configureExtraCa(other.caCertificate.string());
    EXPECT_FALSE(handshake(server.port(), tls::clientConfiguration()));
}

}  // namespace
}  // namespace veltrix::platform
