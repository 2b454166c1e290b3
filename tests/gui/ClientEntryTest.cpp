// VeltrixClient as a child process: the single instance, the log-on task (also beside a running
// client), log levels, the start-up diagnostics, the service check through a fake control
// program, the pipe attempts and their error box, translations and "--minimized". The test plays
// the service's pipe with a PipeServer of its own.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStringList>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <csignal>
#include <cstdlib>
#include <unistd.h>

#include "GuiTestSupport.h"
#include "agent/ServiceIpcClient.h"
#include "platform/LogonTask.h"
#include "platform/NamedMutex.h"
#include "platform/PipeServer.h"
#include "support/TempInstanceRoot.h"
#include "support/UnprivilegedChild.h"
#include "support/WaitUntil.h"

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string readFile(const fs::path& path) { return test::readTextFile(path); }

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

// The Exec value of a desktop entry as a launcher reads it: the string escapes first, then the
// quoting of each argument.
QStringList parseExec(const std::string& value) {
    std::string unescaped;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[++i];
            unescaped += next == 's' ? ' ' : next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : next;
        } else {
            unescaped += value[i];
        }
    }
    QStringList arguments;
    std::string current;
    bool quoted = false;
    bool any = false;
    for (std::size_t i = 0; i < unescaped.size(); ++i) {
        const char c = unescaped[i];
        if (quoted) {
            if (c == '\\' && i + 1 < unescaped.size()) {
                current += unescaped[++i];
            } else if (c == '"') {
                quoted = false;
            } else {
                current += c;
            }
        } else if (c == '"') {
            quoted = any = true;
        } else if (c == ' ') {
            if (any) arguments << QString::fromStdString(current);
            current.clear();
            any = false;
        } else if (c == '%' && i + 1 < unescaped.size() && unescaped[i + 1] == '%') {
            current += '%';
            ++i;
            any = true;
        } else {
            current += c;
            any = true;
        }
    }
    if (any) arguments << QString::fromStdString(current);
    // Inside quotes "%%" stays a field-code escape too.
    for (QString& argument : arguments) argument.replace(QStringLiteral("%%"), QStringLiteral("%"));
    return arguments;
}

// A stand-in for the service manager's control program: answers "show" from a state file and
// logs every call; "start" makes the state "activating", then "active".
constexpr const char* kFakeControl = R"(#!/bin/sh
here=$(dirname "$0")
echo "$*" >> "$here/control.log"
state=$(cat "$here/control.state" 2>/dev/null || echo inactive)
case "$1" in
  show)
    [ "$state" = failing ] && exit 3
    if [ "$state" = not-found ]; then echo LoadState=not-found; echo ActiveState=inactive; exit 0; fi
    echo LoadState=loaded
    echo "ActiveState=$state" ;;
  start)
    echo activating > "$here/control.state"
    # Running a moment later, unless the test wants a service that never finishes starting.
    [ -n "$FAKE_START_STAYS_PENDING" ] || ( sleep 0.3; echo active > "$here/control.state" ) > /dev/null 2>&1 &
    ;;
esac
exit 0
)";

class ClientEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        controlProgram = root.path() / "control" / "fake-control";
        writeFile(controlProgram, kFakeControl);
        fs::permissions(controlProgram, fs::perms::owner_all);
        setControlState("active");
        writeFile(root.path() / "instance.ini", "[service]\ncontrol_program=" + controlProgram.string() + "\n");
    }

    void TearDown() override {
        for (QProcess* process : {&first, &second}) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(3000);
            }
        }
    }

    void setControlState(const std::string& state) { writeFile(root.path() / "control" / "control.state", state); }
    std::string controlLog() const { return readFile(root.path() / "control" / "control.log"); }

    fs::path logPath() const {
        return root.path() / "users" / std::to_string(::getuid()) / "VeltrixClient" / "VeltrixClient.log";
    }
    std::string log() const { return readFile(logPath()); }

    void start(QProcess& process, const QStringList& arguments, const QString& program = VELTRIX_CLIENT_PROGRAM) {
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(program, arguments);
        ASSERT_TRUE(process.waitForStarted(5000));
    }

    // Starts with no log of an earlier run, so waiting for a line never finds an old one.
    void startFresh(QProcess& process, const QStringList& arguments, const QString& program = VELTRIX_CLIENT_PROGRAM) {
        fs::remove(logPath());
        start(process, arguments, program);
    }

    // Runs to the end; the exit code, or -1 when it did not end within the limit.
    int run(const QStringList& arguments, const QString& program = VELTRIX_CLIENT_PROGRAM,
            std::chrono::milliseconds limit = 15s) {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, arguments);
        if (!process.waitForStarted(5000)) return -1;
        const bool ended = test::waitUntil([&] { return process.state() == QProcess::NotRunning; }, limit);
        output = process.readAll().toStdString();
        if (!ended) {
            process.kill();
            process.waitForFinished(3000);
            return -1;
        }
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    // A pipe for the client to find: the client connects to its listening instance.
    void servePipe() {
        platform::SystemError error;
        ASSERT_TRUE(pipe.createInstance(error)) << error.text();
    }

    bool logSays(const std::string& text, std::chrono::milliseconds limit = 10s) {
        return test::waitUntil([&] { return log().find(text) != std::string::npos; }, limit);
    }

    static QStringList visibleWindows(const QString& title) { return test::visibleWindows(title); }

    test::TempInstanceRoot root;
    fs::path controlProgram;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    platform::PipeServer pipe{ServiceIpcClient::kPipeName};
    QProcess first;
    QProcess second;
    std::string output;
};

