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
#include <string>
#include <thread>

#include "support/RunningBackend.h"
#include "support/ServiceDevice.h"
#include "service/ServiceIpcServer.h"
#include "service/ServiceLogging.h"
#include "shared/IpcMessage.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using test::readTextFile;
using test::waitUntil;

// GET_STATE and GET_COMPANY_CLIENTS through the stand-in client beside `device`'s service: the
// last STATE message with the COMPANY_CLIENTS reply as its "company_reply", or null.
IpcMessage askState(const fs::path& client, const test::ServiceDevice& device) {
    IpcMessage latest;
    const QStringList messages{R"({"type":"GET_STATE"})", R"({"type":"GET_COMPANY_CLIENTS"})"};
    for (IpcMessage& message : test::exchange(client, device, messages, 700)) {
        if (message.value("type", "") == "STATE") latest = std::move(message);
        else if (message.value("type", "") == "COMPANY_CLIENTS") latest["company_reply"] = std::move(message);
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

    test::ServiceDevice device;
    device.root = root.path();
    device.start(programs / "VeltrixService");
    QProcess& service = device.service;
    ASSERT_TRUE(service.waitForStarted(5000));
    const fs::path log = service::logFolder() / "service.log";

    ASSERT_TRUE(waitUntil([&] { return readTextFile(log).find("Signaling auth confirmed") != std::string::npos; }, 60s))
        << readTextFile(log);
    EXPECT_NE(readTextFile(log).find("Auto-registration successful. Client ID: "), std::string::npos);

    // The first heartbeat goes out with the log-in; the backend keeps what it reported.
    const fs::path clients = fs::path(backend.folder().toStdString()) / "data" / "clients.json";
    ASSERT_TRUE(waitUntil([&] { return readTextFile(clients).find(R"("last_heartbeat": "2)") != std::string::npos; }, 30s))
        << readTextFile(clients);

    const IpcMessage state = askState(programs / ServiceIpcServer::kClientProgramName, device);
    ASSERT_TRUE(state.is_object()) << readTextFile(log);
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

    const std::string stored = readTextFile(clients);
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
    EXPECT_NE(readTextFile(roots[0] / "machine-id"), readTextFile(roots[1] / "machine-id"));

    const fs::path programs = root.path() / "programs";
    fs::create_directories(programs);
    fs::copy_file(VELTRIX_SERVICE_PROGRAM, programs / "VeltrixService");
    test::ServiceDevice devices[2];
    fs::path logs[2];
    for (int i = 0; i < 2; ++i) {
        devices[i].root = roots[i];
        devices[i].start(programs / "VeltrixService");
        ASSERT_TRUE(devices[i].service.waitForStarted(5000));
        logs[i] = roots[i] / "data" / "Veltrix" / "service.log";
    }
    for (const fs::path& log : logs) {
        ASSERT_TRUE(waitUntil([&] { return readTextFile(log).find("Signaling auth confirmed") != std::string::npos; }, 60s))
            << readTextFile(log);
    }
    // An eviction loop shows within a reconnect back-off (a second or two); watch several times that.
    std::this_thread::sleep_for(8s);
    const std::string ids[] = {loggedClientId(readTextFile(logs[0])), loggedClientId(readTextFile(logs[1]))};
    EXPECT_EQ(ids[0].size(), 9u);
    EXPECT_EQ(ids[1].size(), 9u);
    EXPECT_NE(ids[0], ids[1]);
    for (const fs::path& log : logs) {
        const std::string text = readTextFile(log);
        EXPECT_EQ(occurrences(text, "Signaling auth confirmed"), 1u) << text;
        EXPECT_EQ(occurrences(text, "Signaling WebSocket disconnected"), 0u) << text;
    }
    const std::string backendLog = readTextFile(fs::path(backend.folder().toStdString()) / "backend.log");
    EXPECT_EQ(occurrences(backendLog, "replaces the old one"), 0u) << backendLog;

    for (test::ServiceDevice& device : devices) {
        device.stop();
        EXPECT_EQ(device.service.state(), QProcess::NotRunning);
    }
}

}  // namespace
}  // namespace veltrix
