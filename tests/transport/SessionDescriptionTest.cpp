#include "transport/SessionDescription.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veltrix {
namespace {

using Type = SessionDescription::Type;
using Setup = SessionDescription::Setup;

constexpr const char* kFingerprint =
    "AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99";

// An offer as a WebRTC peer writes it, with its candidates in the description and the ICE
// credentials and fingerprints at session level.
std::string peerOffer() {
    return std::string("v=0\r\n"
                       "o=- 3921234 0 IN IP4 0.0.0.0\r\n"
                       "s=-\r\n"
                       "t=0 0\r\n"
                       "a=group:BUNDLE 0\r\n"
                       "a=msid-semantic:WMS *\r\n"
                       "a=ice-ufrag:abCD\r\n"
                       "a=ice-pwd:0123456789abcdefghijkl\r\n"
                       "a=fingerprint:sha-384 AA:BB\r\n"
                       "a=fingerprint:sha-256 ") +
           kFingerprint +
           "\r\n"
           "a=setup:actpass\r\n"
           "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n"
           "c=IN IP4 0.0.0.0\r\n"
           "a=mid:0\r\n"
           "a=sctp-port:5000\r\n"
           "a=max-message-size:65536\r\n"
           "a=candidate:1a2b 1 udp 2130706431 192.0.2.7 50000 typ host\r\n"
           "a=candidate:3 1 UDP 1694498815 198.51.100.1 40000 typ srflx raddr 192.0.2.7 rport 50000 generation 0\r\n"
           "a=candidate:4 1 TCP 1518280447 192.0.2.7 9 typ host tcptype active\r\n"
           "a=candidate:5 1 udp 2130706431 f3b4c1d2-aaaa.local 50001 typ host\r\n"
           "a=end-of-candidates\r\n";
}

TEST(SessionDescriptionTest, ReadsWhatAPeerSends) {
    std::string error;
    const auto description = SessionDescription::parse(peerOffer(), Type::Offer, &error);
    ASSERT_TRUE(description) << error;
    EXPECT_EQ(description->iceUfrag, "abCD");
    EXPECT_EQ(description->icePwd, "0123456789abcdefghijkl");
    ASSERT_EQ(description->fingerprints.size(), 1u);
    EXPECT_EQ(formatFingerprint(description->fingerprints[0]), kFingerprint);
    EXPECT_EQ(description->setup, Setup::ActPass);
    EXPECT_EQ(description->mid, "0");
    EXPECT_EQ(description->sctpPort, 5000);
    EXPECT_EQ(description->maxMessageSize, 65536u);
    ASSERT_EQ(description->candidates.size(), 2u);
    EXPECT_EQ(description->candidates[0].address, "192.0.2.7");
    EXPECT_EQ(description->candidates[0].port, 50000);
    EXPECT_EQ(description->candidates[1].type, IceCandidate::Type::ServerReflexive);
    EXPECT_EQ(description->candidates[1].relatedPort, 50000);
    EXPECT_EQ(description->skippedCandidates, 2u);  // the TCP and the host-name candidate
    EXPECT_TRUE(description->endOfCandidates);
}

TEST(SessionDescriptionTest, WhatItWritesReadsBackAndNamesEveryField) {
    SessionDescription answer;
    answer.type = Type::Answer;
    answer.mid = "data";
    answer.iceUfrag = "wxyz";
    answer.icePwd = "ABCDEFGHIJKLMNOPQRSTUV+/";
    answer.fingerprints = {SessionDescription::parse(peerOffer(), Type::Offer)->fingerprints[0]};
    answer.setup = Setup::Active;
    answer.maxMessageSize = 16777216;
    const std::string sdp = answer.toSdp(42);
    for (const char* line : {"m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n", "a=mid:data\r\n",
                             "a=setup:active\r\n", "a=sctp-port:5000\r\n", "a=max-message-size:16777216\r\n",
                             "a=group:BUNDLE data\r\n"})
        EXPECT_NE(sdp.find(line), std::string::npos) << line;
    EXPECT_NE(sdp.find(std::string("a=fingerprint:sha-256 ") + kFingerprint + "\r\n"), std::string::npos);

    const auto back = SessionDescription::parse(sdp, Type::Answer);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->mid, "data");
    EXPECT_EQ(back->iceUfrag, answer.iceUfrag);
    EXPECT_EQ(back->icePwd, answer.icePwd);
    EXPECT_EQ(back->fingerprints, answer.fingerprints);
    EXPECT_EQ(back->setup, Setup::Active);
    EXPECT_EQ(back->maxMessageSize, 16777216u);
    EXPECT_TRUE(back->candidates.empty());
}

