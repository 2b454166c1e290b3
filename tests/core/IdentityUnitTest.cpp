// The identity objects on their own: reply readers, request bodies, the STUN parser and NAT
// judgement, the signaling message rules and back-off, the password and pairing generators.
#include <gtest/gtest.h>

#include <QFile>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

#include "core/ApiClient.h"
#include "core/AuthController.h"
#include "core/HeartbeatService.h"
#include "core/SettingsController.h"
#include "core/StunBinding.h"
#include "platform/DataProtection.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/TestCertificates.h"
#include "support/WaitUntil.h"
#include "transport/SignalingClient.h"

namespace veltrix {
namespace {

using test::waitUntil;

using Json = nlohmann::json;

// --- REST bodies and replies ----------------------------------------------------------------------

TEST(ApiClientBodies, SortedCompactAndEmptyStringsLeftOutExceptAlways) {
    EXPECT_EQ(ApiClient::requestBody({{"zeta", "z"}, {"alpha", ""}, {"mid", "", true}, {"beta", "ü"}}).toStdString(),
              "{\"beta\":\"ü\",\"mid\":\"\",\"zeta\":\"z\"}");
    // closeSession with an empty reason sends only the byte count.
    EXPECT_EQ(ApiClient::requestBody({{"reason", ""}}, Json{{"transferred_bytes", 42}}).toStdString(),
              "{\"transferred_bytes\":42}");
}

TEST(ApiClientReplies, IdentityMembersOfAnotherKindMakeAFailedReply) {
    const struct {
        const char* body;
        bool withSecret;
        bool ok;
    } cases[] = {
        {R"({"client_id":"123456789","token":"t"})", false, true},
        {R"({"client_id":123456789,"token":"t"})", false, false},
        {R"({"client_id":"123456789","token":null})", false, false},
        {R"({"client_id":"123456789","token":["t"]})", false, false},
        {R"({"client_id":"123456789","token":"t"})", true, false},
        {R"({"client_id":"123456789","token":"t","device_secret":7})", true, false},
        {R"({"client_id":"123456789","token":"t","device_secret":"s","company_name":5})", true, true},
        {R"(["client_id","token"])", false, false},
        {"not json", false, false},
    };
    for (const auto& c : cases) {
        const auto identity = ApiClient::readIdentity(ApiClient::parseBody(c.body), c.withSecret);
        EXPECT_EQ(identity.has_value(), c.ok) << c.body;
        if (identity) {
            EXPECT_EQ(identity->companyName, "");
        }
    }
    EXPECT_EQ(ApiClient::detailOr(ApiClient::parseBody(R"({"detail":{"x":1}})"), "fallback"), "fallback");
    EXPECT_EQ(ApiClient::detailOr(ApiClient::parseBody(R"({"detail":"Client not found"})"), "x"), "Client not found");
    EXPECT_TRUE(ApiClient::parseBody("").is_null());
}

// An HTTP server that records the raw requests and answers each with the responder's status and
// body (one request per connection).
struct RecordingServer {
    using Responder = std::function<std::pair<int, QByteArray>(const QByteArray& request)>;
    QTcpServer server;
    QByteArray request;            // the last complete request
    std::vector<QByteArray> requests;
    explicit RecordingServer(int status, QByteArray body = "{}")
        : RecordingServer([status, body](const QByteArray&) { return std::make_pair(status, body); }) {}
    // A responder that answers status 0 holds the request back until release().
    explicit RecordingServer(Responder responder) {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this, responder] {
            QTcpSocket* socket = server.nextPendingConnection();
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, [this, socket, responder, buffer] {
                *buffer += socket->readAll();
                const qsizetype end = buffer->indexOf("\r\n\r\n");
                if (end < 0) return;
                const qsizetype at = buffer->toLower().indexOf("content-length:");
                const int length = at < 0 ? 0 : buffer->mid(at + 15, buffer->indexOf("\r\n", at) - at - 15).trimmed().toInt();
                if (buffer->size() < end + 4 + length) return;
                request = *buffer;
                requests.push_back(*buffer);
                const auto [status, body] = responder(*buffer);
                if (status == 0) {
                    held.push_back(socket);  // answered later by release()
                } else {
                    answer(socket, status, body);
                }
            });
        });
    }
    static void answer(QTcpSocket* socket, int status, const QByteArray& body) {
        socket->write("HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Type: application/json\r\n"
                      "Connection: close\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        socket->disconnectFromHost();
    }
    // Answers the requests that the responder held back (status 0).
    void release(int status, const QByteArray& body) {
        for (QTcpSocket* socket : std::exchange(held, {})) answer(socket, status, body);
    }
    std::vector<QTcpSocket*> held;
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort())); }
};

