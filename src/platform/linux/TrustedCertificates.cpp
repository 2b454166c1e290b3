#include "platform/TrustedCertificates.h"

#include <QFile>
#include <QString>

#include <filesystem>
#include <spdlog/spdlog.h>

#include "platform/InstanceConfig.h"

namespace veltrix::platform::tls {
namespace {

// Enough for any real bundle; keeps a wrong path (a device node, a huge file) from being read.
constexpr qint64 kMaxCaFileBytes = 4 * 1024 * 1024;

std::filesystem::path resolvedExtraCaPath(const std::string& configured) {
    std::filesystem::path path(configured);
    if (path.is_relative()) path = std::filesystem::path(config::filePath()).parent_path() / path;
    return path;
}

QList<QSslCertificate> extraCaCertificates() {
    const auto configured = config::value(kExtraCaFileKey);
    if (!configured || configured->empty()) return {};
    const auto path = resolvedExtraCaPath(*configured);
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly)) {
        spdlog::warn("TrustedCertificates: cannot open extra CA file {}: {}", path.string(),
                     file.errorString().toStdString());
        return {};
    }
    // Read one byte past the limit instead of trusting size(): a device node or a pipe reports 0.
    const QByteArray pem = file.read(kMaxCaFileBytes + 1);
    if (pem.size() > kMaxCaFileBytes) {
        spdlog::warn("TrustedCertificates: extra CA file {} is larger than {} bytes, ignored", path.string(),
                     kMaxCaFileBytes);
        return {};
    }
    const QList<QSslCertificate> found = QSslCertificate::fromData(pem, QSsl::Pem);
    if (found.isEmpty()) {
        spdlog::warn("TrustedCertificates: no PEM certificate in extra CA file {}", path.string());
    }
    return found;
}

}  // namespace

QList<QSslCertificate> trustedCaCertificates() {
    QList<QSslCertificate> all = QSslConfiguration::systemCaCertificates();
    all.append(extraCaCertificates());
    return all;
}

QSslConfiguration clientConfiguration() {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(trustedCaCertificates());
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return configuration;
}

}  // namespace veltrix::platform::tls
