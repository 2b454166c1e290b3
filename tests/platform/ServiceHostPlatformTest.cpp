#include <gtest/gtest.h>


#include <atomic>
#include <chrono>
#include <fstream>
#include <grp.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/InstancePaths.h"
#include "platform/NamedMutex.h"
#include "platform/PipeConnection.h"
#include "platform/PipeServer.h"
#include "platform/ProcessInfo.h"
#include "platform/ServiceManager.h"
#include "platform/SessionEvents.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

namespace veltrix::platform {
namespace {

using namespace std::chrono_literals;

TEST(NamedMutexTest, HeldForTheLifeOfTheHolderAndTestedWithoutTakingIt) {
    test::TempInstanceRoot root;
    constexpr const char* kName = "Global\\VeltrixClientMutex";
    EXPECT_FALSE(NamedMutex::isHeldBy(kName, geteuid()));
    {
        NamedMutex holder;
        SystemError error;
        ASSERT_TRUE(holder.acquire(kName, error)) << error.text();
        EXPECT_EQ(holder.lockPath(), paths::mutexPath(kName, geteuid()));
        EXPECT_TRUE(NamedMutex::isHeldBy(kName, geteuid()));
        EXPECT_TRUE(NamedMutex::isHeldBy(kName, geteuid()));  // testing never takes it
        EXPECT_TRUE(NamedMutex::isHeldByAnyOf(kName, {1000, geteuid()}));
        EXPECT_FALSE(NamedMutex::isHeldBy(kName, 1000));  // each account has its own

        NamedMutex second;
        EXPECT_FALSE(second.acquire(kName, error));
        EXPECT_EQ(error.code, EWOULDBLOCK);
    }
    EXPECT_FALSE(NamedMutex::isHeldBy(kName, geteuid()));
    NamedMutex again;
    SystemError error;
    EXPECT_TRUE(again.acquire(kName, error));
}

TEST(SessionEventsTest, AReaderSeesEveryEventPostedAfterItStartedInOrder) {
    test::TempInstanceRoot root;
    SystemError error;
    ASSERT_TRUE(sessions::postSessionEvent({sessions::SessionEvent::Logon, 9}, error));  // before: not seen
    sessions::SessionEventReader reader;
    ASSERT_TRUE(reader.open(error)) << error.text();
    ASSERT_TRUE(sessions::postSessionEvent({sessions::SessionEvent::Lock, 3}, error));
    // Lines a reader cannot make sense of are skipped.
    std::ofstream(sessions::sessionEventsFilePath(), std::ios::app) << "dance 3\nlogon x\nunlock 4294967296\n";
    ASSERT_TRUE(sessions::postSessionEvent({sessions::SessionEvent::Unlock, 3}, error));

    std::vector<sessions::SessionNotification> seen;
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (seen.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        for (const auto& n : reader.readPending()) seen.push_back(n);
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].event, sessions::SessionEvent::Lock);
    EXPECT_EQ(seen[0].sessionId, 3u);
    EXPECT_EQ(seen[1].event, sessions::SessionEvent::Unlock);
}

TEST(SessionEventsTest, TheQtThreadReceiverDeliversEvents) {
    test::TempInstanceRoot root;
    sessions::SessionNotifier notifier;
    SystemError error;
    ASSERT_TRUE(notifier.start(error)) << error.text();
    std::vector<sessions::SessionNotification> seen;
    QObject::connect(&notifier, &sessions::SessionNotifier::sessionChanged,
                     [&](const sessions::SessionNotification& n) { seen.push_back(n); });
    ASSERT_TRUE(sessions::postSessionEvent({sessions::SessionEvent::ConsoleDisconnect, 2}, error));
    test::waitUntil([&] { return !seen.empty(); }, std::chrono::seconds(2));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].event, sessions::SessionEvent::ConsoleDisconnect);
    EXPECT_EQ(seen[0].sessionId, 2u);
}