// Each case changes one thing in an otherwise good offer, and each must be refused.
TEST(SessionDescriptionTest, RefusesDescriptionsThatAreNotAUsableDataChannelSession) {
    const std::string good = peerOffer();
    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        const std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "empty"},
        {"not sdp at all", "garbage"},
        {replaced("v=0", "v=1"), "version"},
        {replaced("a=ice-ufrag:abCD", "a=ice-ufrag:ab"), "ufrag too short"},
        {replaced("a=ice-ufrag:abCD\r\n", ""), "no ufrag"},
        {replaced("a=ice-pwd:0123456789abcdefghijkl", "a=ice-pwd:short"), "pwd too short"},
        {replaced("a=ice-pwd:0123456789abcdefghijkl", "a=ice-pwd:0123456789abcdefghij;l"), "pwd character"},
        {replaced(std::string("a=fingerprint:sha-256 ") + kFingerprint + "\r\n", ""), "no sha-256 fingerprint"},
        {replaced("AA:BB:CC:DD", "AA:BB:CC:D"), "fingerprint short"},
        {replaced("AA:BB:CC:DD", "AA:BB:CC:DX"), "fingerprint not hex"},
        {replaced("a=setup:actpass", "a=setup:holdconn"), "setup holdconn"},
        {replaced("a=setup:actpass\r\n", ""), "no setup"},
        {replaced("UDP/DTLS/SCTP", "RTP/SAVPF"), "not a data channel"},
        {replaced("m=application 9", "m=application 0"), "rejected section"},
        {replaced("m=application 9", "m=application 70000"), "port out of range"},
        {good + "m=audio 9 UDP/TLS/RTP/SAVPF 111\r\n", "second media section"},
        {replaced("a=mid:0", "a=mid:" + std::string(40, 'm')), "mid too long"},
        {replaced("a=mid:0", "a=mid:0\r\na=mid:1"), "mid twice"},
        {replaced("a=sctp-port:5000", "a=sctp-port:0"), "sctp port 0"},
        {replaced("a=sctp-port:5000", "a=sctp-port:5000x"), "sctp port garbage"},
        {replaced("a=max-message-size:65536", "a=max-message-size:99999999999999999999999"), "max size overflows"},
        {replaced("s=-", "s=\x01"), "control character"},
        {replaced("s=-", "s=" + std::string(5000, 's')), "line too long"},
        {good + std::string(SessionDescription::kMaxTextSize, 'x'), "too long"},
        {replaced("a=group", std::string(600, '\n') + "a=group"), "fine: blank lines skipped"},
    };
    for (const auto& [text, what] : cases) {
        std::string error;
        const auto description = SessionDescription::parse(text, Type::Offer, &error);
        if (std::string(what).rfind("fine", 0) == 0)
            EXPECT_TRUE(description) << what << ": " << error;
        else
            EXPECT_FALSE(description) << what;
    }
    std::string many = good;
    for (int i = 0; i < 600; ++i) many += "a=x-filler:" + std::to_string(i) + "\r\n";
    EXPECT_FALSE(SessionDescription::parse(many, Type::Offer)) << "too many lines";
    EXPECT_FALSE(SessionDescription::parse(good, Type::Answer)) << "an answer saying actpass";
}

// The older form some peers still write (this one is aiortc's), and the answer written to it.
TEST(SessionDescriptionTest, ReadsTheOlderSctpFormAndAnswersInIt) {
    const std::string offer =
        "v=0\r\no=- 4005985302 4005985302 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0\r\n"
        "a=msid-semantic:WMS *\r\nm=application 47225 DTLS/SCTP 5001\r\nc=IN IP4 127.0.0.1\r\na=mid:0\r\n"
        "a=sctpmap:5001 webrtc-datachannel 65535\r\na=max-message-size:65536\r\n"
        "a=candidate:16572de626da4e5384a0ce2d0d93678a 1 udp 2130706431 127.0.0.1 47225 typ host\r\n"
        "a=end-of-candidates\r\na=ice-ufrag:BdJw\r\na=ice-pwd:uluBrnw0zSQJ7jS4jL20FM\r\n"
        "a=fingerprint:sha-256 "
        "FA:04:C5:02:AA:83:A0:34:C8:23:59:94:0E:DB:AB:9B:0D:E2:CC:20:4E:07:3F:C2:68:EE:E3:C9:D0:61:F8:02\r\n"
        "a=setup:actpass\r\n";
    const auto description = SessionDescription::parse(offer, Type::Offer);
    ASSERT_TRUE(description);
    EXPECT_TRUE(description->legacySctp);
    EXPECT_EQ(description->sctpPort, 5001);
    EXPECT_EQ(description->candidates.size(), 1u);
    EXPECT_FALSE(SessionDescription::parse(offer.substr(0, offer.find("DTLS/SCTP 5001")) + "DTLS/SCTP x" +
                                               offer.substr(offer.find(" 5001\r\n") + 5),
                                           Type::Offer));

    SessionDescription answer = *description;
    answer.type = Type::Answer;
    answer.setup = Setup::Active;
    const std::string sdp = answer.toSdp(7);
    EXPECT_NE(sdp.find("m=application 9 DTLS/SCTP 5001\r\n"), std::string::npos);
    EXPECT_NE(sdp.find("a=sctpmap:5001 webrtc-datachannel"), std::string::npos);
    EXPECT_EQ(sdp.find("a=sctp-port"), std::string::npos);
    EXPECT_EQ(SessionDescription::parse(sdp, Type::Answer)->sctpPort, 5001);
}

