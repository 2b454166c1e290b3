#include "core/NatType.h"

#include <array>

namespace veltrix {
namespace {

constexpr std::array<const char*, 5> kNames = {"Unknown", "Open", "AddressRestricted", "PortRestricted",
                                               "SymmetricNAT"};

}  // namespace

QString natTypeText(NatType type) {
    const auto index = static_cast<std::size_t>(type);
    return QString::fromLatin1(index < kNames.size() ? kNames[index] : kNames[0]);
}

int natTypeCode(const QString& text) {
    for (std::size_t i = 1; i < kNames.size(); ++i) {
        if (text == QLatin1String(kNames[i])) return static_cast<int>(i);
    }
    return 0;
}

}  // namespace veltrix
