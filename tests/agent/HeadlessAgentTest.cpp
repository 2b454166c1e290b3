// `VeltrixClient --headless` as a process: its log, its log level, the ten pipe attempts and exit
// code 1 without a service, and a service pipe that appears during the waits.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "agent/ServiceIpcClient.h"
#include "agent/StartupDiagnostics.h"
#include "platform/InstancePaths.h"
#include "platform/PipeServer.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

namespace veltrix {
namespace {

using namespace std::chrono_literals;

class HeadlessAgentTest : public ::testing::Test {
protected:
    void start(const QStringList& arguments) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("VELTRIX_ROOT", QString::fromStdString(root.path().string()));
        agent.setProcessEnvironment(environment);
        agent.start(VELTRIX_CLIENT_PROGRAM, arguments);
        ASSERT_TRUE(agent.waitForStarted(5000));
    }
    std::string log() const {
        std::ifstream file(platform::paths::commonDataDir() / "Veltrix" / "headless.log");
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    void TearDown() override {
        if (agent.state() != QProcess::NotRunning) {
            agent.terminate();
            if (!agent.waitForFinished(5000)) agent.kill();
            agent.waitForFinished(5000);
        }
    }

    test::TempInstanceRoot root;
    QProcess agent;
};

TEST_F(HeadlessAgentTest, WithoutTheServiceItTriesTenTimesAndExitsWithOne) {
    const auto started = std::chrono::steady_clock::now();
    start({"--log-level", "WARNING", "--headless"});
    ASSERT_TRUE(agent.waitForFinished(15000));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(agent.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent.exitCode(), 1);
    EXPECT_GE(took, 4500ms);  // ten waits of 500 ms
    const std::string text = log();
    EXPECT_NE(text.find("Headless: failed to connect to VeltrixService pipe"), std::string::npos) << text;
    // Warning level: the info lines are not written.
    EXPECT_EQ(text.find("Headless: waiting for service pipe"), std::string::npos) << text;
}

TEST_F(HeadlessAgentTest, PicksUpAPipeThatAppearsDuringTheWaits) {
    start({"--headless", "--log-level"});  // the level at the end: info
    ASSERT_TRUE(test::waitUntil([&] { return log().find("(attempt 2/10)") != std::string::npos; }, 10s)) << log();
    platform::PipeServer server{ServiceIpcClient::kPipeName};
    platform::SystemError error;
    ASSERT_TRUE(server.createInstance(error)) << error.text();
    platform::PipeConnectStatus status = platform::PipeConnectStatus::Pending;
    ASSERT_TRUE(test::waitUntil([&] {
        status = server.connectClient(error);
        return status == platform::PipeConnectStatus::Connected;
    }, 10s));
    ASSERT_TRUE(test::waitUntil([&] { return log().find("Headless: connected to VeltrixService via IPC") != std::string::npos; }, 5s));
    const std::string text = log();
    EXPECT_NE(text.find("Veltrix Client starting in HEADLESS mode (main tid="), std::string::npos) << text;
    EXPECT_NE(text.find("VeltrixClient started: mode=headless integrity="), std::string::npos) << text;
    EXPECT_NE(text.find("parent_image=agent_tests"), std::string::npos) << text;
    EXPECT_EQ(agent.state(), QProcess::Running);
}

TEST(StartupDiagnostics, IntegrityNames) {
    EXPECT_STREQ(integrityName(0), "Untrusted");
    EXPECT_STREQ(integrityName(0x1000), "Low");
    EXPECT_STREQ(integrityName(0x2000), "Medium");
    EXPECT_STREQ(integrityName(0x2100), "Medium+");
    EXPECT_STREQ(integrityName(0x3000), "High");
    EXPECT_STREQ(integrityName(0x4000), "System");
    EXPECT_STREQ(integrityName(0x5000), "ProtectedProcess");
}

}  // namespace
}  // namespace veltrix
