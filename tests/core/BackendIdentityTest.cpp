// The device's identity objects against the local backend (scripts/backend): registration,
// log-in, credential errors, fail-over, token expiry, signaling and heartbeats.
#include <gtest/gtest.h>


#include <QTimer>

#include <algorithm>
#include <fstream>
#include <memory>

#include "core/ApiClient.h"
#include "core/AuthController.h"
#include "core/HeartbeatService.h"
#include "core/SettingsController.h"
#include "support/LogCapture.h"
#include "support/RunningBackend.h"
#include "support/TcpProxy.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"
#include "transport/SignalingClient.h"

namespace veltrix {
namespace {

using test::waitUntil;

using Json = nlohmann::json;

// Counts the emissions of a signal and keeps the first argument of each as text.
// It lets go of the signal when it goes, so an emission during a later teardown finds nobody.
struct Spy {
    std::vector<QString> texts;
    QMetaObject::Connection connection;
    int count() const { return static_cast<int>(texts.size()); }
    template <typename Sender, typename Signal>
    Spy(Sender* sender, Signal signal) {
        connection = QObject::connect(sender, signal, [this](auto&&... args) { texts.push_back(first(args...)); });
    }
    ~Spy() { QObject::disconnect(connection); }
    Spy(const Spy&) = delete;
    Spy& operator=(const Spy&) = delete;
    static QString first() { return {}; }
    template <typename A, typename... Rest>
    static QString first(const A& a, const Rest&...) {
        if constexpr (std::is_convertible_v<A, QString>) return a; else return {};
    }
};

// One device: its instance file points at the backend; the objects are wired as the service does.
struct Device {
    std::unique_ptr<SettingsController> settings;
    std::unique_ptr<ApiClient> api;
    std::unique_ptr<SignalingClient> signaling;
    std::unique_ptr<HeartbeatService> heartbeat;
    std::unique_ptr<AuthController> auth;
    int heartbeats = 0;

    Device() { build(); }
    ~Device() { tearDown(); }

    void build() {
        settings = std::make_unique<SettingsController>();
        api = std::make_unique<ApiClient>(settings->serverUrl());
        signaling = std::make_unique<SignalingClient>();
        signaling->setReconnectDelays(50, 200);
        heartbeat = std::make_unique<HeartbeatService>(*api);
        heartbeat->setDetectionTimeout(2000);
        auth = std::make_unique<AuthController>(*api, *signaling, *heartbeat, *settings);
        auth->setRetryInterval(200);
        auth->setHeartbeatInterval(300);
        QObject::connect(api.get(), &ApiClient::heartbeatSent, [this] { ++heartbeats; });
    }

    void tearDown() {
        if (auth) auth->logout();
        auth.reset();
        heartbeat.reset();
        signaling.reset();
        api.reset();
        settings.reset();
    }
};

class BackendIdentityTest : public ::testing::Test {
protected:
    // `primaryPort` stands in for the backend's API port when set (a dead port or a proxy).
    void startBackend(QStringList extra = {}, bool deadPrimary = false, quint16 primaryPort = 0) {
        backend = std::make_unique<test::RunningBackend>(extra);
        ASSERT_TRUE(backend->start()) << backend->output().toStdString();
        writeInstance(deadPrimary ? 1 : primaryPort);
    }
    void writeInstance(quint16 primaryPort) {
        std::ofstream(root.path() / "machine-id") << "0123456789abcdef0123456789abcdef\n";
        std::ofstream ini(root.path() / "instance.ini");
        const int primary = primaryPort ? primaryPort : backend->apiPort();
        ini << "[backend]\napi_url=https://127.0.0.1:" << primary << "\nfailover_url=https://127.0.0.1:"
            << backend->failoverPort() << "\n\n[tls]\nextra_ca_file=" << backend->caFile().string()
            << "\n\n[stun]\nhost=127.0.0.1\nsecondary_host=127.0.0.2\nport=" << backend->stunPort() << "\n\n[echo]\nurl=https://127.0.0.1:"
            << backend->echoPort() << "/\n\n[machine]\nid_file=" << (root.path() / "machine-id").string() << "\n";
    }

