#include "support/RemoteSessionRig.h"

#include <QString>

#include <chrono>
#include <fstream>

#include "support/RunningBackend.h"
#include "support/WaitUntil.h"

namespace veltrix::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr char kClientProgramName[] = "VeltrixClient";
constexpr char kServiceProgramName[] = "VeltrixService";

void installProgram(const fs::path& from, const fs::path& to) {
    fs::remove(to);
    fs::copy_file(from, to);
}

}  // namespace

RemoteSessionRig::RemoteSessionRig(const fs::path& folder, RemoteSessionPrograms programs,
                                   const QStringList& backendArguments)
    : programs_(std::move(programs)) {
    viewer.prepare(folder / "a", "c0c1c2c3c4c5c6c7c8c9cacbcccdcecf");
    target.prepare(folder / "b", "d0d1d2d3d4d5d6d7d8d9dadbdcdddedf");
    // Nobody logged on yet on B: its service starts no agent.
    std::ofstream(target.root / "run" / "sessions.json") << R"({"sessions": []})";
    QStringList arguments{"--no-turn", "--instance", QString::fromStdString(viewer.root.string()), "--instance",
                          QString::fromStdString(target.root.string())};
    backend_ = std::make_unique<RunningBackend>(arguments + backendArguments);

    const fs::path programsA = folder / "programs-a";
    const fs::path programsB = folder / "programs-b";
    for (const fs::path& programsFolder : {programsA, programsB}) {
        fs::create_directories(programsFolder);
        installProgram(programs_.service, programsFolder / kServiceProgramName);
        installProgram(programs_.probe, programsFolder / kClientProgramName);
    }
    viewerClient_ = programsA / kClientProgramName;
    targetClient_ = programsB / kClientProgramName;
}

RemoteSessionRig::~RemoteSessionRig() { stopServices(); }

bool RemoteSessionRig::start(std::string& failure) {
    if (!backend_->start()) {
        failure = "the backend did not start: " + backend_->output().toStdString();
        return false;
    }
    viewer.start(viewerClient_.parent_path() / kServiceProgramName);
    target.start(targetClient_.parent_path() / kServiceProgramName, true);
    if (!viewer.service.waitForStarted(5000) || !target.service.waitForStarted(5000)) {
        failure = "a service did not start";
        return false;
    }
    IpcMessage stateA, stateB;
    auto online = [](const fs::path& client, const ServiceDevice& device, IpcMessage& state) {
        state = talk(client, device, {R"({"type":"GET_STATE"})"}, 300);
        // Signaling up too: a request sent before the partner's signaling log-in finds it unavailable.
        return state.is_object() && state.value("authenticated", false) && !state.value("client_id", "").empty() &&
               device.log().find("Signaling auth confirmed") != std::string::npos;
    };
    if (!waitUntil([&] { return online(viewerClient_, viewer, stateA) && online(targetClient_, target, stateB); },
                   60s)) {
        failure = "the devices did not come online\n" + viewer.log() + target.log();
        return false;
    }
    targetId = stateB.value("client_id", "");
    targetPassword = stateB.value("session_password", "");
    return true;
}

void RemoteSessionRig::giveTargetItsSession(const std::string& display, bool userLoggedOn) {
    installProgram(programs_.client, targetClient_);
    if (userLoggedOn) target.logOn(display);
    else target.showLogOnScreen(display);
}

fs::path RemoteSessionRig::giveViewerTheRealClient() {
    const auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    waitUntil(
        [&] {
            const std::string log = viewer.log();
            return count(log, "Agent disconnected") >= count(log, "Agent connected to pipe");
        },
        10s);
    std::ofstream(viewer.root / "instance.ini", std::ios::app)
        << "[service]\ncontrol_program=" << (viewer.root / "no-service-manager").string() << "\n";
    installProgram(programs_.client, viewerClient_);
    return viewerClient_;
}

void RemoteSessionRig::connect() {
    const IpcMessage message{{"type", "CONNECT"}, {"target_id", targetId}, {"password", targetPassword}};
    talkToViewer({QString::fromStdString(message.dump())}, 200);
}

IpcMessage RemoteSessionRig::talkToViewer(const QStringList& messages, int readMs) {
    return talk(viewerClient_, viewer, messages, readMs);
}

IpcMessage RemoteSessionRig::talkToTarget(const QStringList& messages, int readMs) {
    return talk(targetClient_, target, messages, readMs);
}

std::string RemoteSessionRig::viewerSessionState(IpcMessage* state) {
    const IpcMessage latest = talkToViewer({R"({"type":"GET_STATE"})"}, 300);
    if (state) *state = latest;
    return latest.is_object() ? latest.value("session_state", "") : std::string();
}

long RemoteSessionRig::targetAgentPid() const {
    // "Launched agent (PID n) ..." or "Launched headless SYSTEM agent (PID n) ...".
    const std::string log = target.log();
    const auto at = log.find("agent (PID ");
    if (at == std::string::npos) return 0;
    return std::strtol(log.c_str() + at + 11, nullptr, 10);
}

void RemoteSessionRig::stopServices() {
    viewer.stop();
    target.stop();
}

}  // namespace veltrix::test
