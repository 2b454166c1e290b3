#include "transport/SessionDescription.h"

#include <QString>

#include <charconv>

namespace veltrix {

namespace {

using Setup = SessionDescription::Setup;

constexpr std::string_view kDataChannelProtocol = "UDP/DTLS/SCTP";
constexpr std::string_view kDataChannelFormat = "webrtc-datachannel";
constexpr std::string_view kLegacyDataChannelProtocol = "DTLS/SCTP";
constexpr std::size_t kMaxMidSize = 32;

std::nullopt_t refuse(std::string* error, std::string reason) {
    if (error) *error = std::move(reason);
    return std::nullopt;
}

bool isIceChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

bool isTokenChar(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`{|}~").find(c) != std::string_view::npos;
}

template <typename Predicate>
bool allOf(std::string_view text, Predicate&& predicate) {
    for (char c : text)
        if (!predicate(c)) return false;
    return true;
}

bool parseDecimal(std::string_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 20 || !allOf(text, [](char c) { return c >= '0' && c <= '9'; })) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "AB:CD:..." with exactly 32 bytes.
std::optional<Sha256Fingerprint> parseSha256(std::string_view text) {
    Sha256Fingerprint digest{};
    if (text.size() != digest.size() * 3 - 1) return std::nullopt;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = hexValue(text[i * 3]);
        const int low = hexValue(text[i * 3 + 1]);
        if (high < 0 || low < 0 || (i + 1 < digest.size() && text[i * 3 + 2] != ':')) return std::nullopt;
        digest[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return digest;
}

// What one level (session or media) of the description said about the transport.
struct Level {
    std::optional<std::string> iceUfrag;
    std::optional<std::string> icePwd;
    std::optional<Setup> setup;
    std::vector<Sha256Fingerprint> fingerprints;
};

class Parser {
public:
    Parser(SessionDescription::Type type, std::string* error) : error_(error) { result_.type = type; }

    std::optional<SessionDescription> run(std::string_view text);

private:
    bool line(std::string_view line);
    bool mediaLine(std::string_view value);
    bool attribute(std::string_view name, std::string_view value, bool hasValue);
    bool levelAttribute(Level& level, std::string_view name, std::string_view value);
    bool mediaAttribute(std::string_view name, std::string_view value);
    bool refuseLine(const std::string& reason) {
        if (error_) *error_ = reason;
        return false;
    }
    std::optional<SessionDescription> finish();

    std::string* error_;
    SessionDescription result_;
    Level session_;
    Level media_;
    int mediaSections_ = 0;
    bool seenVersion_ = false;
    bool seenMid_ = false;
    bool seenSctpPort_ = false;
    bool seenMaxMessageSize_ = false;
};

std::optional<SessionDescription> Parser::run(std::string_view text) {
    if (text.size() > SessionDescription::kMaxTextSize) return refuse(error_, "description too long");
    std::size_t lines = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view current = text.substr(start, end - start);
        start = end + 1;
        if (!current.empty() && current.back() == '\r') current.remove_suffix(1);
        if (current.empty()) continue;
        if (++lines > SessionDescription::kMaxLines) return refuse(error_, "too many lines");
        if (current.size() > SessionDescription::kMaxLineSize) return refuse(error_, "line too long");
        if (!line(current)) return std::nullopt;
    }
    return finish();
}

bool Parser::line(std::string_view text) {
    for (char c : text)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) return refuseLine("control character");
    if (text.size() < 2 || text[1] != '=' || text[0] < 'a' || text[0] > 'z') return refuseLine("not an SDP line");
    const std::string_view value = text.substr(2);
    if (!seenVersion_) {
        if (text != "v=0") return refuseLine("description does not start with v=0");
        seenVersion_ = true;
        return true;
    }
    switch (text[0]) {
    case 'm':
        return mediaLine(value);
    case 'a': {
        const std::size_t colon = value.find(':');
        const bool hasValue = colon != std::string_view::npos;
        return attribute(value.substr(0, colon), hasValue ? value.substr(colon + 1) : std::string_view(), hasValue);
    }
    default:
        return true;  // o=, s=, t=, c=, b= ...: nothing this transport needs
    }
}

bool Parser::mediaLine(std::string_view value) {
    if (++mediaSections_ > 1) return refuseLine("more than one media section (not a data-channel-only session)");
    // application <port> UDP/DTLS/SCTP webrtc-datachannel
    const std::size_t first = value.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : value.find(' ', first + 1);
    const std::size_t third = second == std::string_view::npos ? second : value.find(' ', second + 1);
    if (third == std::string_view::npos) return refuseLine("malformed m= line");
    const std::string_view media = value.substr(0, first);
    const std::string_view port = value.substr(first + 1, second - first - 1);
    const std::string_view protocol = value.substr(second + 1, third - second - 1);
    const std::string_view format = value.substr(third + 1);
    std::uint64_t sctpPort = 0;
    if (media == "application" && protocol == kLegacyDataChannelProtocol && parseDecimal(format, sctpPort) &&
        sctpPort > 0 && sctpPort <= 65535) {
        result_.legacySctp = true;
        result_.sctpPort = static_cast<std::uint16_t>(sctpPort);
    } else if (media != "application" || protocol != kDataChannelProtocol || format != kDataChannelFormat) {
        return refuseLine("media section is not a data channel");
    }
    std::uint64_t portNumber = 0;
    if (!parseDecimal(port, portNumber) || portNumber > 65535) return refuseLine("malformed m= line");
    if (portNumber == 0) return refuseLine("data-channel section rejected (port 0)");
    return true;
}

bool Parser::attribute(std::string_view name, std::string_view value, bool hasValue) {
    Level& level = mediaSections_ == 0 ? session_ : media_;
    if (name == "ice-ufrag" || name == "ice-pwd" || name == "setup" || name == "fingerprint") {
        if (!hasValue) return refuseLine(std::string("a=") + std::string(name) + " without a value");
        return levelAttribute(level, name, value);
    }
    if (mediaSections_ == 0) return true;  // a=group, a=msid-semantic, a=ice-options ...
    if (name == "end-of-candidates") {
        result_.endOfCandidates = true;
        return true;
    }
    if (name == "mid" || name == "sctp-port" || name == "max-message-size" || name == "candidate") {
        if (!hasValue) return refuseLine(std::string("a=") + std::string(name) + " without a value");
        return mediaAttribute(name, value);
    }
    return true;
}

bool Parser::levelAttribute(Level& level, std::string_view name, std::string_view value) {
    if (name == "ice-ufrag") {
        if (level.iceUfrag) return refuseLine("a=ice-ufrag given twice");
        if (value.size() < 4 || value.size() > 256 || !allOf(value, isIceChar)) return refuseLine("malformed a=ice-ufrag");
        level.iceUfrag = std::string(value);
    } else if (name == "ice-pwd") {
        if (level.icePwd) return refuseLine("a=ice-pwd given twice");
        if (value.size() < 22 || value.size() > 256 || !allOf(value, isIceChar)) return refuseLine("malformed a=ice-pwd");
        level.icePwd = std::string(value);
    } else if (name == "setup") {
        if (level.setup) return refuseLine("a=setup given twice");
        if (value == "actpass")
            level.setup = Setup::ActPass;
        else if (value == "active")
            level.setup = Setup::Active;
        else if (value == "passive")
            level.setup = Setup::Passive;
        else
            return refuseLine("unusable a=setup");
    } else {  // fingerprint
        const std::size_t blank = value.find(' ');
        if (blank == std::string_view::npos) return refuseLine("malformed a=fingerprint");
        const QLatin1String hash(value.data(), static_cast<qsizetype>(blank));
        if (hash.compare(QLatin1String("sha-256"), Qt::CaseInsensitive) != 0) return true;  // a hash this side does not check
        const auto digest = parseSha256(value.substr(blank + 1));
        if (!digest) return refuseLine("malformed sha-256 a=fingerprint");
        if (level.fingerprints.size() >= SessionDescription::kMaxFingerprints)
            return refuseLine("too many a=fingerprint lines");
        level.fingerprints.push_back(*digest);
    }
    return true;
}

bool Parser::mediaAttribute(std::string_view name, std::string_view value) {
    if (name == "mid") {
        if (seenMid_) return refuseLine("a=mid given twice");
        if (value.empty() || value.size() > kMaxMidSize || !allOf(value, isTokenChar)) return refuseLine("malformed a=mid");
        result_.mid = std::string(value);
        seenMid_ = true;
    } else if (name == "sctp-port") {
        std::uint64_t port = 0;
        if (result_.legacySctp) return true;  // the m-line's format names the port in that form
        if (seenSctpPort_) return refuseLine("a=sctp-port given twice");
        if (!parseDecimal(value, port) || port == 0 || port > 65535) return refuseLine("malformed a=sctp-port");
        result_.sctpPort = static_cast<std::uint16_t>(port);
        seenSctpPort_ = true;
    } else if (name == "max-message-size") {
        if (seenMaxMessageSize_) return refuseLine("a=max-message-size given twice");
        if (!parseDecimal(value, result_.maxMessageSize)) return refuseLine("malformed a=max-message-size");
        seenMaxMessageSize_ = true;
    } else {  // candidate
        auto candidate = IceCandidate::parse(std::string("candidate:") + std::string(value));
        if (!candidate || result_.candidates.size() >= SessionDescription::kMaxCandidates)
            ++result_.skippedCandidates;
        else
            result_.candidates.push_back(std::move(*candidate));
    }
    return true;
}

std::optional<SessionDescription> Parser::finish() {
    if (!seenVersion_) return refuse(error_, "empty description");
    if (mediaSections_ == 0) return refuse(error_, "no data-channel section");
    const auto pick = [](auto& media, auto& session) { return media ? media : session; };
    const auto ufrag = pick(media_.iceUfrag, session_.iceUfrag);
    const auto pwd = pick(media_.icePwd, session_.icePwd);
    const auto setup = pick(media_.setup, session_.setup);
    if (!ufrag || !pwd) return refuse(error_, "no ICE credentials");
    if (!setup) return refuse(error_, "no a=setup");
    result_.iceUfrag = *ufrag;
    result_.icePwd = *pwd;
    result_.setup = *setup;
    result_.fingerprints = media_.fingerprints.empty() ? session_.fingerprints : media_.fingerprints;
    if (result_.fingerprints.empty()) return refuse(error_, "no sha-256 a=fingerprint");
    if (result_.type == SessionDescription::Type::Answer && result_.setup == Setup::ActPass)
        return refuse(error_, "an answer must say a=setup:active or passive");
    return std::move(result_);
}

}  // namespace

std::optional<SessionDescription> SessionDescription::parse(std::string_view text, Type type, std::string* error) {
    return Parser(type, error).run(text);
}

std::optional<SessionDescription::Type> SessionDescription::typeFromName(std::string_view name) {
    if (name == "offer") return Type::Offer;
    if (name == "answer") return Type::Answer;
    return std::nullopt;
}

const char* SessionDescription::typeName(Type type) { return type == Type::Offer ? "offer" : "answer"; }

std::string SessionDescription::toSdp(std::uint64_t sessionId) const {
    const char* setupName = setup == Setup::ActPass ? "actpass" : setup == Setup::Active ? "active" : "passive";
    std::string sdp;
    sdp += "v=0\r\n";
    sdp += "o=- " + std::to_string(sessionId) + " 2 IN IP4 127.0.0.1\r\n";
    sdp += "s=-\r\n";
    sdp += "t=0 0\r\n";
    sdp += "a=group:BUNDLE " + mid + "\r\n";
    if (legacySctp)
        sdp += "m=application 9 DTLS/SCTP " + std::to_string(sctpPort) + "\r\n";
    else
        sdp += "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n";
    sdp += "c=IN IP4 0.0.0.0\r\n";
    sdp += "a=mid:" + mid + "\r\n";
    sdp += "a=ice-ufrag:" + iceUfrag + "\r\n";
    sdp += "a=ice-pwd:" + icePwd + "\r\n";
    sdp += "a=ice-options:trickle\r\n";
    for (const Sha256Fingerprint& fingerprint : fingerprints)
        sdp += "a=fingerprint:sha-256 " + formatFingerprint(fingerprint) + "\r\n";
    sdp += std::string("a=setup:") + setupName + "\r\n";
    if (legacySctp)
        sdp += "a=sctpmap:" + std::to_string(sctpPort) + " webrtc-datachannel 1024\r\n";
    else
        sdp += "a=sctp-port:" + std::to_string(sctpPort) + "\r\n";
    sdp += "a=max-message-size:" + std::to_string(maxMessageSize) + "\r\n";
    for (const IceCandidate& candidate : candidates) sdp += "a=" + candidate.toString() + "\r\n";
    if (endOfCandidates) sdp += "a=end-of-candidates\r\n";
    return sdp;
}

std::string formatFingerprint(const Sha256Fingerprint& fingerprint) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(fingerprint.size() * 3);
    for (std::uint8_t byte : fingerprint) {
        if (!text.empty()) text += ':';
        text += kHex[byte >> 4];
        text += kHex[byte & 0x0f];
    }
    return text;
}

}  // namespace veltrix
