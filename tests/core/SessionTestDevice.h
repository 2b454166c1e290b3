#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/ApiClient.h"
#include "core/SessionManager.h"
#include "support/RunningBackend.h"
#include "support/SessionManagerTestPeer.h"
#include "support/WaitUntil.h"
#include "transport/ITransport.h"
#include "transport/SignalingClient.h"
#include "transport/TransportManager.h"

namespace veltrix {

namespace test {

// The instance file of a session test: the backend's API and CA, peer to peer on loopback only,
// and with `relayOnly` no peer-to-peer candidates at all (no TURN runs), so the relay carries the
// session.
inline void writeSessionInstanceConfig(const std::filesystem::path& root, const RunningBackend& backend,
                                       bool relayOnly) {
    std::ofstream ini(root / "instance.ini");
    ini << "[backend]\napi_url=https://127.0.0.1:" << backend.apiPort() << "\n\n[tls]\nextra_ca_file="
        << backend.caFile().string() << "\n\n[stun]\nhost=\n\n[p2p]\nlocalAddresses=127.0.0.1\n";
    if (relayOnly) ini << "iceTransportPolicy=relay\n";
}

// One device of a session test: its own REST client, signaling socket and session manager, as
// the service wires them, registered with the local backend and holding signaling. A Target
// accepts the backend's auto-accept requests.
struct SessionTestDevice {
    ApiClient api;
    SignalingClient signaling;
    SessionManager manager{&api, &signaling};

    std::vector<SessionState> states;
    QStringList errors;
    int authFailures = 0;
    std::vector<std::shared_ptr<DecodedFrame>> frames;
    int keyFrameRequests = 0;

    explicit SessionTestDevice(const QUrl& apiUrl) : api(apiUrl) {
        QObject::connect(&manager, &SessionManager::stateChanged, [this](SessionState s) { states.push_back(s); });
        QObject::connect(&manager, &SessionManager::sessionError, [this](const QString& e) { errors << e; });
        QObject::connect(&manager, &SessionManager::sessionAuthFailed, [this] { ++authFailures; });
        QObject::connect(&manager, &SessionManager::frameDecoded,
                         [this](std::shared_ptr<DecodedFrame> frame) { frames.push_back(std::move(frame)); });
        QObject::connect(&manager, &SessionManager::keyFrameRequested, [this] { ++keyFrameRequests; });
    }

    // The manager ends its session when destroyed; nothing of this device or of a test's
    // locals hears of it any more.
    ~SessionTestDevice() { QObject::disconnect(&manager, nullptr, nullptr, nullptr); }
    SessionTestDevice(const SessionTestDevice&) = delete;
    SessionTestDevice& operator=(const SessionTestDevice&) = delete;

    // Registers, opens signaling and fetches the relay list; false when any step fails.
    bool bringOnline(const QString& name, const QUrl& apiUrl) {
        api.autoRegister(name, "1.0.0", "fingerprint-" + name, "secret-" + name);
        if (!waitUntil([&] { return !api.clientId().isEmpty(); }, std::chrono::seconds(20))) return false;
        bool up = false;
        QObject::connect(&signaling, &SignalingClient::connected, [&up] { up = true; });
        signaling.connectToServer(apiUrl, api.clientId(), api.token());
        if (!waitUntil([&] { return up; }, std::chrono::seconds(20))) return false;
        manager.fetchRelayCandidates();
        return waitUntil([&] { return manager.relayCandidates().is_array(); }, std::chrono::seconds(20));
    }

    void acceptAutoAccepts() {
        QObject::connect(&signaling, &SignalingClient::sessionAutoAccept, &manager,
                         &SessionManager::acceptHandshakeRequest);
    }

    QString clientId() const { return api.clientId(); }
    SessionState state() const { return manager.state(); }
    bool reached(SessionState s) const { return std::find(states.begin(), states.end(), s) != states.end(); }
};

}  // namespace test
}  // namespace veltrix
