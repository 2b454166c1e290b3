#include "transport/IceServerSettings.h"

#include "platform/InstanceConfig.h"

#include <cstdlib>

namespace veltrix::p2p {

namespace {

constexpr const char* kDefaultStunHost = "stun.l.google.com";
constexpr const char* kDefaultSecondaryStunHost = "stun1.l.google.com";

// Items separated by blanks (a comma in an instance-file value would make it a list).
std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::string item;
    for (char c : text + ' ') {
        if (c == ' ' || c == '\t' || c == ',') {
            if (!item.empty()) items.push_back(std::move(item));
            item.clear();
        } else {
            item += c;
        }
    }
    return items;
}

// The configured STUN servers; without a configured host the public defaults, both of them.
std::vector<std::string> stunServersFromConfig() {
    const auto host = platform::config::value("stun/host");
    if (!host) return {kDefaultStunHost, kDefaultSecondaryStunHost};
    std::vector<std::string> servers = splitList(*host);
    if (servers.empty()) return servers;
    for (auto& secondary : splitList(platform::config::value("stun/secondary_host").value_or(""))) {
        if (secondary != servers.front()) servers.push_back(std::move(secondary));
    }
    return servers;
}

}  // namespace

int portFromConfig(const char* key, int fallback) {
    const auto value = platform::config::value(key);
    if (!value) return fallback;
    char* end = nullptr;
    const long port = std::strtol(value->c_str(), &end, 10);
    return end != value->c_str() && *end == '\0' && port > 0 && port <= 65535 ? static_cast<int>(port) : fallback;
}

IceTransport::Settings iceSettingsFromConfig(const TurnServerConfig& turn) {
    IceTransport::Settings settings;
    settings.stunServers = stunServersFromConfig();
    settings.stunPort = portFromConfig("stun/port", kDefaultStunPort);
    settings.localAddresses = splitList(platform::config::value("p2p/localAddresses").value_or(""));
    settings.relayOnly = platform::config::value("p2p/iceTransportPolicy").value_or("") == "relay";
    settings.turn = turn;
    return settings;
}

}  // namespace veltrix::p2p
