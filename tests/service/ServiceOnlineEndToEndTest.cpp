// VeltrixService in console mode against the local backend: it registers, holds signaling and
// sends heartbeats, and a pipe client reads the device's identity from STATE.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "support/RunningBackend.h"
#include "service/ServiceIpcServer.h"
#include "service/ServiceLogging.h"
#include "shared/IpcMessage.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string readFile(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// One GET_STATE through the stand-in client beside the service; the STATE message, or null.
IpcMessage askState(const fs::path& client) {
    QProcess probe;
    probe.start(QString::fromStdString(client.string()),
                {"--send", R"({"type":"GET_STATE"})", "--send", R"({"type":"GET_COMPANY_CLIENTS"})", "--read-ms", "700"});
    if (!probe.waitForFinished(10000)) return nullptr;
    std::istringstream lines(probe.readAllStandardOutput().toStdString());
    IpcMessage latest;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] != '{') continue;
        IpcMessage message = IpcMessage::parse(line, nullptr, false);
        if (message.is_object() && message.value("type", "") == "STATE") latest = message;
        if (message.is_object() && message.value("type", "") == "COMPANY_CLIENTS") latest["company_reply"] = message;
    }
    return latest;
}

TEST(ServiceOnlineEndToEnd, RegistersHoldsSignalingSendsAHeartbeatAndReportsItsIdentity) {
    test::TempInstanceRoot root;
    // Every device of this machine needs its own machine identity, or the backend sees one device.
    std::ofstream(root.path() / "machine-id") << "00112233445566778899aabbccddeeff\n";
    std::ofstream(root.path() / "instance.ini") << "[machine]\nid_file=" << (root.path() / "machine-id").string()
                                                << "\n";
    test::RunningBackend backend({"--instance", QString::fromStdString(root.path().string()), "--company", "Acme"});
    ASSERT_TRUE(backend.start()) << backend.output().toStdString();

    const fs::path programs = root.path() / "programs";
    fs::create_directories(programs);
    fs::copy_file(VELTRIX_SERVICE_PROGRAM, programs / "VeltrixService");
    fs::copy_file(VELTRIX_PIPE_PROBE_PROGRAM, programs / ServiceIpcServer::kClientProgramName);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("VELTRIX_SERVICE_MANAGER");
    environment.remove("NOTIFY_SOCKET");
    QProcess service;
    service.setProcessEnvironment(environment);
    service.start(QString::fromStdString((programs / "VeltrixService").string()), {});
    ASSERT_TRUE(service.waitForStarted(5000));
    const fs::path log = service::logFolder() / "service.log";

    ASSERT_TRUE(waitFor([&] { return readFile(log).find("Signaling auth confirmed") != std::string::npos; }, 60s))
        << readFile(log);
    EXPECT_NE(readFile(log).find("Auto-registration successful. Client ID: "), std::string::npos);

    // The first heartbeat goes out with the log-in; the backend keeps what it reported.
    const fs::path clients = fs::path(backend.folder().toStdString()) / "data" / "clients.json";
    ASSERT_TRUE(waitFor([&] { return readFile(clients).find(R"("last_heartbeat": "2)") != std::string::npos; }, 30s))
        << readFile(clients);

    const IpcMessage state = askState(programs / ServiceIpcServer::kClientProgramName);
    ASSERT_TRUE(state.is_object()) << readFile(log);
    EXPECT_EQ(state["authenticated"], true);
    const std::string clientId = state.value("client_id", "");
    EXPECT_EQ(clientId.size(), 9u) << state.dump();
    EXPECT_EQ(clientId.find_first_not_of("0123456789"), std::string::npos) << clientId;
    EXPECT_GE(state.value("session_password", "").size(), 7u) << state.dump();
    EXPECT_EQ(state["company_name"], "Acme");
    // The pairing hash is Base64 of "<client id>:<pairing code>".
    const QByteArray pairing = QByteArray::fromBase64(QByteArray::fromStdString(state.value("pairing_hash", "")));
    EXPECT_TRUE(pairing.startsWith(QByteArray::fromStdString(clientId + ":"))) << state.dump();
    EXPECT_EQ(state["company_reply"]["company_name"], "Acme") << state.dump();
    EXPECT_TRUE(state["company_reply"]["clients"].is_array()) << state.dump();

    const std::string stored = readFile(clients);
    EXPECT_NE(stored.find(R"("client_id": ")" + clientId + "\""), std::string::npos) << stored;
    EXPECT_NE(stored.find(R"("local_ip": ")"), std::string::npos) << stored;

    ::kill(static_cast<pid_t>(service.processId()), SIGTERM);
    ASSERT_TRUE(service.waitForFinished(10000));
    EXPECT_EQ(service.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(service.exitCode(), 0);
}

// The count of `needle` in `text`.
std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
    return count;
}

// The client ID that the log reports after "Client ID: ", or empty.
std::string loggedClientId(const std::string& log) {
    const std::string marker = "Auto-registration successful. Client ID: ";
    const std::size_t at = log.find(marker);
    return at == std::string::npos ? std::string() : log.substr(at + marker.size(), 9);
}

TEST(ServiceOnlineEndToEnd, TwoInstancesOfOneBackendGetTwoIdsAndNeverEvictEachOther) {
    // Set up as the README says: only scripts/backend --instance A --instance B, no own files.
    test::TempInstanceRoot root;
    const fs::path roots[] = {root.path() / "a", root.path() / "b"};
    test::RunningBackend backend({"--instance", QString::fromStdString(roots[0].string()), "--instance",
                                  QString::fromStdString(roots[1].string())});
    ASSERT_TRUE(backend.start()) << backend.output().toStdString();
    EXPECT_NE(readFile(roots[0] / "machine-id"), readFile(roots[1] / "machine-id"));

    const fs::path programs = root.path() / "programs";
    fs::create_directories(programs);
    fs::copy_file(VELTRIX_SERVICE_PROGRAM, programs / "VeltrixService");
    QProcess services[2];
    fs::path logs[2];
    for (int i = 0; i < 2; ++i) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("VELTRIX_SERVICE_MANAGER");
        environment.remove("NOTIFY_SOCKET");
        environment.insert("VELTRIX_ROOT", QString::fromStdString(roots[i].string()));
        services[i].setProcessEnvironment(environment);
        services[i].start(QString::fromStdString((programs / "VeltrixService").string()), {});
        ASSERT_TRUE(services[i].waitForStarted(5000));
        logs[i] = roots[i] / "data" / "Veltrix" / "service.log";
    }
    for (const fs::path& log : logs) {
        ASSERT_TRUE(waitFor([&] { return readFile(log).find("Signaling auth confirmed") != std::string::npos; }, 60s))
            << readFile(log);
    }
    // An eviction loop shows within a reconnect back-off (a second or two); watch several times that.
    std::this_thread::sleep_for(8s);
    const std::string ids[] = {loggedClientId(readFile(logs[0])), loggedClientId(readFile(logs[1]))};
    EXPECT_EQ(ids[0].size(), 9u);
    EXPECT_EQ(ids[1].size(), 9u);
    EXPECT_NE(ids[0], ids[1]);
    for (const fs::path& log : logs) {
        const std::string text = readFile(log);
        EXPECT_EQ(occurrences(text, "Signaling auth confirmed"), 1u) << text;
        EXPECT_EQ(occurrences(text, "Signaling WebSocket disconnected"), 0u) << text;
    }
    const std::string backendLog = readFile(fs::path(backend.folder().toStdString()) / "backend.log");
    EXPECT_EQ(occurrences(backendLog, "replaces the old one"), 0u) << backendLog;

    for (QProcess& service : services) {
        ::kill(static_cast<pid_t>(service.processId()), SIGTERM);
        EXPECT_TRUE(service.waitForFinished(10000));
    }
}

}  // namespace
}  // namespace veltrix
