// Contract tests: the running backend (scripts/backend: VeltrixBackend and coturn) met with plain
// Qt network clients, the way the devices talk to it.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QUdpSocket>

#include "RelayTestClient.h"
#include "support/RunningBackend.h"

using namespace std::chrono_literals;
using namespace veltrix::test;

namespace {

class BackendContractTest : public ::testing::Test {
protected:
    void startBackend(QStringList arguments = {}) {
        backend_ = std::make_unique<RunningBackend>(std::move(arguments));
        http_ = std::make_unique<HttpsClient>(backend_->caFile());
        ASSERT_TRUE(backend_->start()) << backend_->output().toStdString();
        http_ = std::make_unique<HttpsClient>(backend_->caFile());
    }
    void SetUp() override {
        // Every test starts its own backend; a failed start must end the test, not crash it.
        if (HasFatalFailure()) GTEST_SKIP();
    }
    QString api(const QString& path, quint16 port = 0) const {
        return QStringLiteral("https://127.0.0.1:%1%2").arg(port ? port : backend_->apiPort()).arg(path);
    }
    // A registered device with an authenticated signaling socket.
    struct Device {
        QString id, secret, token;
        std::unique_ptr<SignalingTestClient> signaling;
    };
    Device onlineDevice(const QString& name, bool connect = true) {
        const QJsonObject registered = registerDevice(*http_, backend_->apiPort(), name);
        Device device{registered["client_id"].toString(), registered["device_secret"].toString(),
                      registered["token"].toString(), std::make_unique<SignalingTestClient>(backend_->caFile())};
        if (connect) {
            EXPECT_TRUE(device.signaling->authenticate(backend_->apiPort(), device.id, device.token));
        }
        return device;
    }
    static void expectAllStrings(const QJsonObject& message) {
        for (auto it = message.begin(); it != message.end(); ++it) {
            EXPECT_TRUE(it.value().isString()) << it.key().toStdString() << " is not a string";
        }
    }