    test::TempInstanceRoot root;
    test::LogCapture logs;
    std::unique_ptr<test::RunningBackend> backend;
};

TEST_F(BackendIdentityTest, RegistersHoldsSignalingSendsHeartbeatsAndLogsInAgainNextStart) {
    startBackend();
    QString clientId;
    {
        Device device;
        Spy registered(device.api.get(), &ApiClient::autoRegisterSuccess);
        Spy signalingUp(device.signaling.get(), &SignalingClient::connected);
        device.auth->tryAuthenticate();
        ASSERT_TRUE(waitUntil([&] { return device.auth->isAuthenticated(); }));
        EXPECT_EQ(registered.count(), 1);
        clientId = device.auth->clientId();
        EXPECT_EQ(clientId.size(), 9);
        EXPECT_EQ(device.settings->clientId(), clientId);
        EXPECT_TRUE(device.settings->hasClientId());
        EXPECT_EQ(device.auth->pairingHash(),
                  QString::fromLatin1((clientId + ":" + device.auth->pairingCode()).toUtf8().toBase64()));

        ASSERT_TRUE(waitUntil([&] { return signalingUp.count() == 1; }));
        EXPECT_TRUE(logs.contains("Signaling auth confirmed"));

        // Public address from the echo service and a NAT judgement from coturn's two loopback
        // addresses: both see the probe socket at one port, so it is not symmetric.
        ASSERT_TRUE(waitUntil([&] { return !device.heartbeat->natType().isEmpty(); }));
        EXPECT_EQ(device.heartbeat->natType(), "PortRestricted");
        EXPECT_TRUE(logs.contains("NAT type detected: PortRestricted"));
        ASSERT_TRUE(waitUntil([&] { return device.heartbeat->publicIp() == "127.0.0.1"; }));
        const int before = device.heartbeats;
        ASSERT_TRUE(waitUntil([&] { return device.heartbeats >= before + 2; }));

        // Another socket for this client replaces ours on the server; the client reconnects and
        // authenticates again.
        test::SignalingTestClient intruder(backend->caFile());
        ASSERT_TRUE(intruder.authenticate(backend->apiPort(), clientId, device.api->token()));
        ASSERT_TRUE(waitUntil([&] { return signalingUp.count() >= 2; }));
        EXPECT_TRUE(logs.contains("Reconnecting in 50 ms (attempt 1/10)"));
    }
    logs.clear();
    Device restarted;
    Spy loggedIn(restarted.api.get(), &ApiClient::authSuccess);
    restarted.auth->tryAuthenticate();
    ASSERT_TRUE(waitUntil([&] { return restarted.auth->isAuthenticated(); }));
    EXPECT_EQ(loggedIn.count(), 1);
    EXPECT_EQ(restarted.auth->clientId(), clientId);
    EXPECT_TRUE(logs.contains("Auto-login with stored client ID: " + clientId.toStdString()));
}

TEST_F(BackendIdentityTest, ACredentialErrorClearsTheIdentityAndTheNextTryRegisters) {
    startBackend();
    {
        SettingsController settings;
        settings.setClientId("999999999");
        settings.setDeviceSecret("not-a-secret-the-backend-knows");
    }
    Device device;
    Spy failed(device.auth.get(), &AuthController::authenticationFailed);
    Spy registered(device.api.get(), &ApiClient::autoRegisterSuccess);
    device.auth->tryAuthenticate();
    ASSERT_TRUE(waitUntil([&] { return device.auth->isAuthenticated(); }));
    ASSERT_EQ(failed.count(), 1);
    EXPECT_TRUE(AuthController::isCredentialError(failed.texts[0]));
    EXPECT_TRUE(logs.contains("Credential error — clearing client ID"));
    EXPECT_EQ(registered.count(), 1);
    EXPECT_NE(device.auth->clientId(), "999999999");
    EXPECT_EQ(device.settings->clientId(), device.auth->clientId());
}

TEST_F(BackendIdentityTest, TwoFailuresOnADeadPrimaryMoveToTheTwin) {
    startBackend({}, /*deadPrimary=*/true);
    Device device;
    Spy failed(device.auth.get(), &AuthController::authenticationFailed);
    device.auth->tryAuthenticate();
    ASSERT_TRUE(waitUntil([&] { return device.auth->isAuthenticated(); }));
    EXPECT_EQ(failed.count(), 2);
    EXPECT_EQ(device.api->baseUrl().port(), backend->failoverPort());
    EXPECT_TRUE(logs.contains("Server failover: switched to"));
    // Signaling follows the server in use.
    ASSERT_TRUE(waitUntil([&] { return device.signaling->isConnected() && logs.contains("Signaling auth confirmed"); }));
}

TEST_F(BackendIdentityTest, AnExpiredTokenParksRequestsAndLogsInAgain) {
    startBackend({"--token-lifetime", "10"});
    Device device;
    device.auth->setHeartbeatInterval(600000);
    device.auth->tryAuthenticate();
    ASSERT_TRUE(waitUntil([&] { return device.auth->isAuthenticated(); }));
    // The log-in's first heartbeat must be answered before the token runs out: on a slow machine
    // its 401 would otherwise start the re-login before the requests below are made.
    ASSERT_TRUE(waitUntil([&] { return device.heartbeats >= 1; }, std::chrono::milliseconds(10000)));
    device.heartbeat->stop();
    device.api->setReauthTimeout(4000);
    ASSERT_FALSE(device.api->awaitingReauthentication());
    test::runEventsFor(std::chrono::milliseconds(10500));  // past the token's lifetime

    Spy expired(device.api.get(), &ApiClient::tokenExpired);
    Spy reauthenticated(device.auth.get(), &AuthController::authenticated);
    std::vector<std::pair<int, Json>> results;
    for (int i = 0; i < ApiClient::kMaxPendingRequests + 1; ++i) {
        device.api->getRelayCandidates([&](int status, const Json& body) { results.emplace_back(status, body); });
    }
    // Sixteen are parked; the seventeenth fails at once with the server's own 401.
    ASSERT_TRUE(waitUntil([&] { return !results.empty(); }));
    EXPECT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].first, 401);
    EXPECT_NE(results[0].second.value("detail", std::string()), "re-auth timeout");
    EXPECT_EQ(expired.count(), 1);
    ASSERT_TRUE(waitUntil([&] { return reauthenticated.count() == 1; }));
    EXPECT_TRUE(logs.contains("Token expired — re-authenticating..."));

