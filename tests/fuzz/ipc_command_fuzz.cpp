// The pipe's command table on arbitrary messages: the service must answer or ignore each one
// without ending. The first byte picks nothing; the rest is the message text.
#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>
#include <string>

#include <spdlog/spdlog.h>

#include "core/SettingsController.h"
#include "service/ServiceIpcServer.h"
#include "shared/InputEventJson.h"
#include "shared/JsonFields.h"

namespace {

veltrix::ServiceIpcServer& server() {
    static const bool prepared = [] {
        // A private instance, so the settings the commands change stay out of the system's.
        static char root[] = "/tmp/veltrix-fuzz-XXXXXX";
        if (mkdtemp(root)) setenv("VELTRIX_ROOT", root, 1);
        spdlog::set_level(spdlog::level::off);
        return true;
    }();
    (void)prepared;
    static int argc = 1;
    static char name[] = "ipc_command_fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static veltrix::SettingsController settings;
    static veltrix::ServiceIpcServer instance(nullptr, nullptr, &settings, nullptr, nullptr);
    return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    veltrix::json::Json message;
    if (!veltrix::json::parse(std::string_view(reinterpret_cast<const char*>(data), size), message)) return 0;
    server().processCommand(message);
    if (const auto* event = veltrix::json::member(message, "event")) (void)veltrix::inputEventFromJson(*event);
    return 0;
}