// Answers log-ins with the token "new" and every other request with 401 unless it bears "new"
// (or always, with `refuseAll`).
RecordingServer::Responder tokenServer(bool refuseAll = false) {
    return [refuseAll](const QByteArray& request) {
        if (request.startsWith("POST /auth/auto-login")) {
            return std::make_pair(200, QByteArray(R"({"client_id":"123456789","token":"new"})"));
        }
        if (!refuseAll && request.contains("Authorization: Bearer new")) return std::make_pair(200, QByteArray("[]"));
        return std::make_pair(401, QByteArray(R"({"detail":"Token expired"})"));
    };
}

TEST(ApiClientRequests, CreateSessionBeforeLogInHasNoBearerAndA201IsAnError) {
    RecordingServer server(201, R"({"session_id":"s"})");
    ApiClient api(server.url());
    std::vector<std::pair<QString, int>> errors;
    int created = 0;
    QObject::connect(&api, &ApiClient::requestError,
                     [&](const QString& endpoint, int status, const QString&) { errors.emplace_back(endpoint, status); });
    QObject::connect(&api, &ApiClient::sessionCreated, [&] { ++created; });
    api.createSession("987654321", "", "remote_desktop", "", "");
    ASSERT_TRUE(waitUntil([&] { return !errors.empty(); }));
    EXPECT_EQ(errors[0], std::make_pair(QStringLiteral("/sessions/create"), 201));
    EXPECT_EQ(created, 0);
    EXPECT_FALSE(server.request.toLower().contains("authorization:"));
    EXPECT_TRUE(server.request.endsWith(R"({"master_client_id":"","purpose":"remote_desktop","target_client_id":"987654321"})"))
        << server.request.toStdString();
}

TEST(ApiClientRequests, ParkedRequestsFailWithTheLogInsDetail) {
    RecordingServer server(401, R"({"detail":"expired"})");
    ApiClient api(server.url());
    int expired = 0;
    QObject::connect(&api, &ApiClient::tokenExpired, [&] { ++expired; });
    std::vector<std::pair<int, Json>> results;
    api.getRelayCandidates([&](int status, const Json& body) { results.emplace_back(status, body); });
    ASSERT_TRUE(waitUntil([&] { return api.pendingRequestCount() == 1; }));
    EXPECT_EQ(expired, 1);
    EXPECT_TRUE(results.empty());
    api.failPendingRequests("Invalid client_id");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].first, 401);
    EXPECT_EQ(results[0].second, (Json{{"detail", "Invalid client_id"}}));
    EXPECT_FALSE(api.awaitingReauthentication());
}

TEST(ApiClientRequests, ParkedRequestsAreSentAgainWithTheNewTokenOnceTheLogInSucceeds) {
    test::LogCapture logs;
    RecordingServer server(tokenServer());
    ApiClient api(server.url());
    api.setReauthTimeout(300);
    int expired = 0;
    QObject::connect(&api, &ApiClient::tokenExpired, [&] { ++expired; });
    std::vector<int> statuses;
    for (int i = 0; i < 3; ++i) api.getRelayCandidates([&](int status, const Json&) { statuses.push_back(status); });
    ASSERT_TRUE(waitUntil([&] { return api.pendingRequestCount() == 3; }));
    EXPECT_EQ(expired, 1);
    api.autoLogin("123456789", "secret", "pc");
    ASSERT_TRUE(waitUntil([&] { return statuses.size() == 3; }));
    EXPECT_EQ(statuses, (std::vector<int>{200, 200, 200}));
    EXPECT_FALSE(api.awaitingReauthentication());
    test::runEventsFor(std::chrono::milliseconds(400));  // past the re-authentication wait
    EXPECT_FALSE(logs.contains("re-auth timeout"));
    EXPECT_EQ(expired, 1);
}

