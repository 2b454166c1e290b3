#pragma once

#include <string>
#include <vector>

#include "agent/ServiceIpcClient.h"
#include "platform/PipeServer.h"
#include "shared/IpcFrameReader.h"
#include "shared/IpcMessage.h"

namespace veltrix::test {

// A test server on the real pipe with a pipe client connected to it, recording what the client
// sends; for dialogs that talk to the service. Needs a TempInstanceRoot that outlives it.
class RecordingPipeServer {
public:
    RecordingPipeServer();

    // Listens and connects the client; false with the reason in `failure`.
    bool start(std::string& failure);

    ServiceIpcClient& client() { return client_; }
    // Every message the client sent since the last call.
    std::vector<IpcMessage> sent();
    // The "type" of each message sent since the last call, in order.
    std::vector<std::string> sentTypes();
    // Sends the message to the client as the service would and lets the client read it; false
    // when the pipe refused it.
    bool deliver(const IpcMessage& message);
    // Drops the client's connection as a stopping service would and lets the client notice.
    void dropClient();

private:
    platform::PipeServer server_;
    ServiceIpcClient client_;
    IpcFrameReader reader_{1 << 20};
};

}  // namespace veltrix::test