TEST(SessionDescriptionTest, KeepsAtMostItsShareOfCandidates) {
    std::string text = peerOffer();
    for (std::size_t i = 0; i < SessionDescription::kMaxCandidates + 10; ++i)
        text += "a=candidate:" + std::to_string(i) + " 1 udp 100 192.0.2.1 " + std::to_string(1000 + i) + " typ host\r\n";
    const auto description = SessionDescription::parse(text, Type::Offer);
    ASSERT_TRUE(description);
    EXPECT_EQ(description->candidates.size(), SessionDescription::kMaxCandidates);
}

TEST(IceCandidateTest, ReadsAndWritesTheCandidateFormat) {
    const auto relayed =
        IceCandidate::parse("a=candidate:Xy+/ 1 UDP 16777215 2001:db8::5 3478 typ relay raddr 0.0.0.0 rport 0");
    ASSERT_TRUE(relayed);
    EXPECT_EQ(relayed->foundation, "Xy+/");
    EXPECT_EQ(relayed->priority, 16777215u);
    EXPECT_EQ(relayed->address, "2001:db8::5");
    EXPECT_EQ(relayed->type, IceCandidate::Type::Relayed);
    EXPECT_EQ(relayed->toString(), "candidate:Xy+/ 1 UDP 16777215 2001:db8::5 3478 typ relay raddr 0.0.0.0 rport 0");
    const auto host = IceCandidate::parse("candidate:1 1 udp 2130706431 127.0.0.1 5000 typ host generation 0 ufrag abcd");
    ASSERT_TRUE(host);
    EXPECT_EQ(IceCandidate::parse(host->toString())->port, 5000);
}

TEST(IceCandidateTest, RefusesWhatItCannotUse) {
    const std::vector<std::string> refused = {
        "",
        "candidate:",
        "garbage",
        "candidate:1 1 UDP 1 127.0.0.1 9 typ host\r\na=mid:0",
        "candidate:1 1 UDP 1 127.0.0.1 9 typ",
        "candidate:1 2 UDP 1 127.0.0.1 9 typ host",
        "candidate:1 1 TCP 1 127.0.0.1 9 typ host tcptype passive",
        "candidate:1 1 UDP 0 127.0.0.1 9 typ host",
        "candidate:1 1 UDP 4294967296 127.0.0.1 9 typ host",
        "candidate:1 1 UDP 1 127.0.0.1 0 typ host",
        "candidate:1 1 UDP 1 127.0.0.1 65536 typ host",
        "candidate:1 1 UDP 1 127.0.0.1 9 typ server",
        "candidate:1 1 UDP 1 host.local 9 typ host",
        "candidate:1 1 UDP 1 fe80::1%eth0 9 typ host",
        "candidate:1 1 UDP 1 127.0.0.1 9 typ srflx raddr 10.0.0.1",
        "candidate:1 1 UDP 1 127.0.0.1 9 typ host generation",
        "candidate:1  1 UDP 1 127.0.0.1 9 typ host",
        "candidate:" + std::string(40, 'f') + " 1 UDP 1 127.0.0.1 9 typ host",
        "candidate:f;f 1 UDP 1 127.0.0.1 9 typ host",
        "candidate:1 1 UDP 1 127.0.0.1 9 typ host" + std::string(IceCandidate::kMaxTextSize, ' '),
    };
    for (const std::string& text : refused) {
        std::string error;
        EXPECT_FALSE(IceCandidate::parse(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

}  // namespace
}  // namespace veltrix