TEST(ApiClientRequests, ARequestRefusedAgainWithTheNewTokenEndsWithoutAnotherLogIn) {
    RecordingServer server(tokenServer(/*refuseAll=*/true));
    ApiClient api(server.url());
    int expired = 0;
    QObject::connect(&api, &ApiClient::tokenExpired, [&] { ++expired; });
    std::vector<int> statuses;
    api.getRelayCandidates([&](int status, const Json&) { statuses.push_back(status); });
    ASSERT_TRUE(waitUntil([&] { return api.pendingRequestCount() == 1; }));
    api.autoLogin("123456789", "secret", "pc");
    ASSERT_TRUE(waitUntil([&] { return statuses.size() == 1; }));
    EXPECT_EQ(statuses[0], 401);
    EXPECT_EQ(expired, 1);
    EXPECT_EQ(api.pendingRequestCount(), 0);
}

TEST(ApiClientRequests, A401ForARequestSentWithAnOlderTokenIsSentAgainWithoutALogIn) {
    int logins = 0;
    RecordingServer server([&logins](const QByteArray& request) {
        if (request.startsWith("POST /auth/auto-login")) {
            const QByteArray token = ++logins == 1 ? "old" : "new";
            return std::make_pair(200, R"({"client_id":"123456789","token":")" + token + "\"}");
        }
        if (request.contains("Authorization: Bearer old")) return std::make_pair(0, QByteArray());  // held
        return std::make_pair(200, QByteArray("[]"));
    });
    ApiClient api(server.url());
    int expired = 0;
    QObject::connect(&api, &ApiClient::tokenExpired, [&] { ++expired; });
    api.autoLogin("123456789", "secret", "pc");
    ASSERT_TRUE(waitUntil([&] { return api.token() == "old"; }));
    std::vector<int> statuses;
    api.getRelayCandidates([&](int status, const Json&) { statuses.push_back(status); });
    ASSERT_TRUE(waitUntil([&] { return server.held.size() == 1; }));
    api.autoLogin("123456789", "secret", "pc");  // a new token while the request is out
    ASSERT_TRUE(waitUntil([&] { return api.token() == "new"; }));
    server.release(401, R"({"detail":"Token expired"})");
    ASSERT_TRUE(waitUntil([&] { return statuses.size() == 1; }));
    EXPECT_EQ(statuses[0], 200);
    EXPECT_EQ(expired, 0);
    EXPECT_FALSE(api.awaitingReauthentication());
}

TEST(ApiClientRequests, AServerThatNeverAnswersFailsTheRequestAfterTheTransferTimeOut) {
    QTcpServer silent;  // accepts connections and never says a word
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    ApiClient api(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort())));
    api.setTransferTimeout(300);
    std::vector<QString> errors;
    QObject::connect(&api, &ApiClient::authError, [&](const QString& e) { errors.push_back(e); });
    std::vector<int> statuses;
    api.autoLogin("123456789", "secret", "pc");
    api.getRelayCandidates([&](int status, const Json&) { statuses.push_back(status); });
    ASSERT_TRUE(waitUntil([&] { return errors.size() == 1 && statuses.size() == 1; }, std::chrono::milliseconds(5000)));
    EXPECT_EQ(errors[0], "Auto-login failed");
    EXPECT_EQ(statuses[0], 0);
}

// --- STUN ---------------------------------------------------------------------------------------

QByteArray response(std::uint16_t type, const stun::TransactionId& id, const QByteArray& attributes,
                    std::uint32_t cookie = stun::kMagicCookie) {
    QByteArray out;
    const auto put16 = [&out](std::uint16_t v) { out.append(char(v >> 8)).append(char(v & 0xFF)); };
    put16(type);
    put16(static_cast<std::uint16_t>(attributes.size()));
    put16(static_cast<std::uint16_t>(cookie >> 16));
    put16(static_cast<std::uint16_t>(cookie & 0xFFFF));
    out.append(reinterpret_cast<const char*>(id.data()), 12);
    return out + attributes;
}

