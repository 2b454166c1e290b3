#include "shared/JsonFields.h"

#include <cmath>

namespace veltrix::json {

const Json* member(const Json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::string stringOr(const Json& object, std::string_view key, std::string_view fallback) {
    const Json* v = member(object, key);
    return v && v->is_string() ? v->get_ref<const std::string&>() : std::string(fallback);
}

bool boolOr(const Json& object, std::string_view key, bool fallback) {
    const Json* v = member(object, key);
    return v && v->is_boolean() ? v->get<bool>() : fallback;
}

double doubleOr(const Json& object, std::string_view key, double fallback) {
    const Json* v = member(object, key);
    return v && v->is_number() ? v->get<double>() : fallback;
}

std::int64_t int64Or(const Json& object, std::string_view key, std::int64_t fallback, std::int64_t lo,
                     std::int64_t hi) {
    const Json* v = member(object, key);
    std::int64_t value = fallback;
    if (!v) return fallback;
    if (v->is_number_unsigned()) {
        const auto u = v->get<std::uint64_t>();
        value = u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                    ? std::numeric_limits<std::int64_t>::max()
                    : static_cast<std::int64_t>(u);
    } else if (v->is_number_integer()) {
        value = v->get<std::int64_t>();
    } else if (v->is_number_float()) {
        const double d = v->get<double>();
        if (!std::isfinite(d) || std::trunc(d) != d) return fallback;
        if (d >= 9.2233720368547758e18) value = std::numeric_limits<std::int64_t>::max();
        else if (d <= -9.2233720368547758e18) value = std::numeric_limits<std::int64_t>::min();
        else value = static_cast<std::int64_t>(d);
    } else {
        return fallback;
    }
    return value < lo ? lo : (value > hi ? hi : value);
}

std::uint64_t uint64Or(const Json& object, std::string_view key, std::uint64_t fallback, std::uint64_t hi) {
    const Json* v = member(object, key);
    if (!v) return fallback;
    std::uint64_t value = fallback;
    if (v->is_number_unsigned()) {
        value = v->get<std::uint64_t>();
    } else if (v->is_number_integer()) {
        value = 0;  // negative
    } else if (v->is_number_float()) {
        const double d = v->get<double>();
        if (!std::isfinite(d) || std::trunc(d) != d) return fallback;
        if (d <= 0) value = 0;
        else if (d >= 1.8446744073709552e19) value = std::numeric_limits<std::uint64_t>::max();
        else value = static_cast<std::uint64_t>(d);
    } else {
        return fallback;
    }
    return value > hi ? hi : value;
}

bool parse(std::string_view text, Json& out) {
    out = Json::parse(text.begin(), text.end(), nullptr, false);
    if (out.is_discarded()) {
        out = Json();
        return false;
    }
    return true;
}

}  // namespace veltrix::json

namespace veltrix::json {

std::string toText(const Json& document) { return document.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace veltrix::json
