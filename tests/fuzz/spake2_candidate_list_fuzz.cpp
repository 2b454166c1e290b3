// Parses arbitrary text as the Target's candidate list (or bare element) and as a peer element.
// A list that decodes must hold only well-formed entries, survive a write-and-read, and its
// elements go through the point decoding of the key exchange.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/spdlog.h>

#include "crypto/Spake2.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

bool isLowercaseHex(const std::string& text, std::size_t length) {
    if (text.size() != length) return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

veltrix::Spake2& master() {
    static veltrix::Spake2 instance("fuzz password", veltrix::SessionRole::Master);
    return instance;
}

void checkSecret(const veltrix::crypto::SecureBytes& secret) { check(secret.empty() || secret.size() == 32); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using veltrix::Spake2;
    static const bool quiet = [] {
        spdlog::set_level(spdlog::level::off);
        return true;
    }();
    (void)quiet;

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkSecret(master().computeSharedSecret(text));

    veltrix::Spake2CandidateList pairs;
    bool plain = false;
    if (!Spake2::decodeCandidateList(text, pairs, plain)) return 0;

    check(!pairs.empty() && pairs.size() <= Spake2::kMaxCandidates);
    for (const auto& [element, confirmation] : pairs) {
        check(isLowercaseHex(element, Spake2::kElementHexLength));
        check(plain ? confirmation.empty() : isLowercaseHex(confirmation, Spake2::kConfirmationHexLength));
    }
    if (plain) check(pairs.size() == 1 && pairs[0].first == text);

    if (!plain && pairs.size() >= 2) {
        std::vector<std::string> elements, confirmations;
        for (const auto& [element, confirmation] : pairs) {
            elements.push_back(element);
            confirmations.push_back(confirmation);
        }
        veltrix::Spake2CandidateList again;
        bool againPlain = true;
        check(Spake2::decodeCandidateList(Spake2::encodeCandidateList(elements, confirmations), again, againPlain));
        check(!againPlain && again == pairs);
    }

    // The point arithmetic is the slow part; two elements cover the interesting cases.
    for (std::size_t j = 0; j < pairs.size() && j < 2; ++j) checkSecret(master().computeSharedSecret(pairs[j].first));
    return 0;
}
