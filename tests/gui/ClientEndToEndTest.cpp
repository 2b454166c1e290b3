// The real VeltrixClient beside a console-mode VeltrixService registered with the local backend:
// the home page shows the device's ID in groups of three and its session password. The picture
// of the real window is compared with the same window built here from the service's own STATE.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QImage>
#include <QProcess>
#include <QScreen>
#include <QTest>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "GuiTestSupport.h"
#include "agent/ServiceIpcClient.h"
#include "core/SettingsController.h"
#include "gui/ClientStyleSheet.h"
#include "gui/MainWindow.h"
#include "platform/PipeServer.h"
#include "support/RunningBackend.h"
#include "support/ServiceDevice.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The share of equal pixels of two pictures of one size.
double sameShare(const QImage& a, const QImage& b) {
    if (a.size() != b.size() || a.isNull()) return 0.0;
    qint64 same = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) same += a.pixel(x, y) == b.pixel(x, y);
    return double(same) / (qint64(a.width()) * a.height());
}

TEST(ClientEndToEnd, TheHomePageShowsTheRegisteredIdAndThePassword) {
    test::TempInstanceRoot root;
    std::ofstream(root.path() / "machine-id") << "a0112233445566778899aabbccddeef1\n";
    // No service manager to ask: the client leaves the service alone.
    std::ofstream(root.path() / "instance.ini") << "[machine]\nid_file=" << (root.path() / "machine-id").string()
                                                << "\n[service]\ncontrol_program=" << (root.path() / "none").string()
                                                << "\n";
    test::RunningBackend backend({"--instance", QString::fromStdString(root.path().string())});
    ASSERT_TRUE(backend.start()) << backend.output().toStdString();

    const fs::path programs = root.path() / "programs";
    fs::create_directories(programs);
    fs::copy_file(VELTRIX_SERVICE_PROGRAM, programs / "VeltrixService");
    fs::copy_file(VELTRIX_PIPE_PROBE_PROGRAM, programs / "VeltrixClient");

    test::ServiceDevice device;
    device.root = root.path();
    device.start(programs / "VeltrixService");
    ASSERT_TRUE(device.service.waitForStarted(5000));

    IpcMessage state;
    ASSERT_TRUE(test::waitUntil(
        [&] {
            state = test::talk(programs / "VeltrixClient", device, {R"({"type":"GET_STATE"})"}, 700);
            return state.is_object() && state.value("authenticated", false);
        },
        60s))
        << state.dump();
    const QString clientId = QString::fromStdString(state.value("client_id", ""));
    ASSERT_EQ(clientId, SettingsController().clientId()) << "the ID of auth/clientId";

    // The service admits one client at a time: the probe must have gone before the client comes.
    const fs::path serviceLog = root.path() / "data" / "Veltrix" / "service.log";
    const auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    ASSERT_TRUE(test::waitUntil(
        [&] {
            const std::string text = test::readTextFile(serviceLog);
            return count(text, "Agent disconnected") >= count(text, "Agent connected to pipe");
        },
        30s));

    // The real client takes the probe's place beside the service.
    fs::remove(programs / "VeltrixClient");
    fs::copy_file(VELTRIX_CLIENT_PROGRAM, programs / "VeltrixClient");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("VELTRIX_SERVICE_MANAGER");
    environment.remove("NOTIFY_SOCKET");
    QProcess client;
    client.setProcessEnvironment(environment);
    client.start(QString::fromStdString((programs / "VeltrixClient").string()), {});
    ASSERT_TRUE(client.waitForStarted(5000));
    QStringList windows;
    const fs::path clientLog = root.path() / "users" / std::to_string(::getuid()) / "VeltrixClient" / "VeltrixClient.log";
    ASSERT_TRUE(
        test::waitUntil([&] { return !(windows = test::visibleWindows("Veltrix - Remote Access")).isEmpty(); }, 30s))
        << test::readTextFile(clientLog) << test::readTextFile(serviceLog);
    const auto grabReal = [&] {
        return QGuiApplication::primaryScreen()->grabWindow(windows.first().toULongLong()).toImage();
    };
    QImage real = grabReal();
    ASSERT_FALSE(real.isNull());

    // The same window built here from the service's STATE, in a root of its own.
    QImage expected;
    QRect idArea;
    QRect passwordArea;
    {
        test::TempInstanceRoot other;
        platform::PipeServer server{ServiceIpcClient::kPipeName};
        platform::SystemError error;
        ASSERT_TRUE(server.createInstance(error));
        ServiceIpcClient ipc;
        ASSERT_TRUE(ipc.connectToService());
        ASSERT_EQ(server.connectClient(error), platform::PipeConnectStatus::Connected);
        SettingsController settings;
        qApp->setStyleSheet(clientStyleSheet());
        MainWindow window(&ipc, &settings);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        ASSERT_EQ(server.client().write(encodeIpcFrame(state)).status, platform::PipeStatus::Ok);
        ipc.onPipePoll();
        window.resize(real.size());
        QApplication::processEvents();
        expected = window.grab().toImage().convertToFormat(real.format());
        // Where the window shows the two texts.
        const auto areaOf = [&](const QString& text) {
            for (QLabel* label : window.findChildren<QLabel*>())
                if (label->text() == text) return QRect(label->mapTo(&window, QPoint(0, 0)), label->size());
            return QRect();
        };
        idArea = areaOf(MainWindow::formatClientId(clientId));
        passwordArea = areaOf(QString::fromStdString(state.value("session_password", "")));
        qApp->setStyleSheet(QString());
    }
    ASSERT_FALSE(idArea.isEmpty());
    ASSERT_FALSE(passwordArea.isEmpty());

    // The real client paints the service's first STATE when it arrives, which on a loaded machine
    // takes a while: look again until both texts are there.
    const auto shows = [&](const QRect& area) { return sameShare(real.copy(area), expected.copy(area)) > 0.999; };
    test::waitUntil(
        [&] {
            real = grabReal();
            return shows(idArea) && shows(passwordArea);
        },
        30s);
    test::saveArtefact(QPixmap::fromImage(real), "gui_tests", "client-home-page");
    EXPECT_TRUE(shows(idArea)) << "ID " << MainWindow::formatClientId(clientId).toStdString();
    EXPECT_TRUE(shows(passwordArea)) << "password " << state.value("session_password", "");

    client.kill();
    client.waitForFinished(3000);
    device.stop();
    ASSERT_EQ(device.service.state(), QProcess::NotRunning);
}

}  // namespace
}  // namespace veltrix
