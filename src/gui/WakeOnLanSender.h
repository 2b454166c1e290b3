#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <optional>

namespace veltrix {

// The magic packet that wakes a machine on the local network, and its one datagram. The only
// traffic of the client that does not go through the service.
class WakeOnLanSender {
public:
    static constexpr int kAddressBytes = 6;
    static constexpr int kRepetitions = 16;
    static constexpr int kPacketBytes = 6 + kAddressBytes * kRepetitions;  // 102

    // The six bytes of a hardware address typed as six pairs with ":", "-" or blanks between them
    // or none at all; nothing unless exactly twelve hexadecimal digits remain.
    static std::optional<QByteArray> parseHardwareAddress(const QString& text);

    // Six 0xFF bytes, then the address sixteen times.
    static QByteArray magicPacket(const QByteArray& hardwareAddress);

    // Where the packet goes: "[wake_on_lan] address" and "port" of the instance file, by default
    // the IPv4 broadcast address and port 9.
    static QHostAddress destinationAddress();
    static quint16 destinationPort();

    // Sends the packet from a socket that lives only for the call; false with the socket's error
    // when the datagram was not written in full.
    static bool send(const QByteArray& packet, QString& error);
};

}  // namespace veltrix
