// The TURN data of the local backend's relay candidates, used as a session uses it: two
// peer-to-peer transports that may only use relayed candidates meet through the backend's coturn
// with the host, port and credentials the list offers.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QSettings>

#include "P2PTestSupport.h"
#include "support/RunningBackend.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {

using namespace std::chrono_literals;

TEST(TurnThroughBackendTest, TheRelayCandidatesTurnCredentialsCarryARelayOnlySession) {
    test::TempInstanceRoot root;
    const QString instance = QString::fromStdString(root.path().string());
    test::RunningBackend backend({"--instance", instance});
    ASSERT_TRUE(backend.start()) << backend.output().toStdString();
    {
        QSettings ini(instance + "/instance.ini", QSettings::IniFormat);
        ini.setValue("stun/host", QString());
        ini.setValue("p2p/localAddresses", "127.0.0.1");
        ini.setValue("p2p/iceTransportPolicy", "relay");
    }

    test::HttpsClient http(backend.caFile());
    const QJsonObject device = test::registerDevice(http, backend.apiPort(), "device");
    const test::Reply list = http.send("GET", QStringLiteral("https://127.0.0.1:%1/nat/relay-candidates").arg(backend.apiPort()),
                                       {}, device["token"].toString());
    ASSERT_EQ(list.status, 200);
    const QJsonObject entry = list.body.array().at(0).toObject();
    const TurnServerConfig turn{entry["turn_ip"].toString().toStdString(), static_cast<std::uint32_t>(entry["turn_port"].toInt()),
                                entry["turn_username"].toString().toStdString(),
                                entry["turn_password"].toString().toStdString()};
    ASSERT_FALSE(turn.password.empty());

    P2PTransport offerer, answerer;
    offerer.setTurnServerConfig(turn);
    answerer.setTurnServerConfig(turn);
    std::vector<QString> candidates;
    QObject::connect(&offerer, &IP2PTransport::localCandidateReady,
                     [&](const QString& candidate, const QString&) { candidates.push_back(candidate); });
    test::wireSignaling(offerer, answerer);
    test::Received got;
    got.attach(answerer);
    answerer.startAsAnswerer();
    offerer.startAsOfferer();
    ASSERT_TRUE(test::waitUntil([&] { return offerer.isConnected() && answerer.isConnected(); }, 30s));
    ASSERT_FALSE(candidates.empty());
    for (const QString& candidate : candidates) EXPECT_TRUE(candidate.contains(" typ relay")) << candidate.toStdString();

    const QByteArray message = test::patternMessage(64 * 1024, 7);
    ASSERT_TRUE(test::sendBytes(offerer, ChannelType::Video, message));
    ASSERT_TRUE(test::waitUntil([&] { return !got.video.empty(); }, 10s));
    EXPECT_TRUE(got.video.front() == message);
}

}  // namespace
}  // namespace veltrix
