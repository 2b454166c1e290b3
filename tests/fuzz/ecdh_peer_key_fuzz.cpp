// Feeds arbitrary peer keys to the key agreement, and checks that the strict Base64 decoder takes
// only canonical text. Input byte 0 picks the form: even, the rest is the Base64 text as it
// arrives from signaling; odd, the rest is DER and is Base64-encoded first, so that the fuzzer
// explores SubjectPublicKeyInfo structures directly.
#include <cstddef>
#include <cstdint>
#include <string>

#include <openssl/evp.h>
#include <spdlog/spdlog.h>

#include "crypto/Base64.h"
#include "crypto/EcdhKeyExchange.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        spdlog::set_level(spdlog::level::off);
        return true;
    }();
    (void)quiet;
    static veltrix::EcdhKeyExchange local;
    if (size == 0 || size > 8192) return 0;

    std::string text;
    if (data[0] % 2 == 0) {
        text.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    } else {
        text.resize((size - 1 + 2) / 3 * 4 + 1);
        const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data + 1,
                                           static_cast<int>(size - 1));
        text.resize(static_cast<std::size_t>(length));
    }

    // The strict decoder accepts exactly the canonical spellings: whatever it decodes encodes back
    // to the same text.
    if (const auto decoded = veltrix::crypto::decodeBase64Strict(text)) {
        std::string again((decoded->size() + 2) / 3 * 4 + 1, '\0');
        again.resize(static_cast<std::size_t>(
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(again.data()), decoded->data(), static_cast<int>(decoded->size()))));
        check(again == text);
    }

    if (local.deriveSharedKey(text)) {
        check(local.aesKey().size() == veltrix::EcdhKeyExchange::kAesKeySize);
        check(local.baseIv().size() == veltrix::EcdhKeyExchange::kBaseIvSize);
    }
    return 0;
}
