// The whole update road with the real programs: VeltrixClient (automatic update check and
// installation on) beside a console-mode VeltrixService, the local backend's download host with a
// sign-installer-signed installer. The client finds, downloads and verifies the installer, stops
// the service through its control program, starts the installer with both arguments and exits.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "core/SettingsController.h"
#include "support/LogCapture.h"
#include "support/RunningBackend.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"
#include "support/XvfbDisplay.h"

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeExecutable(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
    fs::permissions(path, fs::perms::owner_all);
}

TEST(UpdateHandOffEndToEnd, TheClientStopsTheServiceStartsTheInstallerAndExits) {
    test::LogCapture logs;
    test::TempInstanceRoot root;
    const fs::path control = root.path() / "control";
    // The service manager's control program: the state in a file; stop and start change it.
    writeExecutable(control / "fake-control", "#!/bin/sh\nhere=$(dirname \"$0\")\necho \"$1\" >> \"$here/control.log\"\n"
                                              "case \"$1\" in\n"
                                              "  show) echo LoadState=loaded; echo \"ActiveState=$(cat \"$here/control.state\")\" ;;\n"
                                              "  stop) echo inactive > \"$here/control.state\" ;;\n"
                                              "  start) echo active > \"$here/control.state\" ;;\n"
                                              "esac\nexit 0\n");
    std::ofstream(control / "control.state") << "active\n";
    std::ofstream(root.path() / "instance.ini") << "[service]\ncontrol_program=" << (control / "fake-control").string() << "\n";

    test::RunningBackend backend({"--no-turn", "--instance", q(root.path()), "--update-manifest", q(root.path() / "manifest.json"),
                                  "--update-dir", q(root.path() / "published")});
    ASSERT_TRUE(backend.start()) << backend.output().toStdString();

    // The installer: a script that records its arguments and the service state it found, signed
    // by the publisher (the signature trails the script, after its "exit").
    const fs::path script = root.path() / "installer.sh";
    writeExecutable(script, "#!/bin/sh\necho \"$* $(cat '" + (control / "control.state").string() + "')\" > '" +
                                (control / "installer.out").string() + "'\nexit 0\n" + std::string(2048, '#') + "\n");
    fs::create_directories(root.path() / "published");
    QProcess sign;
    sign.start(QStringLiteral(VELTRIX_TEST_SOURCE_DIR "/backend/tools/sign-installer"),
               {"sign", backend.folder() + "/codesign", q(script), q(root.path() / "published" / "VeltrixSetup.exe")});
    ASSERT_TRUE(sign.waitForFinished(30000) && sign.exitCode() == 0) << sign.readAllStandardError().toStdString();
    QFile installer(q(root.path() / "published" / "VeltrixSetup.exe"));
    ASSERT_TRUE(installer.open(QIODevice::ReadOnly));
    const QByteArray sha256 = QCryptographicHash::hash(installer.readAll(), QCryptographicHash::Sha256).toHex();
    std::ofstream(root.path() / "manifest.json")
        << R"({"version":"1.302","download_url":"https://127.0.0.1:)" << backend.downloadPort()
        << R"(/download/VeltrixSetup.exe","release_notes":"","sha256":")" << sha256.toStdString() << "\"}\n";

    SettingsController settings;
    settings.setAutoUpdateOnStartup(true);
    settings.setAutoInstallUpdates(true);

    // Both programs from one folder, so the service admits the client.
    const fs::path programs = root.path() / "programs";
    fs::create_directories(programs);
    fs::copy_file(VELTRIX_SERVICE_PROGRAM, programs / "VeltrixService");
    fs::copy_file(VELTRIX_CLIENT_PROGRAM, programs / "VeltrixClient");
    test::XvfbDisplay display({}, "1280x1024x24");
    ASSERT_TRUE(display.isRunning());
    display.makeCurrent();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"VELTRIX_SERVICE_MANAGER", "NOTIFY_SOCKET", "DBUS_SESSION_BUS_ADDRESS"}) environment.remove(name);
    environment.insert("QT_QPA_PLATFORM", "xcb");
    // Under the leak checker the client's exit would be judged by leaks of the GL driver, which
    // is unloaded before the checker can name it for its suppressions; the client's own code is
    // leak-checked in-process by the GUI suite.
    QProcessEnvironment clientEnvironment = environment;
    if (environment.contains("ASAN_OPTIONS"))
        clientEnvironment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") + ":detect_leaks=0");

    QProcess service;
    service.setProcessEnvironment(environment);
    service.start(q(programs / "VeltrixService"), {});
    ASSERT_TRUE(service.waitForStarted(5000));
    ASSERT_TRUE(test::waitUntil([&] { return fs::exists(root.path() / "run" / "VeltrixService"); }, 15s));

    QProcess client;
    client.setProcessEnvironment(clientEnvironment);
    client.start(q(programs / "VeltrixClient"), {});
    ASSERT_TRUE(client.waitForStarted(5000));
    const fs::path clientLog = root.path() / "users" / std::to_string(::getuid()) / "VeltrixClient" / "VeltrixClient.log";
    const bool exited = test::waitUntil([&] { return client.state() == QProcess::NotRunning; }, 40s);
    EXPECT_TRUE(exited) << readText(clientLog);
    if (!exited) client.kill();
    client.waitForFinished(3000);
    EXPECT_EQ(client.exitStatus(), QProcess::NormalExit) << client.readAllStandardError().right(4000).toStdString();
    EXPECT_EQ(client.exitCode(), 0);

    EXPECT_TRUE(test::waitUntil([&] { return !readText(control / "installer.out").empty(); }, 10s)) << readText(clientLog);
    EXPECT_EQ(readText(control / "installer.out"), "/SILENT /SUPPRESSMSGBOXES inactive\n");
    EXPECT_NE(readText(control / "control.log").find("stop\n"), std::string::npos);
    const std::string log = readText(clientLog);
    EXPECT_NE(log.find("Installer verified at"), std::string::npos) << log;
    EXPECT_NE(log.find("Launching installer"), std::string::npos) << log;

    ::kill(static_cast<pid_t>(service.processId()), SIGTERM);
    EXPECT_TRUE(service.waitForFinished(10000));
}

}  // namespace
}  // namespace veltrix