    std::unique_ptr<RunningBackend> backend_;
    std::unique_ptr<HttpsClient> http_;
};

TEST_F(BackendContractTest, RegistrationLogInAndCredentialErrorTexts) {
    startBackend();
    const QJsonObject first = registerDevice(*http_, backend_->apiPort(), "DESK\\pc-1", "fingerprint-1");
    const QString id = first["client_id"].toString();
    EXPECT_TRUE(QRegularExpression("^[1-9][0-9]{8}$").match(id).hasMatch()) << id.toStdString();
    EXPECT_FALSE(first["device_secret"].toString().isEmpty());
    EXPECT_FALSE(first["token"].toString().isEmpty());
    EXPECT_TRUE(first["company_name"].isNull());

    const Reply login = http_->post(api("/auth/auto-login"),
                                    {{"client_id", id}, {"device_secret", first["device_secret"]}, {"client_name", "x"}});
    EXPECT_EQ(login.status, 200);
    EXPECT_EQ(login.body["client_id"].toString(), id);
    EXPECT_FALSE(login.body["token"].toString().isEmpty());

    struct Case {
        QJsonObject body;
        const char* detail;
    };
    const Case cases[] = {
        {{{"client_id", id}, {"device_secret", "wrong"}}, "Invalid device credentials"},
        {{{"client_id", id}, {"device_secret", ""}}, "Invalid device credentials"},
        {{{"client_id", id == "123456789" ? "987654321" : "123456789"}, {"device_secret", "s"}}, "Client not found"},
        {{{"client_id", "12345"}, {"device_secret", "s"}}, "Invalid client_id"},
        {{{"client_id", ""}, {"device_secret", "s"}}, "Invalid client_id"},
    };
    for (const auto& c : cases) {
        const Reply reply = http_->post(api("/auth/auto-login"), c.body);
        EXPECT_EQ(reply.status, 401);
        EXPECT_EQ(reply.detail(), c.detail);
    }

    // Knowing the fingerprint is not enough to take the ID: without the device's secret, or with
    // a wrong one, the registration gets an ID of its own and the device keeps its secret.
    for (const QString& secret : {QString(), QStringLiteral("guessed-secret")}) {
        const QJsonObject intruder = registerDevice(*http_, backend_->apiPort(), "DESK\\pc-1", "fingerprint-1", secret);
        EXPECT_NE(intruder["client_id"].toString(), id);
        EXPECT_FALSE(intruder["client_id"].toString().isEmpty());
    }
    EXPECT_EQ(http_->post(api("/auth/auto-login"), {{"client_id", id}, {"device_secret", first["device_secret"]}}).status, 200);
    EXPECT_EQ(http_->send("GET", api("/nat/relay-candidates"), {}, login.body["token"].toString()).status, 200);

    // The device itself, with its secret, keeps its ID and gets a new secret: the old secret and
    // every token issued under it are void.
    const QJsonObject again =
        registerDevice(*http_, backend_->apiPort(), "DESK\\pc-1", "fingerprint-1", first["device_secret"].toString());
    EXPECT_EQ(again["client_id"].toString(), id);
    EXPECT_NE(again["device_secret"].toString(), first["device_secret"].toString());
    EXPECT_EQ(http_->post(api("/auth/auto-login"), {{"client_id", id}, {"device_secret", first["device_secret"]}}).status, 401);
    EXPECT_EQ(http_->send("GET", api("/nat/relay-candidates"), {}, login.body["token"].toString()).status, 401);
    EXPECT_EQ(http_->send("GET", api("/nat/relay-candidates"), {}, again["token"].toString()).status, 200);

    // A restart keeps registered devices (tokens are issued anew).
    ASSERT_TRUE(backend_->stop());
    ASSERT_TRUE(backend_->start()) << backend_->output().toStdString();
    http_ = std::make_unique<HttpsClient>(backend_->caFile());
    EXPECT_EQ(http_->post(api("/auth/auto-login"), {{"client_id", id}, {"device_secret", again["device_secret"]}}).status, 200);
}

TEST_F(BackendContractTest, BadRequestsGetA4xxWithDetail) {
    startBackend();
    const QJsonObject device = registerDevice(*http_, backend_->apiPort(), "pc");
    const QString token = device["token"].toString();
    struct Case {
        QByteArray method;
        const char* path;
        QByteArray body;
        int status;
        const char* detail = nullptr;
    };
    const Case cases[] = {
        {"POST", "/auth/auto-login", "not json", 400, "Request body is not valid JSON"},
        {"POST", "/auth/auto-login", "[1,2]", 400, "Request body must be a JSON object"},
        {"POST", "/auth/auto-login", "\"text\"", 400, "Request body must be a JSON object"},
        {"POST", "/auth/auto-login", "{\"client_id\": \"\xff\xfe\"}", 400, "Request body is not valid UTF-8"},
        {"POST", "/auth/auto-register", R"({"client_name": 5})", 422},
        {"POST", "/sessions/create", R"({"target_client_id": "12"})", 422},
        {"POST", "/sessions/create", R"({"target_client_id": 123456789})", 422},
        {"POST", "/sessions/nope/handshake-ack", "{}", 404},
        {"PATCH", "/sessions/nope/close", R"({"transferred_bytes": "many"})", 422},
        {"GET", "/sessions/create", "", 405},
        {"GET", "/no/such/endpoint", "", 404},
        {"POST", "/auth/auto-register", QByteArray(70 * 1024, ' '), 413},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method.constData()) + " " + c.path);
        const Reply reply = http_->send(c.method, api(c.path), c.body, token);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_FALSE(reply.detail().isEmpty()) << reply.raw.toStdString();
        if (c.detail) EXPECT_EQ(reply.detail(), c.detail);
    }
    // Still serving afterwards.
    EXPECT_EQ(http_->send("GET", api("/nat/relay-candidates"), {}, token).status, 200);
}