QByteArray attribute(std::uint16_t type, std::uint8_t family, std::uint16_t port, std::uint32_t address) {
    const bool xored = type == stun::kXorMappedAddress;
    port ^= xored ? 0x2112 : 0;
    address ^= xored ? stun::kMagicCookie : 0;
    const char value[] = {0, char(family), char(port >> 8), char(port & 0xFF), char(address >> 24),
                          char((address >> 16) & 0xFF), char((address >> 8) & 0xFF), char(address & 0xFF)};
    return QByteArray::fromHex(QByteArray::number(type, 16).rightJustified(4, '0')) + QByteArray::fromHex("0008") +
           QByteArray(value, 8);
}

TEST(StunBinding, ParsesOnlyMatchingSuccessResponses) {
    const stun::TransactionId id = stun::randomTransactionId();
    stun::TransactionId other = id;
    other[11] ^= 1;
    const std::uint32_t addr = 0xC0A80102;  // 192.168.1.2
    const QByteArray xorMapped = attribute(stun::kXorMappedAddress, 1, 40000, addr);
    const QByteArray mapped = attribute(stun::kMappedAddress, 1, 40001, addr);
    const QByteArray ipv6 = attribute(stun::kXorMappedAddress, 2, 1, 1);
    const QByteArray software = QByteArray::fromHex("802200056162636465000000");

    const stun::MappedAddress expectXor{"192.168.1.2", 40000};
    const stun::MappedAddress expectPlain{"192.168.1.2", 40001};
    EXPECT_EQ(stun::parseBindingResponse(response(0x0101, id, xorMapped), id), expectXor);
    EXPECT_EQ(stun::parseBindingResponse(response(0x0101, id, mapped), id), expectPlain);
    EXPECT_EQ(stun::parseBindingResponse(response(0x0101, id, ipv6 + mapped), id), expectPlain);
    EXPECT_EQ(stun::parseBindingResponse(response(0x0101, id, software + xorMapped), id), expectXor);
    EXPECT_FALSE(stun::parseBindingResponse(response(0x0111, id, xorMapped), id));
    EXPECT_FALSE(stun::parseBindingResponse(response(0x0101, other, xorMapped), id));
    EXPECT_FALSE(stun::parseBindingResponse(response(0x0101, id, xorMapped, 0x2112A443), id));
    EXPECT_FALSE(stun::parseBindingResponse(response(0x0101, id, xorMapped).left(30), id));
    EXPECT_FALSE(stun::parseBindingResponse(response(0x0101, id, {}).left(19), id));
    EXPECT_EQ(stun::bindingRequest(id).size(), 20);
    EXPECT_EQ(stun::bindingRequest(id).left(8).toHex(), "000100002112a442");
}

TEST(HeartbeatNat, OneMappingForBothServersIsNotSymmetric) {
    // What the two servers saw of the one probe socket.
    const stun::MappedAddress a{"203.0.113.5", 40000}, b{"203.0.113.5", 40001}, c{"198.51.100.7", 40000};
    // A cone NAT that rewrites the local port still maps the socket to one public port.
    EXPECT_EQ(HeartbeatService::judgeNat(a, a), "PortRestricted");
    // A new public port per destination is symmetric.
    EXPECT_EQ(HeartbeatService::judgeNat(a, b), "SymmetricNAT");
    EXPECT_EQ(HeartbeatService::judgeNat(a, c), "PortRestricted");
    EXPECT_EQ(HeartbeatService::firstLocalIpv4({QHostAddress::LocalHost, QHostAddress::LocalHostIPv6,
                                                QHostAddress("fe80::1")}),
              "");
    EXPECT_EQ(HeartbeatService::firstLocalIpv4({QHostAddress::LocalHost, QHostAddress("10.1.2.3")}), "10.1.2.3");
}