    // The new log-in sends the parked requests again with its token: they succeed.
    ASSERT_TRUE(waitUntil([&] { return results.size() == 17u; }, std::chrono::milliseconds(15000)));
    for (std::size_t i = 1; i < results.size(); ++i) {
        EXPECT_EQ(results[i].first, 200) << results[i].second.dump();
        EXPECT_FALSE(results[i].second.is_null()) << results[i].second.dump();
    }
    test::runEventsFor(std::chrono::milliseconds(4500));  // past the re-authentication wait
    EXPECT_FALSE(logs.contains("re-auth timeout"));
    EXPECT_EQ(expired.count(), 1);
}

TEST_F(BackendIdentityTest, APrimaryThatAcceptsAndNeverAnswersMovesTheDeviceToTheTwin) {
    backend = std::make_unique<test::RunningBackend>();
    ASSERT_TRUE(backend->start()) << backend->output().toStdString();
    test::TcpProxy silent(backend->apiPort());
    silent.setSilent(true);
    writeInstance(silent.port());
    Device device;
    device.api->setTransferTimeout(500);
    Spy failed(device.auth.get(), &AuthController::authenticationFailed);
    device.auth->tryAuthenticate();
    // Two time-outs and one retry between them, then the twin answers.
    ASSERT_TRUE(waitUntil([&] { return device.auth->isAuthenticated(); }, std::chrono::milliseconds(15000)));
    EXPECT_EQ(failed.count(), 2);
    EXPECT_GE(silent.acceptedConnections(), 1);
    EXPECT_EQ(device.api->baseUrl().port(), backend->failoverPort());
    EXPECT_TRUE(logs.contains("Server failover: switched to"));
}

TEST_F(BackendIdentityTest, ShortLivedTokensRenewWithoutDroppingSignalingOrFailingARequest) {
    // Four-second tokens for twenty seconds: five lifetimes, each renewed by the heartbeat's 401.
    startBackend({"--token-lifetime", "4"});
    Device device;
    device.auth->setHeartbeatInterval(250);
    Spy up(device.signaling.get(), &SignalingClient::connected);
    Spy down(device.signaling.get(), &SignalingClient::disconnected);
    Spy logins(device.auth.get(), &AuthController::authenticated);
    device.auth->tryAuthenticate();
    ASSERT_TRUE(waitUntil([&] { return up.count() == 1; }));
    std::vector<int> statuses;
    QTimer requests;
    QObject::connect(&requests, &QTimer::timeout, [&] {
        device.api->getRelayCandidates([&](int status, const Json&) { statuses.push_back(status); });
    });
    requests.start(200);
    test::runEventsFor(std::chrono::milliseconds(20000));
    requests.stop();
    ASSERT_TRUE(waitUntil([&] { return device.auth->isAuthenticated() && !device.api->awaitingReauthentication(); }));
    EXPECT_GE(logins.count(), 4);
    EXPECT_EQ(down.count(), 0);
    EXPECT_EQ(up.count(), 1);
    EXPECT_TRUE(device.signaling->isConnected());
    EXPECT_FALSE(logs.contains("re-auth timeout"));
    EXPECT_GE(statuses.size(), 40u);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 200), static_cast<long>(statuses.size()));
}

