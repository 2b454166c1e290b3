// VeltrixService in console mode and ServiceIpcClient in another process, over the real pipe.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

#include <filesystem>
#include <string>

#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {

namespace fs = std::filesystem;

TEST(ServiceLinkEndToEnd, ClientGetsStateAndAnErrorForAnUnknownCommand) {
    test::TempInstanceRoot root;
    // The service admits only the client program from its own folder.
    const fs::path folder = root.path() / "programs";
    fs::create_directories(folder);
    fs::copy_file(VELTRIX_SERVICE_PROGRAM, folder / "VeltrixService");
    fs::copy_file(VELTRIX_CLIENT_PROBE_PROGRAM, folder / "VeltrixClient");

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("VELTRIX_SERVICE_MANAGER");
    environment.remove("NOTIFY_SOCKET");
    environment.insert("VELTRIX_ROOT", QString::fromStdString(root.path().string()));

    QProcess service;
    service.setProcessEnvironment(environment);
    service.start(QString::fromStdString((folder / "VeltrixService").string()), {});
    ASSERT_TRUE(service.waitForStarted(5000));

    QProcess client;
    client.setProcessEnvironment(environment);
    client.start(QString::fromStdString((folder / "VeltrixClient").string()), {});
    ASSERT_TRUE(client.waitForFinished(15000));
    const std::string out = client.readAllStandardOutput().toStdString();
    EXPECT_EQ(client.exitCode(), 0) << out << client.readAllStandardError().toStdString();
    EXPECT_NE(out.find("STATE Idle"), std::string::npos) << out;
    EXPECT_NE(out.find("ERROR Unknown command: FOO"), std::string::npos) << out;

    service.terminate();
    ASSERT_TRUE(service.waitForFinished(10000));
    EXPECT_EQ(service.exitStatus(), QProcess::NormalExit);
}

}  // namespace
}  // namespace veltrix