TEST_F(BackendContractTest, ExpiredTokensGet401OnBothServersAndLogInIssuesANewOne) {
    startBackend({"--token-lifetime", "3"});
    QElapsedTimer issued;
    issued.start();
    const QJsonObject device = registerDevice(*http_, backend_->apiPort(), "pc");
    const qint64 issuedBy = issued.elapsed();  // the token was made before this
    const QString token = device["token"].toString();
    const QJsonObject beat{{"client_id", device["client_id"]}, {"local_ip", "192.168.1.2"}, {"agent_version", "0.1.0"}};
    EXPECT_EQ(http_->post(api("/clients/heartbeat"), beat, token).status, 200);
    EXPECT_EQ(http_->post(api("/clients/heartbeat", backend_->failoverPort()), beat, token).status, 200);
    EXPECT_EQ(http_->post(api("/clients/heartbeat"), beat).status, 401);
    ASSERT_LT(issued.elapsed(), 3000) << "the machine is too slow for a 3 s token";

    waitUntil([&] { return issued.elapsed() > issuedBy + 3300; }, 5s);
    for (const quint16 port : {backend_->apiPort(), backend_->failoverPort()}) {
        const Reply expired = http_->post(api("/clients/heartbeat", port), beat, token);
        EXPECT_EQ(expired.status, 401);
        EXPECT_EQ(expired.detail(), "Token expired");
    }
    const Reply login = http_->post(api("/auth/auto-login"), {{"client_id", device["client_id"]}, {"device_secret", device["device_secret"]}});
    ASSERT_EQ(login.status, 200);
    EXPECT_EQ(http_->post(api("/clients/heartbeat"), beat, login.body["token"].toString()).status, 200);
}

TEST_F(BackendContractTest, SignalingAuthenticationRules) {
    startBackend();
    Device a = onlineDevice("a", false);
    Device b = onlineDevice("b", false);

    // Messages before AUTH are dropped; a token of another client fails.
    SignalingTestClient early(backend_->caFile());
    ASSERT_TRUE(early.open(backend_->apiPort(), a.id));
    early.send({{"type", "SET_PAIRING_CODE"}, {"code", "123456"}});
    early.send({{"type", "AUTH"}, {"token", b.token}});
    EXPECT_FALSE(early.waitFor("AUTH_FAIL").isEmpty());
    EXPECT_TRUE(early.waitForClose());
    EXPECT_EQ(early.inbox.size(), 0);

    SignalingTestClient wrongPath(backend_->caFile());
    wrongPath.open(backend_->apiPort(), "not-an-id");
    EXPECT_TRUE(wrongPath.waitForClose());

    // A new socket for the same client replaces the old one; it works on the fail-over twin too.
    ASSERT_TRUE(a.signaling->authenticate(backend_->apiPort(), a.id, a.token));
    SignalingTestClient second(backend_->caFile());
    ASSERT_TRUE(second.authenticate(backend_->failoverPort(), a.id, a.token));
    EXPECT_TRUE(a.signaling->waitForClose());
    EXPECT_TRUE(second.isOpen());
}

