// Bytes from the network that the device's identity objects read: REST reply bodies, signaling
// messages and STUN answers. None of them may crash or throw, whatever they hold.
#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

#include "core/ApiClient.h"
#include "core/StunBinding.h"
#include "transport/SignalingClient.h"

namespace {

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "identity_replies_fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    application();
    static veltrix::SignalingClient signaling;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    const nlohmann::json body = veltrix::ApiClient::parseBody(bytes);
    (void)veltrix::ApiClient::readIdentity(body, false);
    (void)veltrix::ApiClient::readIdentity(body, true);
    (void)veltrix::ApiClient::detailOr(body, QStringLiteral("fallback"));

    signaling.onTextMessageReceived(QString::fromUtf8(bytes));

    veltrix::stun::TransactionId id{};
    if (size >= 20) std::copy(data + 8, data + 20, id.begin());
    (void)veltrix::stun::parseBindingResponse(bytes, id);
    return 0;
}
