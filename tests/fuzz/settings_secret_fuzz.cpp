// Stored secret values read back from a settings store: prefixes, Base64 and protected blobs.
#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <spdlog/spdlog.h>

#include "core/SettingsController.h"
#include "platform/DataProtection.h"

using namespace veltrix;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static char root[] = "/tmp/vx-fuzz-XXXXXX";
    if (!mkdtemp(root)) std::abort();
    setenv("VELTRIX_ROOT", root, 1);
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    });
    spdlog::set_level(spdlog::level::off);
    // A machine key, so that blobs reach the cipher.
    platform::SystemError error;
    platform::protection::protect("seed", {}, error);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static SettingsController settings;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    settings.unwrapSecret(QString::fromLatin1(bytes));
    platform::SystemError error;
    platform::protection::unprotect(bytes, {}, error);
    platform::protection::unprotect(bytes, "entropy", error);
    return 0;
}