TEST(ServiceDispatcherTest, WithoutTheServiceManagerTheDispatcherFailsWith1063) {
    unsetenv(service::kManagerVariable);
    EXPECT_EQ(service::startServiceDispatcher("VeltrixService", [] {}), 1063u);
}

// Several threads write whole messages through one connection (the agent's capture thread and
// its main thread); the reader must find every message intact.
TEST(PipeConnectionTest, ConcurrentWritesNeverInterleave) {
    test::TempInstanceRoot root;
    PipeServer server("\\\\.\\pipe\\VeltrixService");
    SystemError error;
    ASSERT_TRUE(server.createInstance(error)) << error.text();
    PipeConnection client = connectToPipe(server.pipeName(), error);
    ASSERT_TRUE(client.isOpen()) << error.text();
    ASSERT_EQ(server.connectClient(error), PipeConnectStatus::Connected);

    constexpr int kThreads = 4;
    constexpr int kMessages = 200;
    constexpr std::size_t kSize = 5000;  // larger than one atomic socket write is guaranteed
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&client, t] {
            const std::string message(kSize, static_cast<char>('a' + t));
            for (int i = 0; i < kMessages; ++i) client.write(message);
        });
    }
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (received.size() < kThreads * kMessages * kSize && std::chrono::steady_clock::now() < deadline) {
        char buffer[65536];
        const auto result = server.client().read(buffer, sizeof buffer);
        received.append(buffer, result.bytes);
        if (result.bytes == 0) std::this_thread::sleep_for(1ms);
    }
    for (auto& writer : writers) writer.join();
    ASSERT_EQ(received.size(), kThreads * kMessages * kSize);
    for (std::size_t at = 0; at < received.size(); at += kSize) {
        ASSERT_EQ(std::string_view(received).substr(at, kSize), std::string(kSize, received[at])) << "at " << at;
    }
}

TEST(PipeServerTest, ASecondServerOfTheSameInstanceCannotTakeThePipe) {
    test::TempInstanceRoot root;
    PipeServer first("\\\\.\\pipe\\VeltrixService");
    PipeServer second("\\\\.\\pipe\\VeltrixService");
    SystemError error;
    ASSERT_TRUE(first.createInstance(error));
    EXPECT_FALSE(second.createInstance(error));
    EXPECT_EQ(error.code, EWOULDBLOCK);
}

TEST(ProcessInfoTest, AdministratorsAreRootAndMembersOfTheInstanceGroup) {
    test::TempInstanceRoot root;
    const group* own = getgrgid(getgid());
    ASSERT_NE(own, nullptr);
    std::ofstream(root.path() / "instance.ini") << "[service]\nadminGroup=" << own->gr_name << "\n";
    ASSERT_EQ(process::administratorsGroupId(), std::optional<gid_t>(own->gr_gid));

    process::Credentials member{1000, 5555, {own->gr_gid}};
    process::Credentials stranger{1000, 5555, {5556}};
    process::Credentials superuser{0, 5555, {}};
    EXPECT_TRUE(process::isAdministrator(member));
    EXPECT_FALSE(process::isAdministrator(stranger));
    EXPECT_TRUE(process::isAdministrator(superuser));

    std::ofstream(root.path() / "instance.ini") << "[service]\nadminGroup=no-such-group-here\n";
    EXPECT_FALSE(process::isAdministrator(member));
}

TEST(ProcessInfoTest, OwnProcessStartedBeforeNowAndRunsItsProgram) {
    SystemError error;
    const auto self = process::ProcessHandle::open(getpid(), error);
    ASSERT_TRUE(self.isValid());
    const auto started = self.startTime(error);
    ASSERT_TRUE(started.has_value());
    EXPECT_LT(*started, process::now());
    EXPECT_EQ(self.imagePath(error), std::optional(process::ownProgramPath()));
}

}  // namespace
}  // namespace veltrix::platform
