#include "TlsServerConfig.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

#include <spdlog/spdlog.h>

namespace veltrix::backend {
namespace {

constexpr qint64 kMaxPemBytes = 1024 * 1024;

std::optional<QByteArray> readPem(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        spdlog::error("TLS: cannot open {}: {}", path.toStdString(), file.errorString().toStdString());
        return std::nullopt;
    }
    QByteArray pem = file.read(kMaxPemBytes + 1);
    if (pem.size() > kMaxPemBytes) {
        spdlog::error("TLS: {} is larger than {} bytes", path.toStdString(), kMaxPemBytes);
        return std::nullopt;
    }
    return pem;
}

}  // namespace

std::optional<QSslConfiguration> loadServerTls(const QString& certificateFile, const QString& keyFile) {
    const auto certificatePem = readPem(certificateFile);
    const auto keyPem = readPem(keyFile);
    if (!certificatePem || !keyPem) return std::nullopt;

    const QList<QSslCertificate> chain = QSslCertificate::fromData(*certificatePem, QSsl::Pem);
    if (chain.isEmpty()) {
        spdlog::error("TLS: no certificate in {}", certificateFile.toStdString());
        return std::nullopt;
    }
    QSslKey key(*keyPem, QSsl::Ec, QSsl::Pem);
    if (key.isNull()) key = QSslKey(*keyPem, QSsl::Rsa, QSsl::Pem);
    if (key.isNull()) {
        spdlog::error("TLS: no EC or RSA private key in {}", keyFile.toStdString());
        return std::nullopt;
    }

    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    return configuration;
}

}  // namespace veltrix::backend
