#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "shared/IpcMessage.h"
#include "shared/SharedFrameBuffer.h"
#include "shared/SharedFrameReader.h"
#include "support/TextFile.h"

namespace veltrix::test {

// One device of the end-to-end runs: its instance folder and its service program, run as a
// separate process in console mode or as if the service manager had started it.
struct ServiceDevice {
    std::filesystem::path root;
    QProcess service;

    // The instance: its own machine identity, peer to peer on loopback without STUN, and one
    // logged-on user, so console mode admits the partner's request.
    void prepare(const std::filesystem::path& folder, const std::string& machineId);

    // The session stand-in: one active console session of this account, on `display` if given.
    void logOn(const std::string& display = {});

    // Nobody logged on: the console session is at the log-on screen, on `display`, whose input
    // desktop is the secure one.
    void showLogOnScreen(const std::string& display);

    void start(const std::filesystem::path& program, bool serviceMode = false);
    // The client program at `program` as this device's user starts it, on the X display `display`.
    void startClient(QProcess& client, const std::filesystem::path& program, const std::string& display) const;
    // SIGTERM, then up to 10 s for the service to end.
    void stop();

    std::string log() const;
    // Every other log under the instance (the agents' logs), each headed by its path.
    std::string agentLogs() const;
};

// The pipe stand-in client (veltrix_pipe_probe copied beside a service as its client program):
// started on `device`'s pipe, it sends `messages`, then prints what it reads for `readMs`.
void startProbe(QProcess& probe, const std::filesystem::path& client, const ServiceDevice& device,
                const QStringList& messages, int readMs);

// The messages a probe printed.
std::vector<IpcMessage> messagesOf(const QByteArray& output);

// The first message of `type` in `messages`, or null.
IpcMessage firstOf(const std::vector<IpcMessage>& messages, const std::string& type);

// Sends `messages` through the probe on `device`'s pipe; all it read.
std::vector<IpcMessage> exchange(const std::filesystem::path& client, const ServiceDevice& device,
                                 const QStringList& messages, int readMs);

// Sends `messages` through the probe on `device`'s pipe; the last STATE it read, or null.
IpcMessage talk(const std::filesystem::path& client, const ServiceDevice& device, const QStringList& messages,
                int readMs = 500);

// A copy of the latest picture in an instance's decoded-frame section.
struct DecodedPicture {
    SharedFrameInfo info;
    std::vector<std::uint8_t> planes;
    // The luma at fractions of the picture's size; -1 outside the planes.
    int lumaAt(double fx, double fy) const;
};

// Maps a section of the instance at `instance` (another one than this process's): by default its
// decoded-frame section.
bool openFrameSection(const std::filesystem::path& instance, SharedFrameBuffer& section,
                      const char* name = kFrameSectionName);

// The decoded-frame section of the instance at `instance`, once it holds a frame.
std::optional<DecodedPicture> readDecodedFrame(const std::filesystem::path& instance);

}  // namespace veltrix::test
