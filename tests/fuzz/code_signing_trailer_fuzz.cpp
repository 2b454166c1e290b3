// The client's reader of an installer's appended signature (package, DER CMS SignedData, 4-byte
// big-endian length, "VLTXSIG1") on arbitrary downloaded bytes. The reader takes a file, so each
// input is written to a private file first.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "platform/CodeSigning.h"

namespace {

std::filesystem::path inputFile() {
    const char* folder = std::getenv("TMPDIR");
    return std::filesystem::path(folder && *folder ? folder : "/tmp") /
           ("veltrix-codesign-fuzz-" + std::to_string(::getpid()) + ".bin");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path path = inputFile();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return 0;
    const bool written = std::fwrite(data, 1, size, file) == size;
    std::fclose(file);
    if (!written) return 0;
    namespace codesign = veltrix::platform::codesign;
    const auto verification = codesign::verifyFile(path);
    // Arbitrary bytes carry no signature from a trusted signer.
    if (verification.trusted && verification.status != 0) std::abort();
    (void)codesign::signerName(path);
    std::filesystem::remove(path);
    return 0;
}