// A STUN server on loopback that ignores the first request it gets from each client, as a
// datagram lost on the way (or sent before the server listened) would be.
TEST(HeartbeatNat, AnUnansweredProbeIsSentAgainBeforeTheDetectionGivesUp) {
    QUdpSocket server;
    ASSERT_TRUE(server.bind(QHostAddress::LocalHost, 0));
    int requests = 0;
    QObject::connect(&server, &QUdpSocket::readyRead, [&] {
        while (server.hasPendingDatagrams()) {
            QByteArray datagram(static_cast<int>(server.pendingDatagramSize()), '\0');
            QHostAddress from;
            quint16 fromPort = 0;
            server.readDatagram(datagram.data(), datagram.size(), &from, &fromPort);
            if (++requests == 1 || datagram.size() < 20) continue;
            stun::TransactionId id{};
            std::copy_n(reinterpret_cast<const std::uint8_t*>(datagram.constData()) + 8, 12, id.begin());
            server.writeDatagram(response(stun::kBindingSuccess, id,
                                          attribute(stun::kXorMappedAddress, 1, fromPort, 0x7F000001)),
                                 from, fromPort);
        }
    });
    ApiClient api(QUrl("http://127.0.0.1:9"));
    HeartbeatService heartbeat(api);
    heartbeat.setStunServers("127.0.0.1", "127.0.0.1", server.localPort());
    heartbeat.setDetectionTimeout(2500);
    heartbeat.detectNatType();
    ASSERT_TRUE(waitUntil([&] { return !heartbeat.natType().isEmpty(); }, std::chrono::seconds(5)));
    EXPECT_EQ(heartbeat.natType(), "PortRestricted");
    EXPECT_GE(requests, 3);
}

// --- signaling --------------------------------------------------------------------------------------

struct SignalingEvents {
    int messages = 0, acceptances = 0, acks = 0;
    QString element;
    explicit SignalingEvents(SignalingClient& client) {
        QObject::connect(&client, &SignalingClient::messageReceived, [this] { ++messages; });
        QObject::connect(&client, &SignalingClient::sessionAutoAccept,
                         [this](auto&&, auto&&, auto&&, auto&&, const QString& e) { ++acceptances; element = e; });
        QObject::connect(&client, &SignalingClient::sessionHandshakeAck, [this] { ++acks; });
    }
};

TEST(SignalingMessages, WrongMemberTypesAreDroppedWithoutThrowing) {
    test::LogCapture logs;
    SignalingClient client;
    SignalingEvents events(client);
    client.onTextMessageReceived(R"({"type":"SESSION_AUTO_ACCEPT","session_id":"s","master_client_id":"m"})");
    EXPECT_EQ(events.acceptances, 1);
    EXPECT_EQ(events.element, "");
    client.onTextMessageReceived(R"({"type":"SESSION_HANDSHAKE_ACK","session_id":"s","state":7})");
    client.onTextMessageReceived(R"({"type":"SESSION_AUTO_ACCEPT","session_id":{"a":1}})");
    client.onTextMessageReceived(R"({"type":5})");
    EXPECT_EQ(events.acks, 0);
    EXPECT_EQ(events.acceptances, 1);
    EXPECT_EQ(logs.count("Failed to parse signaling message"), 3u);
    client.onTextMessageReceived(R"({"no_type":true})");
    client.onTextMessageReceived("{broken");
    client.onTextMessageReceived("[1,2]");
    EXPECT_EQ(events.messages, 5);
}

TEST(SignalingReconnect, BacksOffTenTimesThenReportsTheLoss) {
    SignalingClient client;
    EXPECT_EQ(client.reconnectDelay(0), 1000);
    EXPECT_EQ(client.reconnectDelay(4), 16000);
    EXPECT_EQ(client.reconnectDelay(5), 30000);
    EXPECT_EQ(client.reconnectDelay(200), 30000);

    test::LogCapture logs;
    client.setReconnectDelays(1, 30);
    std::vector<QString> errors;
    int exhausted = 0;
    QObject::connect(&client, &SignalingClient::connectionError, [&](const QString& e) { errors.push_back(e); });
    QObject::connect(&client, &SignalingClient::reconnectAttemptsExhausted, [&] { ++exhausted; });
    client.connectToServer(QUrl("https://127.0.0.1:1"), "123456789", "token");
    ASSERT_TRUE(waitUntil([&] { return exhausted == 1; }, std::chrono::milliseconds(40000))) << [&] {
        std::string all;
        for (const auto& l : logs.lines()) all += l + "\n";
        return all;
    }();
    const int delays[] = {1, 2, 4, 8, 16, 30, 30, 30, 30, 30};
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(logs.contains(fmt::format("Reconnecting in {} ms (attempt {}/10)", delays[i], i + 1)));
    }
    EXPECT_FALSE(logs.contains("(attempt 11/10)"));
    EXPECT_EQ(std::count(errors.begin(), errors.end(), "Signaling connection lost: 10 reconnect attempts failed"), 1);
    EXPECT_FALSE(client.reconnectPending());
}

