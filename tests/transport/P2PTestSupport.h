#pragma once

#include "support/WaitUntil.h"
#include "transport/P2PTransport.h"

#include <QByteArray>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace veltrix::test {

// Peer-to-peer settings of a test instance: loopback candidates only, no STUN server at all.
// `extra` continues the [p2p] group.
inline void writeLoopbackP2PConfig(const std::filesystem::path& root, const std::string& extra = {}) {
    std::ofstream file(root / "instance.ini", std::ios::app);
    file << "[stun]\nhost=\n\n[p2p]\nlocalAddresses=127.0.0.1\n" << extra;
}

// Bytes whose every position depends on the message's size and index, so a piece out of place
// or a message from another send is seen.
inline QByteArray patternMessage(std::size_t size, std::uint32_t seed) {
    QByteArray data(static_cast<qsizetype>(size), Qt::Uninitialized);
    std::uint32_t state = seed * 2654435761u + static_cast<std::uint32_t>(size);
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        data[static_cast<qsizetype>(i)] = static_cast<char>(state >> 24);
    }
    return data;
}

inline bool sendBytes(ITransport& transport, ChannelType channel, const QByteArray& data) {
    return transport.send(channel, reinterpret_cast<const std::uint8_t*>(data.constData()),
                          static_cast<std::uint64_t>(data.size()));
}

// What one transport received, by channel. The connections end with this record (their context
// object is a member), so a record on the stack never hears from a transport that outlives it.
struct Received {
    QObject context;
    std::vector<QByteArray> control;
    std::vector<QByteArray> video;
    int connectedCount = 0;
    int disconnectedCount = 0;

    void attach(ITransport& transport) {
        QObject::connect(&transport, &ITransport::dataReceived, &context,
                         [this](ChannelType channel, const QByteArray& data) {
                             (channel == ChannelType::Control ? control : video).push_back(data);
                         });
        QObject::connect(&transport, &ITransport::connected, &context, [this] { ++connectedCount; });
        QObject::connect(&transport, &ITransport::disconnected, &context, [this] { ++disconnectedCount; });
    }
};

// Wires two peer-to-peer transports to each other the way signaling does: descriptions and
// candidates of one go straight to the other.
inline void wireSignaling(IP2PTransport& a, IP2PTransport& b) {
    QObject::connect(&a, &IP2PTransport::localDescriptionReady, &b, &IP2PTransport::setRemoteDescription);
    QObject::connect(&b, &IP2PTransport::localDescriptionReady, &a, &IP2PTransport::setRemoteDescription);
    QObject::connect(&a, &IP2PTransport::localCandidateReady, &b, &IP2PTransport::addRemoteCandidate);
    QObject::connect(&b, &IP2PTransport::localCandidateReady, &a, &IP2PTransport::addRemoteCandidate);
}

}  // namespace veltrix::test
