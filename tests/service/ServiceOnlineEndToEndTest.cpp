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

}  // namespace
}  // namespace veltrix
