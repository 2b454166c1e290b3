#pragma once

#include <QStringList>

#include <filesystem>
#include <string>

namespace veltrix::test {

// A throw-away certificate authority and a server certificate it signed, made with the openssl
// command line (an independent source, not this code base). The server certificate names
// "localhost" and 127.0.0.1 so that host-name checks pass on loopback.
struct TestCertificates {
    std::filesystem::path caCertificate;      // PEM
    std::filesystem::path serverCertificate;  // PEM
    std::filesystem::path serverKey;          // PEM, unencrypted
};

// Writes the files into `folder` (created if needed); throws std::runtime_error when openssl fails.
// Runs the openssl command line with `arguments`; throws std::runtime_error with its output when
// it fails or takes longer than 30 s.
void runOpenssl(const QStringList& arguments);

TestCertificates makeTestCertificates(const std::filesystem::path& folder, const std::string& caName = "Veltrix Test CA");

}  // namespace veltrix::test
