// InputEvent::deserialize on arbitrary bytes: it either throws its own runtime_error or yields an
// event that writes back as the bytes it was read from.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "shared/InputEvent.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using veltrix::InputEvent;
    InputEvent event;
    try {
        event = InputEvent::deserialize(size ? data : nullptr, size);
    } catch (const std::runtime_error& error) {
        check(std::string_view(error.what()).starts_with("InputEvent::deserialize: "));
        return 0;
    }

    check(event.type >= InputEvent::MouseMove && event.type <= InputEvent::KeyUp);
    check(std::isfinite(event.mouse_x) && std::isfinite(event.mouse_y));
    const std::vector<std::uint8_t> written = event.serialize();
    const bool mouse = event.type <= InputEvent::MouseWheel;
    check(written.size() == (mouse ? InputEvent::kMouseEventSize : InputEvent::kKeyEventSize));
    check(written.size() <= size);
    if (mouse) {
        check(std::memcmp(written.data(), data, written.size()) == 0);
    } else {
        // The extended flag is written as 0 or 1 whatever byte it was read from.
        check(std::memcmp(written.data(), data, 17) == 0);
        check(written[17] == (data[17] != 0 ? 1 : 0));
    }
    return 0;
}
