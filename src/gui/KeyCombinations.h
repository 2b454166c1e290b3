#pragma once

#include <QString>

#include <cstdint>
#include <vector>

#include "shared/InputEvent.h"

namespace veltrix {

// A key combination the viewing side can send to the partner from the remote-view toolbar:
// the menu text (shown as it is) and the Windows virtual keys in press order.
struct KeyCombination {
    QString text;
    std::vector<std::uint32_t> virtualKeys;
};

// The toolbar's combinations, top to bottom (Ctrl+Alt+Delete is not one: it is the partner's
// secure attention sequence, sent as its own command).
const std::vector<KeyCombination>& keyCombinations();

// The events that press a combination: every key down in order, then every key up in reverse
// order, all with one timestamp.
std::vector<InputEvent> keyCombinationEvents(const std::vector<std::uint32_t>& virtualKeys, std::int64_t timestampMs);

}  // namespace veltrix
