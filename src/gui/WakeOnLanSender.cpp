#include "gui/WakeOnLanSender.h"

#include <QUdpSocket>

#include <string>

#include "platform/InstanceConfig.h"

namespace veltrix {
namespace {

constexpr quint16 kDefaultPort = 9;

}  // namespace

std::optional<QByteArray> WakeOnLanSender::parseHardwareAddress(const QString& text) {
    QString digits = text;
    digits.remove(QLatin1Char(':')).remove(QLatin1Char('-')).remove(QLatin1Char(' '));
    if (digits.size() != kAddressBytes * 2) return std::nullopt;
    for (const QChar c : digits) {
        const bool hex = (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                         (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
                         (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
        if (!hex) return std::nullopt;
    }
    return QByteArray::fromHex(digits.toLatin1());
}

QByteArray WakeOnLanSender::magicPacket(const QByteArray& hardwareAddress) {
    QByteArray packet(6, char(0xFF));
    packet.reserve(kPacketBytes);
    for (int i = 0; i < kRepetitions; ++i) packet.append(hardwareAddress);
    return packet;
}

QHostAddress WakeOnLanSender::destinationAddress() {
    const auto configured = platform::config::value("wake_on_lan/address");
    if (configured && !configured->empty()) {
        const QHostAddress address(QString::fromStdString(*configured));
        if (!address.isNull()) return address;
    }
    return QHostAddress(QHostAddress::Broadcast);
}

quint16 WakeOnLanSender::destinationPort() {
    const auto configured = platform::config::value("wake_on_lan/port");
    if (!configured || configured->empty()) return kDefaultPort;
    bool ok = false;
    const uint port = QString::fromStdString(*configured).toUInt(&ok);
    return ok && port <= 65535 ? static_cast<quint16>(port) : kDefaultPort;
}

bool WakeOnLanSender::send(const QByteArray& packet, QString& error) {
    QUdpSocket socket;
    const qint64 written = socket.writeDatagram(packet, destinationAddress(), destinationPort());
    if (written == packet.size()) return true;
    error = socket.errorString();
    return false;
}

}  // namespace veltrix
