#include <gtest/gtest.h>

#include "shared/JsonFields.h"

namespace veltrix::json {
namespace {

TEST(JsonFields, WrongKindsAndMissingMembersGiveTheDefault) {
    const Json doc = Json::parse(R"({"s": 5, "b": "yes", "d": "1.5", "i": "7", "arr": [1]})");
    EXPECT_EQ(stringOr(doc, "s", "dflt"), "dflt");
    EXPECT_EQ(stringOr(doc, "missing"), "");
    EXPECT_TRUE(boolOr(doc, "b", true));
    EXPECT_EQ(doubleOr(doc, "d", 0.25), 0.25);
    EXPECT_EQ(int64Or(doc, "i", 3), 3);
    EXPECT_EQ(int64Or(doc, "arr", 4), 4);
    // A document that is not an object at all.
    EXPECT_EQ(int64Or(Json::array({1, 2}), "x", 9), 9);
    EXPECT_EQ(stringOr(Json(), "x", "n"), "n");
}

TEST(JsonFields, NumbersAreReadWideClampedThenNarrowed) {
    const Json doc = Json::parse(
        R"({"big": 99999999999999999999, "neg": -3, "huge": 1e300, "frac": 2.5, "whole": 12.0, "max": 18446744073709551615})");
    EXPECT_EQ(intOr<int>(doc, "big", 0, 0, 15), 15);
    EXPECT_EQ(intOr<int>(doc, "neg", 0, 0, 15), 0);
    EXPECT_EQ(intOr<int>(doc, "huge", 0), std::numeric_limits<int>::max());
    EXPECT_EQ(intOr<int>(doc, "frac", 7), 7);
    EXPECT_EQ(intOr<int>(doc, "whole", 7), 12);
    EXPECT_EQ(intOr<std::uint8_t>(doc, "max", 1), 255);
    EXPECT_EQ(intOr<std::uint8_t>(doc, "neg", 1), 0);
    EXPECT_EQ(intOr<std::int16_t>(doc, "neg", 0), -3);
    EXPECT_EQ(uint64Or(doc, "max", 0), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(int64Or(doc, "max", 0), std::numeric_limits<std::int64_t>::max());
}

TEST(JsonFields, ParseRejectsMalformedTextAndSerialisesBadUtf8) {
    Json out;
    EXPECT_FALSE(parse("{\"type\":", out));
    EXPECT_TRUE(out.is_null());
    EXPECT_TRUE(parse(R"({"type":"GET_STATE"})", out));
    EXPECT_EQ(stringOr(out, "type"), "GET_STATE");

    Json bad = {{"text", std::string("\xff\xfe", 2)}};
    EXPECT_NO_THROW(toText(bad));
}

}  // namespace
}  // namespace veltrix::json