TEST_F(BackendContractTest, AFullSessionExchangeBetweenTwoSignalingClients) {
    startBackend();
    Device master = onlineDevice("master");
    Device target = onlineDevice("target");

    const Reply created = http_->post(api("/sessions/create"),
                                      {{"master_client_id", master.id},
                                       {"target_client_id", target.id},
                                       {"purpose", "remote_desktop"},
                                       {"master_ecdh_public_key", "MASTER-KEY"},
                                       {"master_spake2_element", "04abcd"}},
                                      master.token);
    ASSERT_EQ(created.status, 200) << created.raw.toStdString();
    const QString sessionId = created.body["session_id"].toString();
    const QString relayToken = created.body["relay_token"].toString();
    ASSERT_FALSE(sessionId.isEmpty());
    ASSERT_FALSE(relayToken.isEmpty());

    const QJsonObject autoAccept = target.signaling->waitFor("SESSION_AUTO_ACCEPT");
    ASSERT_FALSE(autoAccept.isEmpty());
    expectAllStrings(autoAccept);
    EXPECT_EQ(autoAccept["session_id"].toString(), sessionId);
    EXPECT_EQ(autoAccept["master_client_id"].toString(), master.id);
    EXPECT_EQ(autoAccept["master_ecdh_public_key"].toString(), "MASTER-KEY");
    EXPECT_EQ(autoAccept["relay_token"].toString(), relayToken);
    EXPECT_EQ(autoAccept["master_spake2_element"].toString(), "04abcd");

    // Only the target may acknowledge.
    EXPECT_EQ(http_->post(api("/sessions/" + sessionId + "/handshake-ack"), {{"target_client_id", master.id}}, master.token).status, 403);
    const Reply ack = http_->post(api("/sessions/" + sessionId + "/handshake-ack"),
                                  {{"target_client_id", target.id},
                                   {"target_ecdh_public_key", "TARGET-KEY"},
                                   {"target_spake2_element", "{\"candidates\":[]}"}},
                                  target.token);
    ASSERT_EQ(ack.status, 200);
    const QString ackState = ack.body["state"].toString();
    EXPECT_TRUE(ackState != "connected" && ackState != "closed" && ackState != "failed") << ackState.toStdString();

    const QJsonObject handshakeAck = master.signaling->waitFor("SESSION_HANDSHAKE_ACK");
    ASSERT_FALSE(handshakeAck.isEmpty());
    expectAllStrings(handshakeAck);
    EXPECT_EQ(handshakeAck["session_id"].toString(), sessionId);
    EXPECT_EQ(handshakeAck["target_ecdh_public_key"].toString(), "TARGET-KEY");
    EXPECT_EQ(handshakeAck["target_spake2_element"].toString(), "{\"candidates\":[]}");
    const QString pushedState = handshakeAck["state"].toString();
    EXPECT_TRUE(pushedState != "connected" && pushedState != "closed" && pushedState != "failed");

    // ICE both ways, with the sender named by the server.
    master.signaling->send({{"type", "ICE_OFFER"}, {"session_id", sessionId}, {"target_client_id", target.id}, {"sdp", "v=0 offer"}});
    const QJsonObject offer = target.signaling->waitFor("ICE_OFFER");
    expectAllStrings(offer);
    EXPECT_EQ(offer["from_client_id"].toString(), master.id);
    EXPECT_EQ(offer["session_id"].toString(), sessionId);
    EXPECT_EQ(offer["sdp"].toString(), "v=0 offer");
    target.signaling->send({{"type", "ICE_ANSWER"}, {"session_id", sessionId}, {"target_client_id", master.id}, {"sdp", "v=0 answer"}});
    EXPECT_EQ(master.signaling->waitFor("ICE_ANSWER")["from_client_id"].toString(), target.id);
    target.signaling->send({{"type", "ICE_CANDIDATE"}, {"session_id", sessionId}, {"target_client_id", master.id},
                            {"candidate", "candidate:1 1 UDP 1 127.0.0.1 5000 typ host"}, {"mid", "0"}});
    const QJsonObject candidate = master.signaling->waitFor("ICE_CANDIDATE");
    expectAllStrings(candidate);
    EXPECT_EQ(candidate["from_client_id"].toString(), target.id);
    EXPECT_EQ(candidate["mid"].toString(), "0");
    EXPECT_EQ(candidate["candidate"].toString(), "candidate:1 1 UDP 1 127.0.0.1 5000 typ host");

    // ICE for a session the sender is not part of goes nowhere.
    Device outsider = onlineDevice("outsider");
    outsider.signaling->send({{"type", "ICE_OFFER"}, {"session_id", sessionId}, {"target_client_id", target.id}, {"sdp", "evil"}});
    master.signaling->send({{"type", "SESSION_HEARTBEAT"}, {"session_id", sessionId}});
    EXPECT_TRUE(target.signaling->waitFor("ICE_OFFER", 500ms).isEmpty());

    const Reply complete = http_->send("PATCH", api("/sessions/" + sessionId + "/complete"), R"({"connection_method":"relay"})", master.token);
    EXPECT_EQ(complete.status, 200);
    EXPECT_EQ(complete.body["state"].toString(), "connected");
    const Reply close = http_->send("PATCH", api("/sessions/" + sessionId + "/close"),
                                    R"({"reason":"user_disconnect","transferred_bytes":0})", master.token);
    EXPECT_EQ(close.status, 200);
    EXPECT_EQ(close.body["state"].toString(), "closed");
    EXPECT_TRUE(master.signaling->waitFor("SESSION_FAILED", 300ms).isEmpty()) << "an ordinary close pushes nothing";
}

