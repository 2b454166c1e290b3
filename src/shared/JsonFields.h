#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// Reading members of JSON that came from another process or the network. No call throws, whatever
// the document holds: a missing member or one of another kind gives the default, numbers are read
// wide (64-bit or double), clamped to the field's range, and only then narrowed.
namespace veltrix::json {

using Json = nlohmann::json;

// The member `key` of `object`, or null when `object` is not an object or lacks it.
const Json* member(const Json& object, std::string_view key);

std::string stringOr(const Json& object, std::string_view key, std::string_view fallback = {});
bool boolOr(const Json& object, std::string_view key, bool fallback);
double doubleOr(const Json& object, std::string_view key, double fallback);

// An integral member (a number without fraction; a float with an integral value is accepted),
// clamped to [lo, hi]; the fallback when absent, of another kind, or not finite.
std::int64_t int64Or(const Json& object, std::string_view key, std::int64_t fallback,
                     std::int64_t lo = std::numeric_limits<std::int64_t>::min(),
                     std::int64_t hi = std::numeric_limits<std::int64_t>::max());
std::uint64_t uint64Or(const Json& object, std::string_view key, std::uint64_t fallback,
                       std::uint64_t hi = std::numeric_limits<std::uint64_t>::max());

// int64Or narrowed to T's range (or [lo, hi] inside it).
template <typename T>
T intOr(const Json& object, std::string_view key, T fallback, T lo = std::numeric_limits<T>::min(),
        T hi = std::numeric_limits<T>::max()) {
    if constexpr (std::is_unsigned_v<T>) {
        const std::uint64_t v = uint64Or(object, key, fallback, hi);
        return static_cast<T>(v < lo ? lo : v);
    } else {
        return static_cast<T>(int64Or(object, key, fallback, lo, hi));
    }
}

// Serialises compactly; invalid UTF-8 in strings is replaced instead of throwing.
std::string toText(const Json& document);

// Parses text into a document; false (and a discarded document) on malformed input.
bool parse(std::string_view text, Json& out);

}  // namespace veltrix::json
