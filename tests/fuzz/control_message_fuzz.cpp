// The control channel's payload readers on arbitrary bytes: the clipboard-file announcement either
// reads back as the payload it was built from or is refused, and command numbers and sizes never
// read outside 32 bits.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/ControlMessageFormat.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace veltrix;
    ClipboardFilesMessage message;
    if (parseClipboardFiles(size ? data : nullptr, size, message) == ClipboardFilesStatus::Ok) {
        check(static_cast<std::uint32_t>(message.paths.size()) <= kMaxClipboardFiles);
        check(!message.stagingRoot.isEmpty());
        // Names never contain a separator.
        for (const QString& name : clipboardFileNames(message.paths)) {
            check(!name.isEmpty() && !name.contains(u'/') && !name.contains(u'\\'));
        }
    }

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto number = parseCommandNumber(text)) check(*number >= INT_MIN && *number <= INT_MAX);
    if (const auto pair = parseCommandSize(text)) check(text.find('x') != std::string_view::npos);
    return 0;
}
