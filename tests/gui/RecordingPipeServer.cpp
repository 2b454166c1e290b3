#include "RecordingPipeServer.h"

namespace veltrix::test {

RecordingPipeServer::RecordingPipeServer() : server_(ServiceIpcClient::kPipeName) {}

bool RecordingPipeServer::start(std::string& failure) {
    platform::SystemError error;
    if (!server_.createInstance(error)) {
        failure = "pipe instance: " + error.text();
        return false;
    }
    if (!client_.connectToService()) {
        failure = "the client did not connect";
        return false;
    }
    if (server_.connectClient(error) != platform::PipeConnectStatus::Connected) {
        failure = "accept: " + error.text();
        return false;
    }
    return true;
}

std::vector<IpcMessage> RecordingPipeServer::sent() {
    char buffer[65536];
    for (;;) {
        const auto result = server_.client().read(buffer, sizeof buffer);
        if (result.status != platform::PipeStatus::Ok || result.bytes == 0) break;
        reader_.append(buffer, result.bytes);
    }
    std::vector<IpcMessage> messages;
    IpcMessage message;
    std::string error;
    while (reader_.next(message, error) == IpcFrameReader::Status::Message) messages.push_back(message);
    return messages;
}

std::vector<std::string> RecordingPipeServer::sentTypes() {
    std::vector<std::string> types;
    for (const auto& message : sent()) types.push_back(message.value("type", ""));
    return types;
}

bool RecordingPipeServer::deliver(const IpcMessage& message) {
    if (server_.client().write(encodeIpcFrame(message)).status != platform::PipeStatus::Ok) return false;
    client_.onPipePoll();
    return true;
}

void RecordingPipeServer::dropClient() {
    server_.disconnectClient();
    client_.onPipePoll();
}

}  // namespace veltrix::test
