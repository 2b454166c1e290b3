// A minimal pipe client for the service's end-to-end tests. Copied next to the service program as
// "VeltrixClient" it passes the service's client check; copied elsewhere it must be refused.
//
//   veltrix_pipe_probe [--send JSON]... [--repeat N] [--read-ms N] [--hold-ms N]
//
// Connects (retrying for up to 3 s), sends each JSON text as one framed message (the whole list N
// times with --repeat), then prints every message received within N ms (default 500) as one line
// of compact JSON. Prints "closed" when the service ends the connection. With --hold-ms it instead
// stays connected for that long without reading a byte (a client that stops reading). Exit code 0
// when connected, 2 when it could not connect.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/PipeConnection.h"
#include "shared/IpcFrameReader.h"
#include "shared/IpcMessage.h"
#include "shared/JsonFields.h"

using namespace veltrix;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    std::vector<std::string> messages;
    int readMs = 500;
    int repeat = 1;
    int holdMs = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--send") == 0) messages.emplace_back(argv[i + 1]);
        else if (std::strcmp(argv[i], "--read-ms") == 0) readMs = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--repeat") == 0) repeat = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--hold-ms") == 0) holdMs = std::atoi(argv[i + 1]);
    }

    platform::PipeConnection pipe;
    const auto connectDeadline = Clock::now() + std::chrono::seconds(3);
    while (!pipe.isOpen()) {
        platform::SystemError error;
        pipe = platform::connectToPipe("\\\\.\\pipe\\VeltrixService", error);
        if (pipe.isOpen()) break;
        if (Clock::now() > connectDeadline) {
            std::fprintf(stderr, "connect failed: %s\n", error.text().c_str());
            return 2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("connected\n");
    std::fflush(stdout);

    for (int round = 0; round < repeat; ++round) {
        for (const auto& text : messages) {
            const std::string frame = encodeIpcFrame(IpcMessage::parse(text));
            pipe.write(frame);
        }
    }
    if (holdMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
        return 0;
    }

    IpcFrameReader reader(64 * 1024 * 1024);
    const auto readDeadline = Clock::now() + std::chrono::milliseconds(readMs);
    while (Clock::now() < readDeadline) {
        char buffer[65536];
        const auto result = pipe.read(buffer, sizeof buffer);
        if (result.status == platform::PipeStatus::Closed) {
            std::printf("closed\n");
            break;
        }
        if (result.bytes == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        reader.append(buffer, result.bytes);
        IpcMessage message;
        std::string error;
        while (reader.next(message, error) == IpcFrameReader::Status::Message) {
            std::printf("%s\n", json::toText(message).c_str());
        }
    }
    std::fflush(stdout);
    return 0;
}
