#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veltrix {

// One ICE candidate in the text form both descriptions and signaling carry:
//
//   candidate:<foundation> <component> <transport> <priority> <address> <port> typ <type>
//             [raddr <address> rport <port>] [<extension name> <extension value>]...
//
// The text comes from the peer, so parse() takes only what this transport can use: UDP
// candidates of component 1 with a literal IPv4 or IPv6 address. Anything else is refused with a
// reason, never guessed at.
struct IceCandidate {
    enum class Type { Host, ServerReflexive, PeerReflexive, Relayed };

    // Longest candidate text accepted; real ones are well under 200 bytes.
    static constexpr std::size_t kMaxTextSize = 1024;

    std::string foundation;  // 1 to 32 characters of [A-Za-z0-9+/]
    std::uint32_t priority = 0;
    std::string address;  // literal IPv4 or IPv6 address
    std::uint16_t port = 0;
    Type type = Type::Host;
    std::string relatedAddress;  // server-reflexive and relayed candidates only; may stay empty
    std::uint16_t relatedPort = 0;

    // `text` with or without the leading "a=". Fills `error` with the reason when it returns nothing.
    static std::optional<IceCandidate> parse(std::string_view text, std::string* error = nullptr);

    // "candidate:..." without "a=", as signaling carries it.
    std::string toString() const;

    static const char* typeName(Type type);
};

}  // namespace veltrix
