// The backend's REST API on arbitrary request bodies: whatever the bytes, the answer is a status
// with a JSON {"detail"} or a reply, never a crash or an exception.
#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

#include <spdlog/spdlog.h>

#include "ApiService.h"
#include "BackendState.h"
#include "SignalingHub.h"

namespace {

struct Backend {
    QTemporaryDir folder;
    veltrix::backend::BackendState state{folder.path(), std::chrono::seconds(60)};
    veltrix::backend::SignalingHub hub{state};
    veltrix::backend::ApiService api{state, hub};
};

Backend& backend() {
    static int argc = 1;
    static char name[] = "backend_api_body_fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static Backend instance;
    spdlog::set_level(spdlog::level::off);
    return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Backend& b = backend();
    veltrix::backend::HttpRequest request;
    request.method = "POST";
    // The first byte picks the endpoint; log-in and session creation read no files.
    request.path = size && (data[0] & 1) ? QStringLiteral("/sessions/create") : QStringLiteral("/auth/auto-login");
    request.body = QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const veltrix::backend::HttpResponse response = b.api.handle(request);
    if (response.status < 200 || response.status > 599) __builtin_trap();
    return 0;
}