TEST(SignalingWatchdog, AServerThatNeverAnswersAuthIsLeftAndTriedAgain) {
    test::TempInstanceRoot root;
    test::LogCapture logs;
    const test::TestCertificates certificates = test::makeTestCertificates(root.path() / "certs");
    std::ofstream(root.path() / "instance.ini") << "[tls]\nextra_ca_file=" << certificates.caCertificate.string() << "\n";

    // A signaling server that completes the WebSocket handshake, reads AUTH and never replies.
    QWebSocketServer server(QStringLiteral("silent"), QWebSocketServer::SecureMode);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(QSslCertificate::fromPath(QString::fromStdString(certificates.serverCertificate.string())).value(0));
    QFile keyFile(QString::fromStdString(certificates.serverKey.string()));
    ASSERT_TRUE(keyFile.open(QIODevice::ReadOnly));
    tls.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Ec));
    server.setSslConfiguration(tls);
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    std::vector<std::unique_ptr<QWebSocket>> sockets;
    int auths = 0;
    QObject::connect(&server, &QWebSocketServer::newConnection, [&] {
        sockets.emplace_back(server.nextPendingConnection());
        QObject::connect(sockets.back().get(), &QWebSocket::textMessageReceived, [&](const QString& text) {
            if (text.contains("\"AUTH\"")) ++auths;
        });
    });

    SignalingClient client;
    client.setAuthReplyTimeout(300);
    client.setReconnectDelays(10, 20);
    int connected = 0;
    QObject::connect(&client, &SignalingClient::connected, [&] { ++connected; });
    client.connectToServer(QUrl(QStringLiteral("https://127.0.0.1:%1").arg(server.serverPort())), "123456789", "token");
    ASSERT_TRUE(waitUntil([&] { return auths >= 2; }, std::chrono::milliseconds(10000)));
    EXPECT_TRUE(logs.contains("Signaling: connection is not answering (no answer to AUTH)"));
    EXPECT_TRUE(logs.contains("Reconnecting in 10 ms (attempt 1/10)"));
    EXPECT_EQ(connected, 0);
    EXPECT_FALSE(client.isAuthenticated());
}

// --- authentication ---------------------------------------------------------------------------------

std::function<std::uint32_t()> sequence(std::vector<std::uint32_t> values) {
    return [values, i = std::size_t{0}]() mutable { return i < values.size() ? values[i++] : 0u; };
}

TEST(AuthGenerators, EphemeralPasswordsFollowTheTables) {
    // 7 characters: 'a', 'A', '2', then four of the union table's first entry; no swaps (j == i).
    EXPECT_EQ(AuthController::generateEphemeralPassword(
                  sequence({0, 0, 0, 0, 0, 0, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
                            0xFFFFFFFF})),
              "aA2aaaa");
    // 8 characters from the last entry of each table.
    EXPECT_EQ(AuthController::generateEphemeralPassword(sequence(
                  {0x80000000, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
                   0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF})),
              "zZ999999");
    for (int i = 0; i < 200; ++i) {
        const QString p = AuthController::generateEphemeralPassword(
            [] { return static_cast<std::uint32_t>(QRandomGenerator::global()->generate()); });
        ASSERT_TRUE(p.size() == 7 || p.size() == 8);
        EXPECT_TRUE(std::any_of(p.begin(), p.end(), [](QChar c) { return c.isLower(); })) << p.toStdString();
        EXPECT_TRUE(std::any_of(p.begin(), p.end(), [](QChar c) { return c.isUpper(); })) << p.toStdString();
        EXPECT_TRUE(std::any_of(p.begin(), p.end(), [](QChar c) { return c.isDigit(); })) << p.toStdString();
        for (QChar c : QStringLiteral("lIO01")) EXPECT_FALSE(p.contains(c)) << p.toStdString();
    }
}

