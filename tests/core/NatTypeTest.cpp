#include <gtest/gtest.h>

#include "core/NatType.h"

namespace veltrix {
namespace {

TEST(NatType, TextAndNumberMapping) {
    const struct {
        NatType type;
        const char* text;
        int code;
    } table[] = {
        {NatType::Unknown, "Unknown", 0},
        {NatType::Open, "Open", 1},
        {NatType::AddressRestricted, "AddressRestricted", 2},
        {NatType::PortRestricted, "PortRestricted", 3},
        {NatType::SymmetricNAT, "SymmetricNAT", 4},
    };
    for (const auto& row : table) {
        EXPECT_EQ(natTypeText(row.type), QString(row.text));
        EXPECT_EQ(natTypeCode(row.text), row.code);
    }
}

TEST(NatType, EmptyAndOtherTextsAreZero) {
    for (const char* text : {"", "open", "Symmetric", "Full Cone", " Open"}) {
        EXPECT_EQ(natTypeCode(text), 0) << text;
    }
}

}  // namespace
}  // namespace veltrix
