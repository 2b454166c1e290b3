#include <gtest/gtest.h>

#include <string>

#include "crypto/Base64.h"

namespace veltrix::crypto {
namespace {

std::string decoded(std::string_view text) {
    const auto bytes = decodeBase64Strict(text);
    return bytes ? std::string(bytes->begin(), bytes->end()) : "<invalid>";
}

TEST(Base64Test, DecodesOnlyTheCanonicalSpelling) {
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYmFy", "foobar"},
        {"+/+/", std::string("\xfb\xff\xbf", 3)},
        {"Zg", "<invalid>"},          // padding missing
        {"Zg=", "<invalid>"},         // length not a multiple of 4
        {"Zh==", "<invalid>"},        // unused bits not zero
        {"Zm9=", "<invalid>"},        // unused bits not zero
        {"Z===", "<invalid>"},        // three padding characters
        {"====", "<invalid>"},
        {"Zg==Zm9v", "<invalid>"},    // padding in the middle
        {"Zm9v\n", "<invalid>"},      // line break
        {" Zm9v", "<invalid>"},       // blank
        {"Zm 9v", "<invalid>"},
        {"Zm-_", "<invalid>"},        // URL-safe alphabet
        {std::string("Zm\0v", 4), "<invalid>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(decoded(c.text), c.expected);
    }
}

}  // namespace
}  // namespace veltrix::crypto