TEST(AuthGenerators, PairingCodesAreSixDigitsWithoutBias) {
    const auto strong = [](std::vector<std::optional<std::uint32_t>> values) {
        return [values, i = std::size_t{0}]() mutable { return i < values.size() ? values[i++] : std::nullopt; };
    };
    const auto none = [] { return 0u; };
    EXPECT_EQ(AuthController::pairingCodeFrom(strong({0u}), none), "100000");
    EXPECT_EQ(AuthController::pairingCodeFrom(strong({899999u}), none), "999999");
    EXPECT_EQ(AuthController::pairingCodeFrom(strong({0xFFFD7280u, 0xFFFFFFFFu, 5u}), none), "100005");
    EXPECT_EQ(AuthController::pairingCodeFrom(strong({0xFFFD727Fu}), none), QString::number(0xFFFD727Fu % 900000 + 100000));
    EXPECT_EQ(AuthController::pairingCodeFrom(strong({}), [] { return 0xFFFFFFFFu; }), "999999");
    EXPECT_EQ(AuthController::pairingCodeFrom(strong({}), [] { return 0u; }), "100000");
}

TEST(AuthPolicy, SecurePasswordRulesInOrder) {
    const struct {
        const char* password;
        const char* message;
    } cases[] = {
        {"Abcdef1!", ""},
        {"Abc def1!", ""},
        {" Abcdef1!", "Secure password must not have leading or trailing whitespace."},
        {"Abcdef1!\t", "Secure password must not have leading or trailing whitespace."},
        {"Abcde1!", "Secure password must be at least 8 characters."},
        {"abcdef1!", "Secure password must contain at least one uppercase letter."},
        {"ABCDEF1!", "Secure password must contain at least one lowercase letter."},
        {"Abcdefg!", "Secure password must contain at least one digit."},
        {"Abcdefg1", "Secure password must contain at least one special character (!@#$%^&* etc.)."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AuthController::validateSecurePassword(QString::fromUtf8(c.password)), c.message) << c.password;
    }
    EXPECT_TRUE(AuthController::isCredentialError("backend says: INVALID DEVICE CREDENTIALS for you"));
    EXPECT_TRUE(AuthController::isCredentialError("client NOT found"));
    EXPECT_FALSE(AuthController::isCredentialError("Connection refused"));
}

class AuthControllerTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    test::LogCapture logs;
    SettingsController settings;
    ApiClient api{QUrl("https://127.0.0.1:1")};
    SignalingClient signaling;
    HeartbeatService heartbeat{api};
    AuthController auth{api, signaling, heartbeat, settings};
    AuthControllerTest() { auth.setRetryInterval(600000); }
};

TEST_F(AuthControllerTest, AStoreFailureIsReportedAndNoSecurePasswordRemains) {
    std::vector<bool> changes;
    QObject::connect(&auth, &AuthController::securePasswordChanged, [&](bool set) { changes.push_back(set); });
    EXPECT_EQ(auth.setSecurePassword("Abcdef1!"), "");
    EXPECT_EQ(settings.savedSecurePassword(), "Abcdef1!");
    std::filesystem::remove(platform::protection::machineKeyPath());
    std::filesystem::create_directories(platform::protection::machineKeyPath());
    EXPECT_EQ(auth.setSecurePassword("Other#Pass2"), "Secure password could not be stored.");
    EXPECT_EQ(auth.securePassword(), "");
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
    auth.clearSecurePassword();  // nothing stored any more: nothing to announce
    EXPECT_EQ(changes.size(), 2u);
}