TEST_F(ClientEntryTest, ASecondInstanceLeavesAtOnceAndTheFirstsLogStaysWhole) {
    servePipe();
    start(first, {});
    ASSERT_TRUE(logSays("Connected to VeltrixService via IPC"));
    const std::string before = log();
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(log().substr(0, before.size()), before);
    EXPECT_EQ(countOf(log(), "VeltrixClient started: mode=gui"), 1u);
    EXPECT_EQ(first.state(), QProcess::Running);
}

TEST_F(ClientEntryTest, InstallWritesAnEntryThatRunsThatVeryProgram) {
    // A folder name with a blank, "$" and "%" must survive the entry's quoting.
    const fs::path folder = root.path() / "odd $HOME dir %u";
    fs::create_directories(folder);
    const fs::path copy = folder / "VeltrixClient";
    fs::copy_file(VELTRIX_CLIENT_PROGRAM, copy);
    ASSERT_EQ(run({"--install"}, QString::fromStdString(copy.string())), 0) << output;

    const std::string entry = readFile(platform::logon::entryPath());
    const auto exec = entry.find("\nExec=");
    ASSERT_NE(exec, std::string::npos) << entry;
    const std::string value = entry.substr(exec + 6, entry.find('\n', exec + 1) - exec - 6);
    const QStringList command = parseExec(value);
    ASSERT_EQ(command.size(), 2) << value;
    EXPECT_EQ(command[0].toStdString(), copy.string());
    EXPECT_EQ(command[1], "--minimized");
    EXPECT_NE(entry.find("Type=Application"), std::string::npos);

    // The entry's program is the copy: it can remove its own entry.
    EXPECT_EQ(run({"--uninstall"}, command[0]), 0) << output;
    EXPECT_FALSE(fs::exists(platform::logon::entryPath()));
    EXPECT_EQ(run({"--uninstall"}), 1) << "no entry to remove";
    EXPECT_FALSE(fs::exists(logPath())) << "the task commands open no log";
}

TEST_F(ClientEntryTest, HeadlessWinsOverInstall) {
    servePipe();
    start(first, {});
    ASSERT_TRUE(logSays("Connected to VeltrixService via IPC"));
    // The agent's entry runs (whatever it makes of this instance): no task, no GUI log line.
    run({"--install", "--headless"});
    EXPECT_FALSE(platform::logon::taskExists());
    EXPECT_EQ(countOf(log(), "VeltrixClient started: mode=gui"), 1u);
}

TEST_F(ClientEntryTest, InstallIntoAnUnwritableFolderFails) {
    // The autostart folder's place is taken by a file: not even root can write the entry.
    writeFile(platform::logon::autostartDir(), "not a folder");
    EXPECT_EQ(run({"--install"}), 1);
    EXPECT_NE(output.find("Cannot create the log-on task"), std::string::npos) << output;
}

TEST_F(ClientEntryTest, InstallAndUninstallWorkBesideARunningClient) {
    servePipe();
    start(first, {});
    ASSERT_TRUE(logSays("Connected to VeltrixService via IPC"));
    const std::string before = log();
    EXPECT_EQ(run({"--install"}), 0) << output;
    EXPECT_TRUE(platform::logon::taskExists());
    EXPECT_EQ(run({"--uninstall"}), 0) << output;
    EXPECT_FALSE(platform::logon::taskExists());
    EXPECT_EQ(log().substr(0, before.size()), before) << "the running client's log is not truncated";
    EXPECT_EQ(first.state(), QProcess::Running);
}