TEST_F(BackendContractTest, AnOfflineOrDecliningTargetGivesTheMasterSessionFailed) {
    startBackend();
    Device master = onlineDevice("master");
    Device offline = onlineDevice("offline", false);

    const Reply created = http_->post(api("/sessions/create"),
                                      {{"master_client_id", master.id}, {"target_client_id", offline.id}, {"master_spake2_element", "04ab"}},
                                      master.token);
    ASSERT_EQ(created.status, 200);
    const QJsonObject failed = master.signaling->waitFor("SESSION_FAILED");
    expectAllStrings(failed);
    EXPECT_EQ(failed["session_id"].toString(), created.body["session_id"].toString());
    EXPECT_EQ(failed["reason"].toString(), "target_unavailable");

    Device declining = onlineDevice("declining");
    const Reply second = http_->post(api("/sessions/create"), {{"target_client_id", declining.id}, {"master_spake2_element", "04ab"}}, master.token);
    ASSERT_EQ(second.status, 200);
    const QString sessionId = second.body["session_id"].toString();
    ASSERT_FALSE(declining.signaling->waitFor("SESSION_AUTO_ACCEPT").isEmpty());
    EXPECT_EQ(http_->send("PATCH", api("/sessions/" + sessionId + "/close"),
                          R"({"reason":"unattended_access_disabled","transferred_bytes":0})", declining.token).status, 200);
    const QJsonObject declined = master.signaling->waitFor("SESSION_FAILED");
    EXPECT_EQ(declined["session_id"].toString(), sessionId);
    EXPECT_EQ(declined["reason"].toString(), "target_unavailable");

    EXPECT_EQ(http_->post(api("/sessions/create"), {{"target_client_id", "100000000"}}, master.token).status, 404);
    EXPECT_EQ(http_->post(api("/sessions/create"), {{"target_client_id", master.id}}, master.token).status, 422);
}

// Without a SPAKE2 element a session would be bound to no password; the backend refuses it
// before the target hears of it.
TEST_F(BackendContractTest, ASessionWithoutPasswordAuthenticationIsRefused) {
    startBackend();
    Device master = onlineDevice("master");
    Device target = onlineDevice("target");
    for (const QJsonObject& body : {QJsonObject{{"target_client_id", target.id}},
                                    QJsonObject{{"target_client_id", target.id}, {"session_password", "guessed"}},
                                    QJsonObject{{"target_client_id", target.id}, {"master_spake2_element", ""}}}) {
        const Reply created = http_->post(api("/sessions/create"), body, master.token);
        EXPECT_EQ(created.status, 403);
        EXPECT_EQ(created.body["detail"].toString(), "Password authentication is required");
    }
    EXPECT_TRUE(target.signaling->waitFor("SESSION_AUTO_ACCEPT", 300ms).isEmpty());
}

