#pragma once

#include <filesystem>
#include <string>

// Publisher signatures of installer packages (Windows: Authenticode). A signed package is
//   package bytes ‖ CMS SignedData (DER, detached over the package bytes, SHA-256)
//                 ‖ signature length (4 bytes, big-endian) ‖ kSignatureMagic (8 bytes).
// The signature is trusted when it verifies over the package bytes and its signer certificate
// chains to the system CAs or to the CA file named by "update/code_signing_ca_file" in the
// instance configuration, carries the codeSigning extended key usage, and (when the signature
// carries CRLs) no certificate of the chain is revoked.
namespace veltrix::platform::codesign {

inline constexpr const char* kCodeSigningCaFileKey = "update/code_signing_ca_file";
inline constexpr char kSignatureMagic[8] = {'V', 'L', 'T', 'X', 'S', 'I', 'G', '1'};

struct Verification {
    bool trusted = false;
    // 0 when trusted; otherwise the OpenSSL error code (or 1 when the trailer itself is wrong).
    unsigned long status = 0;
    std::string reason;
};

// Verifies the appended signature of `path` as described above.
Verification verifyFile(const std::filesystem::path& path);

// The commonName of the first signer's certificate subject; empty on any failure (no trailer,
// unreadable signature, no matching certificate). Says nothing about trust: see verifyFile.
std::string signerName(const std::filesystem::path& path);

}  // namespace veltrix::platform::codesign
