#pragma once

#include <QSslConfiguration>
#include <QString>

#include <optional>

namespace veltrix::backend {

// The server side TLS configuration of every listener of the backend: the PEM certificate chain
// and key given on the command line, TLS 1.2 or newer, no client certificates. Nothing when the
// files cannot be read or do not hold a certificate and a matching key; the reason is logged.
std::optional<QSslConfiguration> loadServerTls(const QString& certificateFile, const QString& keyFile);

}  // namespace veltrix::backend