// scripts/backend --handshake-request: the target is asked with the session id, the master and
// the purpose only, and no auto-accept is sent.
TEST_F(BackendContractTest, TheHandshakeRequestOptionOffersTheSessionWithoutKeyMaterial) {
    startBackend({"--handshake-request"});
    Device master = onlineDevice("master");
    Device target = onlineDevice("target");
    const Reply created = http_->post(api("/sessions/create"),
                                      {{"target_client_id", target.id},
                                       {"purpose", "remote_desktop"},
                                       {"master_ecdh_public_key", "MASTER-KEY"},
                                       {"master_spake2_element", "04abcd"}},
                                      master.token);
    ASSERT_EQ(created.status, 200) << created.raw.toStdString();
    const QJsonObject request = target.signaling->waitFor("SESSION_HANDSHAKE_REQUEST");
    ASSERT_FALSE(request.isEmpty());
    expectAllStrings(request);
    EXPECT_EQ(request["session_id"].toString(), created.body["session_id"].toString());
    EXPECT_EQ(request["master_client_id"].toString(), master.id);
    EXPECT_EQ(request["purpose"].toString(), "remote_desktop");
    EXPECT_FALSE(request.contains("master_ecdh_public_key"));
    EXPECT_FALSE(request.contains("relay_token"));
    EXPECT_TRUE(target.signaling->waitFor("SESSION_AUTO_ACCEPT", 300ms).isEmpty());
}

// Each reply names its session, so a device can tell a late reply for an earlier session from one
// for its current session; only the two parties act on a session, and a closed one stays closed:
// no acknowledgement, no completion, no relay admission.
TEST_F(BackendContractTest, RepliesNameTheirSessionAndAClosedSessionStaysClosed) {
    startBackend();
    Device master = onlineDevice("master");
    Device target = onlineDevice("target");
    Device outsider = onlineDevice("outsider");
    const auto create = [&] {
        const Reply created = http_->post(api("/sessions/create"), {{"target_client_id", target.id}, {"master_spake2_element", "04ab"}},
                                          master.token);
        EXPECT_EQ(created.status, 200);
        EXPECT_FALSE(target.signaling->waitFor("SESSION_AUTO_ACCEPT").isEmpty());
        return std::make_pair(created.body["session_id"].toString(), created.body["relay_token"].toString());
    };
    const auto [first, firstToken] = create();
    const auto [second, secondToken] = create();
    ASSERT_NE(first, second);
    ASSERT_NE(firstToken, secondToken);

    const QString ack = R"({"target_client_id":")" + target.id + R"(","target_ecdh_public_key":"K"})";
    const QString complete = R"({"connection_method":"p2p"})";
    const QString close = R"({"reason":"user_disconnect","transferred_bytes":0})";
    const struct {
        const char* method;
        QString path;
        QString body;
        const Device& caller;
        int status;
        const char* state;  // the reply's "state" on success
    } steps[] = {
        {"POST", "/sessions/" + first + "/handshake-ack", ack, target, 200, "accepted"},
        {"PATCH", "/sessions/" + first + "/complete", complete, outsider, 403, nullptr},
        {"PATCH", "/sessions/" + first + "/close", close, outsider, 403, nullptr},
        {"PATCH", "/sessions/" + first + "/complete", complete, master, 200, "connected"},
        {"PATCH", "/sessions/" + second + "/close", close, target, 200, "closed"},
        {"PATCH", "/sessions/" + first + "/close", close, master, 200, "closed"},
        {"PATCH", "/sessions/" + first + "/close", close, target, 200, "closed"},
        {"POST", "/sessions/" + first + "/handshake-ack", ack, target, 409, nullptr},
        {"PATCH", "/sessions/" + first + "/complete", complete, master, 409, nullptr},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.path.toStdString() + " by " + step.caller.id.toStdString());
        const Reply reply = http_->send(step.method, api(step.path), step.body.toUtf8(), step.caller.token);
        EXPECT_EQ(reply.status, step.status) << reply.raw.toStdString();
        if (step.state) {
            EXPECT_EQ(reply.body["session_id"].toString(), step.path.section('/', 2, 2));
            EXPECT_EQ(reply.body["state"].toString(), step.state);
        } else {
            EXPECT_FALSE(reply.body["detail"].toString().isEmpty());
        }
    }
    // Nobody was told anything by these ordinary closes.
    EXPECT_TRUE(master.signaling->waitFor("SESSION_FAILED", 300ms).isEmpty());
    EXPECT_TRUE(target.signaling->waitFor("SESSION_FAILED", 10ms).isEmpty());

    RelayTestClient late(backend_->caFile());
    ASSERT_TRUE(late.connectTo(backend_->relayPort()));
    late.sendJoin(first, firstToken);
    EXPECT_TRUE(late.waitForClose(5s));
}