TEST_F(ClientEntryTest, LogLevelDebugLogsDebugAndAnUnknownLevelIsInfo) {
    for (const auto& [level, debugExpected] : {std::pair{"DEBUG", true}, std::pair{"verbose", false}}) {
        SCOPED_TRACE(level);
        fs::remove(logPath());
        servePipe();
        start(first, {"--log-level", level});
        ASSERT_TRUE(test::waitUntil(
            [&] {
                platform::SystemError error;
                return pipe.connectClient(error) == platform::PipeConnectStatus::Connected;
            },
            10s));
        // A message the client does not know is logged at debug level.
        ASSERT_EQ(pipe.client().write(encodeIpcFrame({{"type", "PROBE_DEBUG"}})).status, platform::PipeStatus::Ok);
        ASSERT_EQ(pipe.client().write(encodeIpcFrame({{"type", "ERROR"}, {"message", "marker"}})).status,
                  platform::PipeStatus::Ok);
        ASSERT_TRUE(logSays("service error: marker"));
        EXPECT_EQ(log().find("unhandled message type 'PROBE_DEBUG'") != std::string::npos, debugExpected);
        first.kill();
        first.waitForFinished(3000);
        pipe.close();
    }
}

TEST_F(ClientEntryTest, DiagnosticsNameTheIntegrityAndTheParent) {
    servePipe();
    start(first, {});
    ASSERT_TRUE(logSays("Connected to VeltrixService via IPC"));
    EXPECT_NE(log().find("VeltrixClient started: mode=gui integrity=System pid=" + std::to_string(first.processId())),
              std::string::npos)
        << log();
    EXPECT_NE(log().find("parent_pid=" + std::to_string(::getpid()) + " parent_image=gui_tests"), std::string::npos);
    first.kill();
    first.waitForFinished(3000);

    // A process standing for a user-session one.
    environment.insert("VELTRIX_INTEGRITY", "medium");
    start(first, {});
    ASSERT_TRUE(logSays("integrity=Medium pid="));
}

// Milliseconds between the log lines that hold `first` and `second` (by their time stamps).
std::int64_t millisecondsBetween(const std::string& log, const std::string& first, const std::string& second) {
    const auto stampOf = [&](const std::string& text) -> std::int64_t {
        const auto at = log.find(text);
        if (at == std::string::npos) return -1;
        const auto lineStart = log.rfind('\n', at) + 1;  // npos + 1 is 0
        // "[YYYY-MM-DD hh:mm:ss.mmm]"
        const std::string stamp = log.substr(lineStart + 12, 12);
        return ((std::stoll(stamp.substr(0, 2)) * 60 + std::stoll(stamp.substr(3, 2))) * 60 +
                std::stoll(stamp.substr(6, 2))) * 1000 + std::stoll(stamp.substr(9, 3));
    };
    const std::int64_t a = stampOf(first);
    const std::int64_t b = stampOf(second);
    return a < 0 || b < 0 ? -1 : b - a;
}

TEST_F(ClientEntryTest, AStoppedServiceIsStartedOnceAndPolledUntilRunning) {
    for (const bool staysPending : {false, true}) {
        SCOPED_TRACE(staysPending ? "never running" : "running soon");
        fs::remove(root.path() / "control" / "control.log");
        fs::remove(logPath());
        setControlState("inactive");
        if (staysPending) environment.insert("FAKE_START_STAYS_PENDING", "1");
        servePipe();
        start(first, {});
        ASSERT_TRUE(logSays("Connected to VeltrixService via IPC", 15s)) << log();
        EXPECT_EQ(countOf(controlLog(), "start VeltrixService.service"), 1u) << controlLog();
        EXPECT_NE(controlLog().find("show -p LoadState,ActiveState VeltrixService.service"), std::string::npos);
        const std::string text = log();
        // A service never seen running is not reported started.
        const std::string outcome = staysPending ? "VeltrixService was started but did not report running within 3000 ms"
                                                 : "VeltrixService started successfully";
        EXPECT_EQ(text.find(staysPending ? "VeltrixService started successfully"
                                         : "did not report running"),
                  std::string::npos)
            << text;
        const std::int64_t polled =
            millisecondsBetween(text, "VeltrixService is not running, attempting to start it", outcome);
        ASSERT_GE(polled, 0) << text;
        // No poll starts after 3 s; the last one's own run (a shell here) comes on top.
        EXPECT_LE(polled, 4000) << "polling lasts at most 3 s";
        if (staysPending) {
            EXPECT_GE(polled, 2900) << "a service still starting is polled the whole 3 s";
        } else {
            EXPECT_LT(polled, 2500) << "polling ends once the service runs";
        }
        EXPECT_LT(text.find(outcome), text.find("Veltrix Client starting..."));
        first.kill();
        first.waitForFinished(3000);
        pipe.close();
    }
}

