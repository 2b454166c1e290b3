#include "transport/IceCandidate.h"

#include <QString>

#include <arpa/inet.h>

#include <charconv>
#include <vector>

namespace veltrix {

namespace {

constexpr std::size_t kMaxFoundationSize = 32;
// Extension pairs after the type (generation, ufrag, network-id, ...); values are not used.
constexpr std::size_t kMaxExtensions = 16;

std::nullopt_t refuse(std::string* error, const char* reason) {
    if (error) *error = reason;
    return std::nullopt;
}

std::vector<std::string_view> splitBlanks(std::string_view text) {
    std::vector<std::string_view> tokens;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = text.find(' ', start);
        tokens.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return tokens;
}

bool isIceChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

template <typename Number>
bool parseNumber(std::string_view text, Number& value) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool parsePort(std::string_view text, std::uint16_t& port) {
    std::uint32_t value = 0;
    if (!parseNumber(text, value) || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

// A literal address: dotted IPv4 or IPv6 without a zone. Host names (mDNS ".local" ones among
// them) would need a resolver this transport does not run for peers.
bool isAddressLiteral(std::string_view text) {
    if (text.empty() || text.size() > 45) return false;
    const std::string copy(text);
    in6_addr v6{};
    in_addr v4{};
    return inet_pton(AF_INET, copy.c_str(), &v4) == 1 || inet_pton(AF_INET6, copy.c_str(), &v6) == 1;
}

std::optional<IceCandidate::Type> typeFromName(std::string_view name) {
    if (name == "host") return IceCandidate::Type::Host;
    if (name == "srflx") return IceCandidate::Type::ServerReflexive;
    if (name == "prflx") return IceCandidate::Type::PeerReflexive;
    if (name == "relay") return IceCandidate::Type::Relayed;
    return std::nullopt;
}

}  // namespace

const char* IceCandidate::typeName(Type type) {
    switch (type) {
    case Type::Host:
        return "host";
    case Type::ServerReflexive:
        return "srflx";
    case Type::PeerReflexive:
        return "prflx";
    case Type::Relayed:
        return "relay";
    }
    return "host";
}

std::optional<IceCandidate> IceCandidate::parse(std::string_view text, std::string* error) {
    if (text.size() > kMaxTextSize) return refuse(error, "too long");
    if (text.substr(0, 2) == "a=") text.remove_prefix(2);
    constexpr std::string_view kPrefix = "candidate:";
    if (text.substr(0, kPrefix.size()) != kPrefix) return refuse(error, "not a candidate");
    text.remove_prefix(kPrefix.size());
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x21 && c != ' ') return refuse(error, "control character");

    const std::vector<std::string_view> tokens = splitBlanks(text);
    if (tokens.size() < 8 || tokens[6] != "typ") return refuse(error, "too few fields");

    IceCandidate candidate;
    const std::string_view foundation = tokens[0];
    if (foundation.empty() || foundation.size() > kMaxFoundationSize) return refuse(error, "bad foundation");
    for (char c : foundation)
        if (!isIceChar(c)) return refuse(error, "bad foundation");
    candidate.foundation = std::string(foundation);

    std::uint32_t component = 0;
    if (!parseNumber(tokens[1], component) || component < 1 || component > 256)
        return refuse(error, "bad component");
    if (component != 1) return refuse(error, "component other than 1");
    const QLatin1String protocol(tokens[2].data(), static_cast<qsizetype>(tokens[2].size()));
    if (protocol.compare(QLatin1String("udp"), Qt::CaseInsensitive) != 0) return refuse(error, "transport other than UDP");
    if (!parseNumber(tokens[3], candidate.priority) || candidate.priority == 0)
        return refuse(error, "bad priority");
    if (!isAddressLiteral(tokens[4])) return refuse(error, "address is not a literal IP address");
    candidate.address = std::string(tokens[4]);
    if (!parsePort(tokens[5], candidate.port) || candidate.port == 0) return refuse(error, "bad port");
    const auto type = typeFromName(tokens[7]);
    if (!type) return refuse(error, "unknown candidate type");
    candidate.type = *type;

    std::size_t next = 8;
    if (next + 1 < tokens.size() && tokens[next] == "raddr") {
        if (!isAddressLiteral(tokens[next + 1])) return refuse(error, "bad related address");
        candidate.relatedAddress = std::string(tokens[next + 1]);
        next += 2;
        if (next + 1 >= tokens.size() || tokens[next] != "rport" || !parsePort(tokens[next + 1], candidate.relatedPort))
            return refuse(error, "related address without port");
        next += 2;
    }
    const std::size_t extensionTokens = tokens.size() - next;
    if (extensionTokens % 2 != 0 || extensionTokens / 2 > kMaxExtensions)
        return refuse(error, "bad extensions");
    for (std::size_t i = next; i < tokens.size(); ++i)
        if (tokens[i].empty()) return refuse(error, "empty field");
    return candidate;
}

std::string IceCandidate::toString() const {
    std::string text = "candidate:" + foundation + " 1 UDP " + std::to_string(priority) + ' ' + address + ' ' +
                       std::to_string(port) + " typ " + typeName(type);
    if (type != Type::Host && !relatedAddress.empty())
        text += " raddr " + relatedAddress + " rport " + std::to_string(relatedPort);
    return text;
}

}  // namespace veltrix