TEST_F(BackendIdentityTest, AReconnectWithAnExpiredTokenLogsInAgainAndComesBack) {
    startBackend({"--token-lifetime", "3"});
    Device device;
    device.auth->setHeartbeatInterval(600000);  // nothing but signaling notices the expiry
    Spy up(device.signaling.get(), &SignalingClient::connected);
    device.auth->tryAuthenticate();
    ASSERT_TRUE(waitUntil([&] { return up.count() == 1; }));
    const QString firstToken = device.api->token();
    test::runEventsFor(std::chrono::milliseconds(3500));  // the token runs out

    // Another log-in's socket replaces ours; our reconnect presents the expired token.
    test::HttpsClient http(backend->caFile());
    const test::Reply login = http.post(
        QStringLiteral("https://127.0.0.1:%1/auth/auto-login").arg(backend->apiPort()),
        {{"client_id", device.auth->clientId()}, {"device_secret", device.settings->deviceSecret()}});
    ASSERT_EQ(login.status, 200);
    test::SignalingTestClient intruder(backend->caFile());
    ASSERT_TRUE(intruder.authenticate(backend->apiPort(), device.auth->clientId(), login.body["token"].toString()));
    ASSERT_TRUE(waitUntil([&] { return up.count() == 2; }, std::chrono::milliseconds(10000)));
    EXPECT_TRUE(logs.contains("signaling refused the token — logging in again"));
    EXPECT_NE(device.api->token(), firstToken);
    EXPECT_EQ(device.signaling->token(), device.api->token());
    EXPECT_TRUE(device.auth->isAuthenticated());
}

TEST_F(BackendIdentityTest, AHalfOpenSignalingConnectionIsDetectedAndReplaced) {
    backend = std::make_unique<test::RunningBackend>();
    ASSERT_TRUE(backend->start()) << backend->output().toStdString();
    test::TcpProxy proxy(backend->apiPort());
    writeInstance(proxy.port());
    Device device;
    device.auth->setHeartbeatInterval(600000);
    device.signaling->setKeepAlive(300, 300);
    Spy up(device.signaling.get(), &SignalingClient::connected);
    Spy down(device.signaling.get(), &SignalingClient::disconnected);
    device.auth->tryAuthenticate();
    ASSERT_TRUE(waitUntil([&] { return up.count() == 1; }));
    test::runEventsFor(std::chrono::milliseconds(800));  // pings answered: nothing happens
    EXPECT_EQ(down.count(), 0);

    proxy.freezeOpenConnections();  // the backend's pongs no longer arrive
    ASSERT_TRUE(waitUntil([&] { return down.count() == 1; }, std::chrono::milliseconds(5000)));
    EXPECT_TRUE(logs.contains("Signaling: connection is not answering (no pong)"));
    ASSERT_TRUE(waitUntil([&] { return up.count() == 2; }, std::chrono::milliseconds(10000)));
    EXPECT_TRUE(device.signaling->isConnected());
}

TEST_F(BackendIdentityTest, SignalingWithARejectedTokenDoesNotReconnect) {
    startBackend();
    Device device;
    device.auth->tryAuthenticate();
    ASSERT_TRUE(waitUntil([&] { return device.auth->isAuthenticated(); }));
    SignalingClient other;
    other.setReconnectDelays(10, 20);
    Spy errors(&other, &SignalingClient::connectionError);
    Spy closed(&other, &SignalingClient::disconnected);
    other.connectToServer(device.settings->serverUrl(), device.auth->clientId(), "wrong-token");
    ASSERT_TRUE(waitUntil([&] { return closed.count() == 1; }));
    test::runEventsFor(std::chrono::milliseconds(200));
    EXPECT_FALSE(other.reconnectPending());
    EXPECT_EQ(closed.count(), 1);
    ASSERT_GE(errors.count(), 1);
    EXPECT_EQ(errors.texts[0], "Authentication rejected by server");
}

TEST_F(BackendIdentityTest, ConnectingAgainCancelsAPendingReconnect) {
    startBackend();
    Device device;
    device.auth->tryAuthenticate();
    ASSERT_TRUE(waitUntil([&] { return device.signaling->isConnected(); }));
    SignalingClient client;
    client.setReconnectDelays(300, 300);
    Spy up(&client, &SignalingClient::connected);
    QUrl dead("https://127.0.0.1:1");
    client.connectToServer(dead, device.auth->clientId(), device.api->token());
    ASSERT_TRUE(waitUntil([&] { return client.reconnectPending(); }));
    device.signaling->disconnectFromServer();
    client.connectToServer(device.settings->serverUrl(), device.auth->clientId(), device.api->token());
    EXPECT_FALSE(client.reconnectPending());
    ASSERT_TRUE(waitUntil([&] { return up.count() == 1; }));
    test::runEventsFor(std::chrono::milliseconds(500));  // past the cancelled reconnect
    EXPECT_TRUE(client.isConnected());
    EXPECT_EQ(up.count(), 1);
}

}  // namespace
}  // namespace veltrix
