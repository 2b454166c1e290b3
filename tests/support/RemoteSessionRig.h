#pragma once

#include <QStringList>

#include <filesystem>
#include <memory>
#include <string>

#include "shared/IpcMessage.h"
#include "support/ServiceDevice.h"

namespace veltrix::test {

class RunningBackend;

// The programs of a remote session run: the service, the pipe stand-in client and the real client.
struct RemoteSessionPrograms {
    std::filesystem::path service;
    std::filesystem::path probe;
    std::filesystem::path client;
};

// One device viewing and controlling another on this machine, against a private local backend
// (no TURN): device A, the viewer, runs its service in console mode with the pipe stand-in as its
// client; device B, the target, runs its service in service mode. Each has its own programs
// folder, since a service admits only the client program beside it. B starts with nobody logged
// on and the stand-in as its client too (so its ID and password can be read); then it gets a
// session on an X display and the real client, which it launches as its agent when A connects.
class RemoteSessionRig {
public:
    // Devices and programs under `folder`; `backendArguments` go to scripts/backend besides the
    // two instances.
    RemoteSessionRig(const std::filesystem::path& folder, RemoteSessionPrograms programs,
                     const QStringList& backendArguments = {});
    ~RemoteSessionRig();
    RemoteSessionRig(const RemoteSessionRig&) = delete;
    RemoteSessionRig& operator=(const RemoteSessionRig&) = delete;

    // Starts the backend and both services and waits until both are online with signaling up;
    // `failure` tells what went wrong when it answers false.
    bool start(std::string& failure);

    // B's folder gets the real client program, and B's display its session: a logged-on user, or
    // nobody logged on (the log-on screen, for the headless agent).
    void giveTargetItsSession(const std::string& display, bool userLoggedOn);

    // A's folder gets the real client program in place of the stand-in, once the stand-in has left
    // A's pipe; from then on the real client holds that pipe and talkToViewer no longer gets
    // through. The client leaves A's service to the console (no service manager is asked).
    // Returns the program to start (ServiceDevice::startClient).
    std::filesystem::path giveViewerTheRealClient();

    // CONNECT from A with B's ID and session password.
    void connect();

    // Messages to A through its stand-in client; the last STATE, or null.
    IpcMessage talkToViewer(const QStringList& messages, int readMs = 500);
    // Messages to B through its stand-in client (before giveTargetItsSession only).
    IpcMessage talkToTarget(const QStringList& messages, int readMs = 500);
    // A's session state ("Connected", ...), empty when A did not answer; `state` gets the STATE.
    std::string viewerSessionState(IpcMessage* state = nullptr);

    // The process id of the agent B launched, from B's log; 0 before one was launched.
    long targetAgentPid() const;

    void stopServices();

    ServiceDevice viewer;
    ServiceDevice target;
    std::string targetId;
    std::string targetPassword;

private:
    RemoteSessionPrograms programs_;
    std::filesystem::path viewerClient_;
    std::filesystem::path targetClient_;
    std::unique_ptr<RunningBackend> backend_;
};

}  // namespace veltrix::test