TEST_F(ClientEntryTest, ARunningStartingOrUnknownServiceIsLeftAlone) {
    for (const char* state : {"active", "activating", "not-found", "failing", "missing"}) {
        SCOPED_TRACE(state);
        fs::remove(root.path() / "control" / "control.log");
        fs::remove(logPath());
        if (std::string(state) == "missing") {
            writeFile(root.path() / "instance.ini", "[service]\ncontrol_program=" + root.path().string() + "/none\n");
        } else {
            setControlState(state);
        }
        servePipe();
        start(first, {});
        ASSERT_TRUE(logSays("Connected to VeltrixService via IPC"));
        EXPECT_EQ(countOf(controlLog(), "start "), 0u);
        EXPECT_EQ(log().find("attempting to start"), std::string::npos);
        first.kill();
        first.waitForFinished(3000);
        pipe.close();
    }
}

TEST_F(ClientEntryTest, WithoutAPipeFiveAttemptsThenTheErrorBoxAndExitOne) {
    start(first, {});
    ASSERT_TRUE(test::waitUntil([&] { return !visibleWindows("Veltrix").isEmpty(); }, 15s));
    EXPECT_EQ(countOf(log(), "Waiting for service pipe (attempt "), 5u);
    EXPECT_NE(log().find("Waiting for service pipe (attempt 5/5)..."), std::string::npos);
    EXPECT_NE(log().find("Failed to connect to VeltrixService pipe"), std::string::npos);
    const QString box = visibleWindows("Veltrix").first();
    QProcess::execute("xdotool", {"windowfocus", "--sync", box, "key", "Return"});
    ASSERT_TRUE(first.waitForFinished(5000));
    EXPECT_EQ(first.exitCode(), 1);
}

TEST_F(ClientEntryTest, TheSystemLanguageChoosesTheTranslation) {
    const fs::path folder = root.path() / "program";
    fs::create_directories(folder / "translations");
    const fs::path copy = folder / "VeltrixClient";
    fs::copy_file(VELTRIX_CLIENT_PROGRAM, copy);
    const QString program = QString::fromStdString(copy.string());
    environment.insert("LC_ALL", "de_DE.UTF-8");
    environment.insert("LANG", "de_DE.UTF-8");

    servePipe();
    startFresh(first, {}, program);
    ASSERT_TRUE(logSays("No translation found for 'de', using English"));
    first.kill();
    first.waitForFinished(3000);
    pipe.close();

    // A catalogue made here with lrelease.
    const fs::path source = folder / "veltrix_de.ts";
    writeFile(source, R"(<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS><TS version="2.1" language="de_DE"><context><name>veltrix::MainWindow</name>
<message><source>Connect</source><translation>Verbinden</translation></message></context></TS>
)");
    ASSERT_EQ(QProcess::execute(VELTRIX_LRELEASE, {QString::fromStdString(source.string()), "-qm",
                                                    QString::fromStdString((folder / "translations/veltrix_de.qm").string())}),
              0);
    servePipe();
    startFresh(first, {}, program);
    ASSERT_TRUE(logSays("Loaded translation: de"));
    first.kill();
    first.waitForFinished(3000);
    pipe.close();

    environment.insert("LC_ALL", "en_US.UTF-8");
    environment.insert("LANG", "en_US.UTF-8");
    servePipe();
    startFresh(first, {}, program);
    ASSERT_TRUE(logSays("Connected to VeltrixService via IPC"));
    EXPECT_EQ(log().find("translation"), std::string::npos) << log();
}

