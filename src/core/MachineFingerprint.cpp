#include "core/MachineFingerprint.h"

#include <QCryptographicHash>

#include <spdlog/spdlog.h>

#include "platform/MachineIdentity.h"

namespace veltrix {

QString MachineFingerprint() {
    const QString guid = QString::fromStdString(platform::machine::machineGuid());
    if (guid.isEmpty()) {
        spdlog::warn("MachineFingerprint: could not read MachineGuid from registry");
        return {};
    }
    const QByteArray digest =
        QCryptographicHash::hash(guid.toUtf8() + QByteArrayLiteral("Veltrix"), QCryptographicHash::Sha256);
    const QString fingerprint = QString::fromLatin1(digest.toHex());
    spdlog::debug("MachineFingerprint: generated ({} chars)", fingerprint.size());
    return fingerprint;
}

}  // namespace veltrix