TEST_F(BackendContractTest, RelayPairsTheSessionsTwoEndsAndHoldsEarlyFrames) {
    startBackend();
    Device master = onlineDevice("master");
    Device target = onlineDevice("target");
    const Reply created = http_->post(api("/sessions/create"), {{"target_client_id", target.id}, {"master_spake2_element", "04ab"}}, master.token);
    const QString sessionId = created.body["session_id"].toString();
    const QString relayToken = created.body["relay_token"].toString();

    const Reply candidates = http_->send("GET", api("/nat/relay-candidates"), {}, master.token);
    ASSERT_EQ(candidates.status, 200);
    const QJsonObject node = candidates.body.array().at(0).toObject();
    EXPECT_EQ(node["ip"].toString(), "127.0.0.1");
    EXPECT_EQ(node["port"].toInt(), backend_->relayPort());
    EXPECT_FALSE(node["relay_id"].toString().isEmpty());
    EXPECT_EQ(node["turn_port"].toInt(), backend_->turnPort());
    EXPECT_EQ(node["turn_username"].toString(), "veltrix");
    EXPECT_EQ(node["turn_password"].toString(), backend_->turnPassword());
    EXPECT_EQ(http_->send("GET", api("/nat/relay-candidates"), {}, target.token).raw, candidates.raw) << "the same list for every device";

    RelayTestClient intruder(backend_->caFile());
    ASSERT_TRUE(intruder.connectTo(backend_->relayPort()));
    intruder.sendJoin(sessionId, "not-the-token");
    EXPECT_TRUE(intruder.waitForClose(5s));

    RelayTestClient early(backend_->caFile());
    ASSERT_TRUE(early.connectTo(backend_->relayPort()));
    early.sendJoin(sessionId, relayToken);
    early.sendFrame(0, "key frame please");
    early.sendFrame(1, QByteArray(100000, 'x'));
    waitUntil([] { return false; }, 300ms);

    RelayTestClient late(backend_->caFile());
    ASSERT_TRUE(late.connectTo(backend_->relayPort(), "localhost"));
    late.sendJoin(sessionId, relayToken);
    ASSERT_TRUE(late.waitForFrames(2));
    EXPECT_EQ(late.frames[0].payload, "key frame please");
    EXPECT_EQ(late.frames[1].channel, 1);
    EXPECT_EQ(late.frames[1].payload, QByteArray(100000, 'x'));

    late.sendRaw(QByteArray::fromHex("0101000001"));  // 16 MiB + 1
    EXPECT_TRUE(late.waitForClose(5s));
    EXPECT_TRUE(early.waitForClose(5s));
}