// "--minimized" starts in the tray: hidden where a tray host can show it again, and shown where
// there is none, as nothing else could bring the window back.
TEST_F(ClientEntryTest, MinimizedMapsNoWindowUnderATrayAndTheWindowWithoutOne) {
    servePipe();
    startFresh(first, {"--minimized"});
    ASSERT_TRUE(logSays("Connected to VeltrixService via IPC"));
    EXPECT_TRUE(test::waitUntil([&] { return !visibleWindows("Veltrix - Remote Access").isEmpty(); }, 10s))
        << "no tray host here";
    EXPECT_TRUE(logSays("Started minimized, but no tray is available: showing the window")) << log();
    first.kill();
    first.waitForFinished(3000);
    pipe.close();

    {
        test::TrayHost host;
        if (!host.running()) GTEST_SKIP() << "icewm is not installed (scripts/setup)";
        servePipe();
        startFresh(first, {"--minimized"});
        ASSERT_TRUE(logSays("Connected to VeltrixService via IPC"));
        test::runEventsFor(500ms);
        EXPECT_TRUE(visibleWindows("Veltrix - Remote Access").isEmpty());
        EXPECT_FALSE(logSays("no tray is available", 0ms));
        first.kill();
        first.waitForFinished(3000);
        pipe.close();
    }

    servePipe();
    start(first, {});
    EXPECT_TRUE(test::waitUntil([&] { return !visibleWindows("Veltrix - Remote Access").isEmpty(); }, 10s));
}

// An ordinary user's client beside a service that runs as root: the run folder is root's (0755),
// so the client's lock lies in the user's own folder of it, which the service makes.
class OrdinaryUserClientTest : public ClientEntryTest {
protected:
    static constexpr uid_t kUser = test::UnprivilegedChild::kNobody;

    void SetUp() override {
        ClientEntryTest::SetUp();
        fs::permissions(root.path(), fs::perms(0755));
        // The user's own folders (its home on a real machine), and the program where it may run it.
        for (const fs::path& folder : {userDataFolder(), root.path() / "config" / "users" / std::to_string(kUser)}) {
            fs::create_directories(folder);
            ASSERT_EQ(::chown(folder.c_str(), kUser, kUser), 0);
        }
        fs::create_directories(root.path() / "bin");
        std::error_code ec;
        fs::create_hard_link(VELTRIX_CLIENT_PROGRAM, program(), ec);
        if (ec) fs::copy_file(VELTRIX_CLIENT_PROGRAM, program());
        // The service's pipe, which admits the user of the session.
        pipe.admitUsers({kUser});
        servePipe();
    }

    fs::path userDataFolder() const { return root.path() / "users" / std::to_string(kUser); }
    fs::path program() const { return root.path() / "bin" / "VeltrixClient"; }
    std::string userLog() const { return readFile(userDataFolder() / "VeltrixClient" / "VeltrixClient.log"); }

    std::unique_ptr<test::UnprivilegedChild> startAsUser() {
        std::vector<std::string> environment{"VELTRIX_ROOT=" + root.path().string(), "PATH=/usr/bin:/bin",
                                             "HOME=" + userDataFolder().string()};
        for (const char* name : {"DISPLAY", "QT_QPA_PLATFORM"}) {
            if (const char* value = std::getenv(name)) environment.push_back(std::string(name) + "=" + value);
        }
        return std::make_unique<test::UnprivilegedChild>(program().string(), std::vector<std::string>{"--minimized"},
                                                         environment);
    }
};

TEST_F(OrdinaryUserClientTest, StartsHoldsItsLockAndIsSeenByTheService) {
    platform::SystemError error;
    ASSERT_TRUE(platform::NamedMutex::prepareUserFolder(kUser, error)) << error.text();  // as the service does
    auto client = startAsUser();
    ASSERT_TRUE(test::waitUntil([&] { return userLog().find("Connected to VeltrixService via IPC") != std::string::npos; },
                                15s))
        << userLog();
    EXPECT_TRUE(platform::NamedMutex::isHeldBy("Global\\VeltrixClientMutex", kUser));

    // The same user's second client leaves at once and without a word.
    auto second = startAsUser();
    ASSERT_TRUE(test::waitUntil([&] { return second->finished(); }, 10s));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_FALSE(client->finished());
}

TEST_F(OrdinaryUserClientTest, ALockItCannotTakeIsAnErrorNotASilentExit) {
    // The service has not made the user's folder, and the user may not make it.
    auto client = startAsUser();
    ASSERT_TRUE(test::waitUntil([&] { return client->finished(); }, 15s));
    EXPECT_EQ(client->exitCode(), 1);
    EXPECT_NE(userLog().find("VeltrixClient: cannot take the single-instance lock"), std::string::npos) << userLog();
}

}  // namespace
}  // namespace veltrix