TEST_F(AuthControllerTest, CredentialErrorsCountTowardsFailOverWithoutClearingAMissingIdentity) {
    const QUrl first = settings.serverUrl();
    auth.onAuthError("Invalid client_id");
    EXPECT_FALSE(logs.contains("Credential error — clearing client ID"));
    EXPECT_EQ(auth.failureCount(), 1);
    auth.onAuthError("Connection refused");
    EXPECT_EQ(auth.failureCount(), 0);
    EXPECT_TRUE(logs.contains("Server failover: switched to"));
    EXPECT_EQ(api.baseUrl(), settings.serverUrl());
    EXPECT_NE(settings.serverUrl(), first);
    // The third failure counts as the first on the new server.
    auth.onAuthError("Connection refused");
    EXPECT_EQ(auth.failureCount(), 1);
}

TEST_F(AuthControllerTest, PairingCodeBeforeLogInHasAnEmptyHashAndIsNotSent) {
    std::vector<QString> hashes;
    QObject::connect(&auth, &AuthController::pairingHashChanged, [&](const QString& h) { hashes.push_back(h); });
    auth.regeneratePairingCode();
    ASSERT_EQ(hashes.size(), 1u);
    EXPECT_EQ(hashes[0], "");
    EXPECT_EQ(auth.pairingCode().size(), 6);
    EXPECT_FALSE(logs.contains("Cannot send message"));
}

TEST_F(AuthControllerTest, ALogInStopsTheRetryTimerAndNeverOverlapsAnother) {
    auth.onAuthError("Connection refused");
    EXPECT_TRUE(auth.retryPending());
    auth.tryAuthenticate();
    EXPECT_FALSE(auth.retryPending());
    EXPECT_TRUE(auth.isLoggingIn());
    auth.tryAuthenticate();  // the first is not answered yet
    EXPECT_EQ(logs.count("Auto-registering..."), 1u);
    EXPECT_TRUE(logs.contains("a log-in is already under way"));
}

// A backend that admits the log-in but whose signaling refuses the token: the next log-in waits
// as signaling's reconnects do, longer with each refusal, until signaling accepts a token again.
TEST(AuthControllerSignaling, ATokenRefusedBySignalingIsFollowedByLogInsWithABackOff) {
    test::TempInstanceRoot root;
    std::ofstream(root.path() / "instance.ini") << "[backend]\napi_url=https://127.0.0.1:1\n";  // refuses at once
    test::LogCapture logs;
    SettingsController settings;
    ApiClient api{settings.serverUrl()};
    SignalingClient signaling;
    HeartbeatService heartbeat{api};
    AuthController auth{api, signaling, heartbeat, settings};
    auth.setRetryInterval(600000);
    signaling.setReconnectDelays(20, 80);
    for (const int delay : {20, 40, 80, 80}) {
        SCOPED_TRACE(delay);
        const std::size_t logIns = logs.count("Auto-registering...");
        const std::string waiting = fmt::format("signaling refused the token — logging in again in {} ms", delay);
        const std::size_t waits = logs.count(waiting);
        emit signaling.authenticationRejected();
        emit signaling.authenticationRejected();  // refusals that arrive together wait once
        EXPECT_EQ(logs.count(waiting), waits + 1);
        EXPECT_FALSE(auth.isLoggingIn());
        EXPECT_TRUE(auth.signalingRetryPending());
        ASSERT_TRUE(waitUntil([&] { return logs.count("Auto-registering...") > logIns; }));
        ASSERT_TRUE(waitUntil([&] { return !auth.isLoggingIn(); }));  // the refused log-in
    }
    auth.onSignalingConnected();
    emit signaling.authenticationRejected();
    EXPECT_EQ(logs.count("logging in again in 20 ms"), 2u);
    auth.logout();
    EXPECT_FALSE(auth.signalingRetryPending());
}

TEST_F(AuthControllerTest, TokenExpiryTwiceStartsOneLogIn) {
    auth.onTokenExpired();
    auth.onTokenExpired();
    EXPECT_EQ(logs.count("Token expired — re-authenticating..."), 1u);
    EXPECT_EQ(logs.count("Auto-registering..."), 1u);
}

}  // namespace
}  // namespace veltrix
