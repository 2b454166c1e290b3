#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/PipeConnection.h"
#include "platform/ProcessInfo.h"
#include "service/ServiceIpcServer.h"
#include "shared/IpcFrameReader.h"
#include "shared/IpcMessage.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"

// The pipe server of a fresh instance, with clients in this test process (whose program file the
// server is told to expect as the client program), and the waits its tests share.
namespace veltrix {

using namespace std::chrono_literals;
using platform::PipeConnection;
using platform::PipeStatus;
using platform::SystemError;

// A pipe client in this test process: its program file is the test binary, which the server is
// told to expect as the client program.
inline PipeConnection connectClient() {
    SystemError error;
    return platform::connectToPipe(ServiceIpcServer::kPipeName, error);
}

inline std::string frameOf(const std::string& text) {
    std::string frame(kIpcLengthPrefixBytes, '\0');
    encodeIpcLength(static_cast<std::uint32_t>(text.size()), frame.data());
    return frame + text;
}

// A JSON object of exactly `size` bytes of text.
inline std::string messageOfSize(std::size_t size) {
    const std::string head = R"({"type":"PAD","pad":")";
    const std::string tail = R"("})";
    return head + std::string(size - head.size() - tail.size(), 'a') + tail;
}

// Reads messages from `connection` until `count` of `type` ("*": any type) have arrived (or 15 s
// pass: only a failing case waits that long, and megabytes of replies take seconds under the
// sanitizers on a loaded machine).
inline bool awaitMessage(PipeConnection& connection, const std::string& type, std::string* seen = nullptr, int count = 1) {
    IpcFrameReader reader(0x4000000);
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
        char buffer[65536];
        const auto result = connection.read(buffer, sizeof buffer);
        if (result.status == PipeStatus::Closed) return false;
        reader.append(buffer, result.bytes);
        IpcMessage message;
        std::string error;
        while (reader.next(message, error) == IpcFrameReader::Status::Message) {
            if (seen) *seen += message.dump() + "\n";
            if ((type == "*" || message.value("type", "") == type) && --count == 0) return true;
        }
        if (result.bytes == 0) std::this_thread::sleep_for(2ms);
    }
    return false;
}

class ServiceIpcServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_.setClientProgramPath(platform::process::ownProgramPath());
        QObject::connect(&server_, &ServiceIpcServer::commandReceived,
                         [this](const nlohmann::json& command) { received_.push_back(command); });
        QObject::connect(&server_, &ServiceIpcServer::agentConnected, [this] { ++connects_; });
        QObject::connect(&server_, &ServiceIpcServer::agentDisconnected, [this] { ++disconnects_; });
        server_.start();
    }

    // Runs the server's poll until `done` holds or `limit` passes.
    bool pollUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 2s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            server_.pollPipe();
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    void pollFor(std::chrono::milliseconds duration) {
        const auto end = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < end) {
            server_.pollPipe();
            std::this_thread::sleep_for(1ms);
        }
    }

    PipeConnection connectAgent() {
        PipeConnection client = connectClient();
        EXPECT_TRUE(client.isOpen());
        EXPECT_TRUE(pollUntil([this] { return server_.isAgentConnected(); }));
        return client;
    }

    // The next message of `type` the client receives (others, such as STATE, are skipped).
    std::optional<IpcMessage> receive(PipeConnection& client, const std::string& type) {
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (std::chrono::steady_clock::now() < deadline) {
            IpcMessage message;
            std::string error;
            while (clientReader_.next(message, error) == IpcFrameReader::Status::Message) {
                if (message.is_object() && message.value("type", "") == type) return message;
            }
            char buffer[65536];
            const auto result = client.read(buffer, sizeof buffer);
            if (result.status == PipeStatus::Closed) return std::nullopt;
            if (result.bytes > 0) clientReader_.append(buffer, result.bytes);
            else std::this_thread::sleep_for(1ms);
        }
        return std::nullopt;
    }

    // Whether the server has closed the client's connection (reading any bytes first).
    static bool closedByServer(PipeConnection& client, std::size_t* bytesSeen = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (std::chrono::steady_clock::now() < deadline) {
            char buffer[65536];
            const auto result = client.read(buffer, sizeof buffer);
            if (result.status == PipeStatus::Closed) return true;
            if (bytesSeen) *bytesSeen += result.bytes;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    test::TempInstanceRoot root_;
    test::LogCapture logs_;
    ServiceIpcServer server_{nullptr, nullptr, nullptr, nullptr, nullptr};
    std::vector<nlohmann::json> received_;
    int connects_ = 0;
    int disconnects_ = 0;
    IpcFrameReader clientReader_{64 * 1024 * 1024};
};

}  // namespace veltrix
