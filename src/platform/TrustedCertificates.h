#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>

// The one place that decides which certificate authorities a TLS client of this system trusts:
// the operating system's CAs plus the PEM file named by "tls/extra_ca_file" in the instance
// configuration (a deployment's own CA, or the local CA of a test backend). Every TLS client
// (REST, signaling, relay, public-IP echo, downloads) takes its CA set from here.
namespace veltrix::platform::tls {

inline constexpr const char* kExtraCaFileKey = "tls/extra_ca_file";

// System CAs followed by the certificates of the extra CA file. A relative file name is taken
// relative to the folder of the instance file. A missing, unreadable or empty extra file is
// logged and leaves the system CAs alone.
QList<QSslCertificate> trustedCaCertificates();

// The default client configuration with its CA set replaced by trustedCaCertificates() and peer
// verification on (certificate chain and host name).
QSslConfiguration clientConfiguration();

}  // namespace veltrix::platform::tls
