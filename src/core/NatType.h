#pragma once

#include <QString>

namespace veltrix {

// The heartbeat's NAT judgement. It travels as text and is numbered when a transport is chosen.
enum class NatType : int {
    Unknown = 0,
    Open = 1,
    AddressRestricted = 2,
    PortRestricted = 3,
    SymmetricNAT = 4,
};

// "Unknown", "Open", "AddressRestricted", "PortRestricted", "SymmetricNAT".
QString natTypeText(NatType type);

// The number of a NAT text: "Open" 1 ... "SymmetricNAT" 4; "Unknown", the empty text and any
// other text 0.
int natTypeCode(const QString& text);

}  // namespace veltrix
