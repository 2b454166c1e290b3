#pragma once

#include "transport/IceCandidate.h"
#include "transport/NetworkThread.h"
#include "transport/TurnTlsTunnel.h"
#include "transport/TurnServerConfig.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct _NiceAgent NiceAgent;

namespace veltrix {

// ICE for one peer connection through libnice: one stream, one component, UDP only. It gathers
// host candidates (from the given local addresses, or all), a server-reflexive one through the
// STUN server and a relayed one through the TURN server over TLS (TurnTlsTunnel), reports each as it comes
// (trickle), takes the peer's credentials and candidates, runs the connectivity checks, and then
// carries datagrams on the selected pair. Consent freshness keeps checking the pair while it is
// used, as WebRTC peers expect.
//
// Lives on the network thread: libnice runs on its GLib context, so its callbacks (and this
// class's) arrive there. A callback must not destroy the transport.
class IceTransport {
public:
    enum class State { New, Checking, Connected, Failed };

    struct Settings {
        bool controlling = false;
        // Host names or literal addresses, all on stunPort. libnice takes one STUN server: the
        // first is used.
        std::vector<std::string> stunServers;
        int stunPort = 19302;
        // Offered only with a password; always TURN over TLS.
        TurnServerConfig turn;
        // Addresses to gather host candidates from; empty: every interface.
        std::vector<std::string> localAddresses;
        // Only relayed candidates.
        bool relayOnly = false;
    };

    struct Callbacks {
        std::function<void(const IceCandidate&)> localCandidate;
        std::function<void()> gatheringDone;
        std::function<void(State)> stateChanged;
        // One datagram from the peer that is not STUN.
        std::function<void(const std::uint8_t*, std::size_t)> datagram;
    };

    IceTransport(Settings settings, Callbacks callbacks);
    ~IceTransport();
    IceTransport(const IceTransport&) = delete;
    IceTransport& operator=(const IceTransport&) = delete;

    // Resolves the servers' names, then gathers. Candidates arrive through localCandidate.
    void gather();
    const std::string& localUfrag() const { return localUfrag_; }
    const std::string& localPwd() const { return localPwd_; }

    void setRemoteCredentials(const std::string& ufrag, const std::string& pwd);
    void addRemoteCandidate(const IceCandidate& candidate);
    // The peer will send no more candidates.
    void remoteGatheringDone();

    // Queues one datagram for the selected pair. What is queued during one turn of the network
    // thread's loop goes out together at its end, in one system call. False when not connected.
    bool send(const std::uint8_t* data, std::size_t size);
    State state() const { return state_; }

private:
    struct Lookup;

    void resolve(const std::string& host);
    void onResolved(const std::string& address);
    void abandonLookups();
    void startGathering();
    void enlargeSocketBuffers();
    void setState(State state);

    static void onCandidate(NiceAgent*, void* candidate, void* data);
    static void onGatheringDone(NiceAgent*, unsigned stream, void* data);
    static void onComponentState(NiceAgent*, unsigned stream, unsigned component, unsigned state, void* data);
    static void onReceive(NiceAgent*, unsigned stream, unsigned component, unsigned size, char* buffer, void* data);
    static int onFlush(GSource* source, GSourceFunc, void* data);
    void flush();

    Settings settings_;
    Callbacks callbacks_;
    NiceAgent* agent_ = nullptr;
    unsigned stream_ = 0;
    State state_ = State::New;
    std::string localUfrag_;
    std::string localPwd_;
    std::string stunAddress_;
    std::unique_ptr<TurnTlsTunnel> turnTunnel_;
    int pendingLookups_ = 0;
    bool gatheringStarted_ = false;
    std::vector<std::shared_ptr<Lookup>> lookups_;
    NetworkThread::Timer resolveLimit_;
    // Datagrams waiting for the end of the loop's turn (buffers kept for reuse).
    std::vector<std::vector<std::uint8_t>> outgoing_;
    std::size_t outgoingCount_ = 0;
    GSource* flushSource_ = nullptr;
};

}  // namespace veltrix
