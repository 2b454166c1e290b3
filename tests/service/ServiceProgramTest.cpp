// VeltrixService as a program: the command line, console mode with a pipe client, and the status
// reports of service mode through a stand-in service manager's notification socket.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/InstancePaths.h"
#include "platform/NamedMutex.h"
#include "platform/TerminalSessions.h"
#include "service/ServiceIpcServer.h"
#include "service/ServiceLogging.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct ProgramRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

QProcessEnvironment instanceEnvironment() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("VELTRIX_SERVICE_MANAGER");
    environment.remove("NOTIFY_SOCKET");
    return environment;
}

ProgramRun runToEnd(const fs::path& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessEnvironment(instanceEnvironment());
    process.start(QString::fromStdString(program.string()), arguments);
    ProgramRun run;
    if (!process.waitForFinished(10000)) return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
}

std::string readFile(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// The programs of one installation: the service and, beside it, the stand-in client.
fs::path installPrograms(const fs::path& folder, bool withService) {
    fs::create_directories(folder);
    if (withService) fs::copy_file(VELTRIX_SERVICE_PROGRAM, folder / "VeltrixService");
    fs::copy_file(VELTRIX_PIPE_PROBE_PROGRAM, folder / ServiceIpcServer::kClientProgramName);
    return folder;
}

TEST(ServiceProgramTest, InstallAndUninstallReportTheirOutcomes) {
    test::TempInstanceRoot root;
    const fs::path program = VELTRIX_SERVICE_PROGRAM;

    ProgramRun run = runToEnd(program, {"--unknown", "--install"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "Service 'VeltrixService' installed successfully.\n");
    const std::string unit = readFile(root.path() / "units" / "VeltrixService.service");
    EXPECT_NE(unit.find("ExecStart=\"" + fs::canonical(program).string() + "\"\n"), std::string::npos) << unit;

    run = runToEnd(program, {"--install"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "Service already exists.\n");

    run = runToEnd(program, {"--uninstall", "--install"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "Service 'VeltrixService' uninstalled successfully.\n");

    run = runToEnd(program, {"--uninstall"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "Service does not exist.\n");
}

TEST(ServiceProgramTest, ConsoleModeServesItsClientRefusesOthersAndStopsOnSigterm) {
    test::TempInstanceRoot root;
    const fs::path programs = installPrograms(root.path() / "programs", true);
    const fs::path stranger = installPrograms(root.path() / "elsewhere", false);

    QProcess service;
    service.setProcessEnvironment(instanceEnvironment());
    service.start(QString::fromStdString((programs / "VeltrixService").string()), {"--some-option"});
    ASSERT_TRUE(service.waitForStarted(5000));
    const fs::path log = service::logFolder() / "service.log";
    ASSERT_TRUE(waitFor([&] { return readFile(log).find("ServiceIpcServer started") != std::string::npos; }))
        << readFile(log);
    EXPECT_NE(readFile(log).find("Not running as service — starting in console mode"), std::string::npos);

    // The same client program from another folder is refused without a byte.
    ProgramRun refused = runToEnd(stranger / "VeltrixClient", {"--read-ms", "1000"});
    EXPECT_EQ(refused.exitCode, 0);
    EXPECT_EQ(refused.out, "connected\nclosed\n");
    EXPECT_NE(readFile(log).find("ServiceIpc: rejecting pipe client pid="), std::string::npos);

    ProgramRun served = runToEnd(programs / "VeltrixClient", {"--send", R"({"type":"HELLO"})", "--read-ms", "300"});
    EXPECT_EQ(served.exitCode, 0);
    EXPECT_EQ(served.out.rfind("connected\n", 0), 0u) << served.out;
    EXPECT_EQ(served.out.find("closed"), std::string::npos) << served.out;
    ASSERT_TRUE(waitFor([&] { return readFile(log).find("Agent disconnected") != std::string::npos; }));
    EXPECT_NE(readFile(log).find("ServiceIpc: accepted pipe client pid="), std::string::npos);

    ::kill(static_cast<pid_t>(service.processId()), SIGTERM);
    ASSERT_TRUE(service.waitForFinished(5000));
    EXPECT_EQ(service.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(service.exitCode(), 0);
    const std::string text = readFile(log);
    EXPECT_NE(text.find("ServiceIpcServer stopped"), std::string::npos) << text;
    EXPECT_FALSE(fs::exists(platform::paths::pipePath(ServiceIpcServer::kPipeName)));
}

// A client that sends and then never reads: the replies that do not fit in the socket wait in the
// service's queue, and neither its event loop nor its stop waits for the client.
TEST(ServiceProgramTest, AClientThatNeverReadsDoesNotHoldUpAStop) {
    test::TempInstanceRoot root;
    const fs::path programs = installPrograms(root.path() / "programs", true);
    QProcess service;
    service.setProcessEnvironment(instanceEnvironment());
    service.start(QString::fromStdString((programs / "VeltrixService").string()), {});
    ASSERT_TRUE(service.waitForStarted(5000));
    const fs::path log = service::logFolder() / "service.log";
    ASSERT_TRUE(waitFor([&] { return readFile(log).find("ServiceIpcServer started") != std::string::npos; }));

    QProcess client;
    client.setProcessEnvironment(instanceEnvironment());
    // About a megabyte of STATE replies, several times what the socket holds.
    client.start(QString::fromStdString((programs / ServiceIpcServer::kClientProgramName).string()),
                 {"--send", R"({"type":"GET_STATE"})", "--repeat", "3000", "--hold-ms", "8000"});
    ASSERT_TRUE(client.waitForStarted(5000));
    ASSERT_TRUE(waitFor([&] { return readFile(log).find("ServiceIpc: accepted pipe client") != std::string::npos; }));
    std::this_thread::sleep_for(300ms);  // the commands are read and answered meanwhile

    const auto stopAt = std::chrono::steady_clock::now();
    ::kill(static_cast<pid_t>(service.processId()), SIGTERM);
    ASSERT_TRUE(service.waitForFinished(5000));
    // A write that waited for the reader would hold the stop for its whole 5 s time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 4s);
    EXPECT_EQ(service.exitCode(), 0);
    client.kill();
    client.waitForFinished(2000);
}

// Plays the service manager: a datagram socket receives the status reports.
class NotifySocket {
public:
    explicit NotifySocket(const fs::path& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        timeval timeout{0, 100000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~NotifySocket() { ::close(fd_); }

    // The reports received so far, one text each.
    const std::vector<std::string>& reports() {
        char buffer[4096];
        for (;;) {
            const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) break;
            reports_.emplace_back(buffer, static_cast<std::size_t>(n));
        }
        return reports_;
    }

    bool has(const std::string& text) {
        for (const auto& report : reports()) {
            if (report.find(text) != std::string::npos) return true;
        }
        return false;
    }

private:
    fs::path path_;
    int fd_ = -1;
    std::vector<std::string> reports_;
};

TEST(ServiceProgramTest, ServiceModeReportsStartRunningStopPendingAndStopped) {
    test::TempInstanceRoot root;
    NotifySocket manager(root.path() / "notify");
    QProcessEnvironment environment = instanceEnvironment();
    environment.insert("VELTRIX_SERVICE_MANAGER", "1");
    environment.insert("NOTIFY_SOCKET", QString::fromStdString((root.path() / "notify").string()));

    QProcess service;
    service.setProcessEnvironment(environment);
    service.start(VELTRIX_SERVICE_PROGRAM, {});
    ASSERT_TRUE(service.waitForStarted(5000));
    ASSERT_TRUE(waitFor([&] { return manager.has("READY=1"); }));

    ::kill(static_cast<pid_t>(service.processId()), SIGTERM);
    ASSERT_TRUE(service.waitForFinished(5000));
    EXPECT_EQ(service.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(service.exitCode(), 0);

    const auto& reports = manager.reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[0], "STATUS=START_PENDING checkpoint=0 wait_hint=10000 controls=0x0\nEXTEND_TIMEOUT_USEC=10000000\n");
    EXPECT_EQ(reports[1], "STATUS=RUNNING checkpoint=0 wait_hint=0 controls=0x85\nREADY=1\n");
    EXPECT_EQ(reports[2], "STATUS=STOP_PENDING checkpoint=1 wait_hint=5000 controls=0x85\nSTOPPING=1\nEXTEND_TIMEOUT_USEC=5000000\n");
    EXPECT_EQ(reports[3], "STATUS=STOPPED checkpoint=0 wait_hint=0 controls=0x85\n");

    const std::string log = readFile(service::logFolder() / "service.log");
    for (const char* line : {"VeltrixService v1.301 starting...", "VeltrixService is running",
                             "Service stop/shutdown requested", "VeltrixService shutting down...",
                             "VeltrixService stopped"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
}


// Runs the service mode until it reports RUNNING, stops it and gives its log.
std::string runServiceOnce(const fs::path& root) {
    NotifySocket manager(root / "notify");
    QProcessEnvironment environment = instanceEnvironment();
    environment.insert("VELTRIX_SERVICE_MANAGER", "1");
    environment.insert("NOTIFY_SOCKET", QString::fromStdString((root / "notify").string()));
    QProcess service;
    service.setProcessEnvironment(environment);
    service.start(VELTRIX_SERVICE_PROGRAM, {});
    if (!service.waitForStarted(5000)) return {};
    waitFor([&] { return manager.has("READY=1"); });
    ::kill(static_cast<pid_t>(service.processId()), SIGTERM);
    service.waitForFinished(5000);
    fs::remove(root / "notify");
    return readFile(service::logFolder() / "service.log");
}

TEST(ServiceProgramTest, TheFirstAgentGoesToTheFirstActiveUserSessionUnlessAClientRuns) {
    test::TempInstanceRoot root;
    fs::create_directories(platform::paths::runDir());
    std::ofstream(platform::sessions::sessionsFilePath()) << R"({"sessions": [
        {"id": 0, "user": "services", "uid": 0, "state": "active"},
        {"id": 4, "user": "bob", "uid": 1001, "state": "disconnected"},
        {"id": 2, "user": "alice", "uid": 1000, "state": "active", "console": true},
        {"id": 7, "user": "carol", "uid": 1002, "state": "active"}]})";

    std::string log = runServiceOnce(root.path());
    EXPECT_NE(log.find("ServiceMain startup: launching agent in active session 2"), std::string::npos) << log;
    EXPECT_EQ(log.find("active session 7"), std::string::npos);

    fs::remove(service::logFolder() / "service.log");
    platform::NamedMutex client;
    platform::SystemError error;
    ASSERT_TRUE(client.acquire("Global\\VeltrixClientMutex", error));
    log = runServiceOnce(root.path());
    EXPECT_NE(log.find("ServiceMain startup: agent already running, skipping enumeration-time launch"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("launching agent"), std::string::npos);
}

}  // namespace
}  // namespace veltrix