TEST_F(BackendContractTest, CoturnAnswersStunBindingRequestsOnBothAddresses) {
    startBackend();
    // The NAT probe asks the primary address and, from the same socket, the secondary one.
    for (const char* server : {"127.0.0.1", "127.0.0.2"}) {
        SCOPED_TRACE(server);
        QUdpSocket socket;
        ASSERT_TRUE(socket.bind(QHostAddress::LocalHost, 0));
        QByteArray request = QByteArray::fromHex("000100002112a442");
        const QByteArray transaction = QByteArray::fromHex("0102030405060708090a0b0c");
        request += transaction;
        socket.writeDatagram(request, QHostAddress(QString::fromLatin1(server)), backend_->stunPort());
        ASSERT_TRUE(waitUntil([&] { return socket.hasPendingDatagrams(); }, 5s));
        QByteArray answer(int(socket.pendingDatagramSize()), '\0');
        socket.readDatagram(answer.data(), answer.size());
        ASSERT_GE(answer.size(), 20);
        EXPECT_EQ(answer.left(2), QByteArray::fromHex("0101"));
        EXPECT_EQ(answer.mid(8, 12), transaction);
        // XOR-MAPPED-ADDRESS names our own loopback address and port.
        bool found = false;
        for (int at = 20; at + 4 <= answer.size();) {
            const int type = (uchar(answer[at]) << 8) | uchar(answer[at + 1]);
            const int length = (uchar(answer[at + 2]) << 8) | uchar(answer[at + 3]);
            if (type == 0x0020 && length >= 8) {
                const quint16 port = quint16(((uchar(answer[at + 6]) << 8) | uchar(answer[at + 7])) ^ 0x2112);
                const quint32 address = ((quint32(uchar(answer[at + 8])) << 24) | (quint32(uchar(answer[at + 9])) << 16) |
                                         (quint32(uchar(answer[at + 10])) << 8) | quint32(uchar(answer[at + 11]))) ^ 0x2112A442u;
                EXPECT_EQ(port, socket.localPort());
                EXPECT_EQ(QHostAddress(address), QHostAddress::LocalHost);
                found = true;
            }
            at += 4 + ((length + 3) & ~3);
        }
        EXPECT_TRUE(found);
    }
}

TEST_F(BackendContractTest, EchoReturnsTheCallersAddress) {
    startBackend();
    const Reply echo = http_->send("GET", QStringLiteral("https://127.0.0.1:%1/").arg(backend_->echoPort()));
    EXPECT_EQ(echo.status, 200);
    EXPECT_EQ(echo.raw, "127.0.0.1");
}

TEST_F(BackendContractTest, CompanyClientsListTheOtherDevicesOfTheCompany) {
    startBackend({"--company", "Acme Support"});
    Device me = onlineDevice("me");
    Device online = onlineDevice("front-desk");
    Device quiet = onlineDevice("back-office", false);
    EXPECT_EQ(http_->post(api("/auth/auto-login"), {{"client_id", me.id}, {"device_secret", me.secret}}).body["company_name"].toString(),
              "Acme Support");
    const Reply reply = http_->send("GET", api("/clients/company-clients"), {}, me.token);
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body["company_name"].toString(), "Acme Support");
    const QJsonArray clients = reply.body["clients"].toArray();
    ASSERT_EQ(clients.size(), 2);
    for (const auto& value : clients) {
        const QJsonObject client = value.toObject();
        EXPECT_NE(client["id"].toString(), me.id);
        EXPECT_TRUE(client["label"].isString());
        EXPECT_TRUE(client["last_heartbeat"].isString());
        EXPECT_EQ(client["is_online"].toBool(), client["id"].toString() == online.id);
        EXPECT_EQ(client["client_name"].toString(), client["id"].toString() == online.id ? "front-desk" : "back-office");
    }
}

TEST_F(BackendContractTest, TheTurnSecretIsOnNoCommandLineAndInFilesOnlyTheOwnerReads) {
    startBackend();
    const QByteArray password = backend_->turnPassword().toUtf8();
    ASSERT_FALSE(password.isEmpty());
    for (const char* program : {"backend", "turnserver"}) {
        SCOPED_TRACE(program);
        QFile pidFile(backend_->folder() + "/" + program + ".pid");
        ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
        const QByteArray pid = pidFile.readAll().split(' ').value(0).trimmed();
        QFile commandLine("/proc/" + QString::fromLatin1(pid) + "/cmdline");
        ASSERT_TRUE(commandLine.open(QIODevice::ReadOnly));
        const QByteArray arguments = commandLine.readAll();
        EXPECT_FALSE(arguments.isEmpty());
        EXPECT_FALSE(arguments.contains(password));
    }
    for (const char* file : {"turnserver.conf", "turn-password", "endpoints.json"}) {
        SCOPED_TRACE(file);
        const QFileDevice::Permissions permissions = QFile::permissions(backend_->folder() + "/" + file);
        EXPECT_EQ(permissions & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup |
                                 QFileDevice::WriteOther),
                  QFileDevice::Permissions());
    }
}

}  // namespace
