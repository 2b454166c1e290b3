#include "transport/IceTransport.h"

#include "transport/NetworkThread.h"

#include <gio/gio.h>
#include <nice/agent.h>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>
#include <sys/socket.h>

namespace veltrix {

namespace {

constexpr guint kComponent = 1;
// Bytes of datagrams the system may hold for each ICE socket, each way.
constexpr gint kSocketBuffer = 4 * 1024 * 1024;
// The most datagrams sent in one system call.
constexpr std::size_t kMaxBatch = 64;

GSourceFuncs g_flushFuncs = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
// How long gathering waits for the servers' names to resolve before it goes on without them.
constexpr std::chrono::milliseconds kResolveLimit{3000};

bool isLiteralAddress(const std::string& host) {
    GInetAddress* address = g_inet_address_new_from_string(host.c_str());
    if (!address) return false;
    g_object_unref(address);
    return true;
}

std::optional<IceCandidate> toIceCandidate(const NiceCandidate& nice) {
    if (nice.transport != NICE_CANDIDATE_TRANSPORT_UDP) return std::nullopt;
    IceCandidate candidate;
    switch (nice.type) {
    case NICE_CANDIDATE_TYPE_HOST:
        candidate.type = IceCandidate::Type::Host;
        break;
    case NICE_CANDIDATE_TYPE_SERVER_REFLEXIVE:
        candidate.type = IceCandidate::Type::ServerReflexive;
        break;
    case NICE_CANDIDATE_TYPE_PEER_REFLEXIVE:
        candidate.type = IceCandidate::Type::PeerReflexive;
        break;
    case NICE_CANDIDATE_TYPE_RELAYED:
        candidate.type = IceCandidate::Type::Relayed;
        break;
    }
    char address[NICE_ADDRESS_STRING_LEN];
    nice_address_to_string(&nice.addr, address);
    candidate.address = address;
    candidate.port = static_cast<std::uint16_t>(nice_address_get_port(&nice.addr));
    candidate.priority = nice.priority;
    candidate.foundation = nice.foundation;
    if (candidate.type != IceCandidate::Type::Host && nice_address_is_valid(&nice.base_addr)) {
        nice_address_to_string(&nice.base_addr, address);
        candidate.relatedAddress = address;
        candidate.relatedPort = static_cast<std::uint16_t>(nice_address_get_port(&nice.base_addr));
    }
    return candidate;
}

NiceCandidateType niceType(IceCandidate::Type type) {
    switch (type) {
    case IceCandidate::Type::Host:
        return NICE_CANDIDATE_TYPE_HOST;
    case IceCandidate::Type::ServerReflexive:
        return NICE_CANDIDATE_TYPE_SERVER_REFLEXIVE;
    case IceCandidate::Type::PeerReflexive:
        return NICE_CANDIDATE_TYPE_PEER_REFLEXIVE;
    case IceCandidate::Type::Relayed:
        return NICE_CANDIDATE_TYPE_RELAYED;
    }
    return NICE_CANDIDATE_TYPE_HOST;
}

}  // namespace

// A name being resolved. The resolver calls back on the network thread even after the transport
// is gone, so the callback holds this, not the transport.
struct IceTransport::Lookup {
    IceTransport* owner = nullptr;
    GCancellable* cancellable = g_cancellable_new();
    ~Lookup() { g_object_unref(cancellable); }
};

IceTransport::IceTransport(Settings settings, Callbacks callbacks)
    : settings_(std::move(settings)), callbacks_(std::move(callbacks)), resolveLimit_([this] { abandonLookups(); }) {
    const auto options = static_cast<NiceAgentOption>(NICE_AGENT_OPTION_ICE_TRICKLE | NICE_AGENT_OPTION_REGULAR_NOMINATION |
                                                      NICE_AGENT_OPTION_CONSENT_FRESHNESS);
    agent_ = nice_agent_new_full(NetworkThread::current()->context(), NICE_COMPATIBILITY_RFC5245, options);
    // No UPnP (it would announce itself on the local network) and no ICE-TCP: WebRTC peers take
    // UDP candidates.
    g_object_set(agent_, "controlling-mode", settings_.controlling ? TRUE : FALSE, "upnp", FALSE, "ice-tcp", FALSE,
                 "ice-udp", TRUE, "force-relay", settings_.relayOnly ? TRUE : FALSE, nullptr);
    stream_ = nice_agent_add_stream(agent_, 1);
    nice_agent_set_stream_name(agent_, stream_, "application");
    gchar* ufrag = nullptr;
    gchar* pwd = nullptr;
    nice_agent_get_local_credentials(agent_, stream_, &ufrag, &pwd);
    localUfrag_ = ufrag ? ufrag : "";
    localPwd_ = pwd ? pwd : "";
    g_free(ufrag);
    g_free(pwd);
    g_signal_connect(agent_, "new-candidate-full", G_CALLBACK(&IceTransport::onCandidate), this);
    g_signal_connect(agent_, "candidate-gathering-done", G_CALLBACK(&IceTransport::onGatheringDone), this);
    g_signal_connect(agent_, "component-state-changed", G_CALLBACK(&IceTransport::onComponentState), this);
    nice_agent_attach_recv(agent_, stream_, kComponent, NetworkThread::current()->context(), &IceTransport::onReceive,
                           this);
    g_flushFuncs.dispatch = &IceTransport::onFlush;
    flushSource_ = g_source_new(&g_flushFuncs, sizeof(GSource));
    g_source_set_callback(flushSource_, nullptr, this, nullptr);
    g_source_set_ready_time(flushSource_, -1);
    g_source_attach(flushSource_, NetworkThread::current()->context());
    for (const std::string& text : settings_.localAddresses) {
        NiceAddress address;
        nice_address_init(&address);
        if (nice_address_set_from_string(&address, text.c_str()))
            nice_agent_add_local_address(agent_, &address);
        else
            spdlog::warn("P2PTransport: local address {} is not an IP address, not used", text);
    }
}

IceTransport::~IceTransport() {
    flush();  // the last datagrams (SCTP's ABORT, DTLS's close_notify) still go out
    g_source_destroy(flushSource_);
    g_source_unref(flushSource_);
    for (const auto& lookup : lookups_) {
        lookup->owner = nullptr;
        g_cancellable_cancel(lookup->cancellable);
    }
    nice_agent_attach_recv(agent_, stream_, kComponent, NetworkThread::current()->context(), nullptr, nullptr);
    g_signal_handlers_disconnect_by_data(agent_, this);
    g_object_unref(agent_);
}

void IceTransport::gather() {
    if (gatheringStarted_ || pendingLookups_ > 0) return;
    if (!settings_.stunServers.empty()) {
        for (std::size_t i = 1; i < settings_.stunServers.size(); ++i)
            spdlog::info("P2PTransport: STUN server {}:{} not used (libnice takes one STUN server)",
                         settings_.stunServers[i], settings_.stunPort);
        resolve(settings_.stunServers.front());
    }
    const TurnServerConfig& turn = settings_.turn;
    if (turn.password.empty())
        spdlog::info("P2PTransport: no TURN server offered: no TURN password set");
    else if (turn.host.empty())
        spdlog::warn("P2PTransport: no TURN server offered: no TURN host configured");
    else
        turnTunnel_ = std::make_unique<TurnTlsTunnel>(turn.host, static_cast<std::uint16_t>(turn.port));
    if (pendingLookups_ == 0) {
        startGathering();
        return;
    }
    resolveLimit_.start(kResolveLimit);
}

void IceTransport::abandonLookups() {
    if (pendingLookups_ == 0) return;
    spdlog::warn("P2PTransport: STUN server name not resolved in {} ms, gathering without it",
                 kResolveLimit.count());
    pendingLookups_ = 0;
    startGathering();
}

void IceTransport::resolve(const std::string& host) {
    if (isLiteralAddress(host)) {
        stunAddress_ = host;
        return;
    }
    auto lookup = std::make_shared<Lookup>();
    lookup->owner = this;
    lookups_.push_back(lookup);
    ++pendingLookups_;
    GResolver* resolver = g_resolver_get_default();
    g_resolver_lookup_by_name_async(
        resolver, host.c_str(), lookup->cancellable,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::shared_ptr<Lookup>> held(static_cast<std::shared_ptr<Lookup>*>(data));
            GError* error = nullptr;
            GList* addresses = g_resolver_lookup_by_name_finish(G_RESOLVER(source), result, &error);
            std::string address;
            // The first IPv4 address, else the first of any family.
            for (GList* item = addresses; item; item = item->next) {
                auto* inet = G_INET_ADDRESS(item->data);
                if (address.empty() || g_inet_address_get_family(inet) == G_SOCKET_FAMILY_IPV4) {
                    gchar* text = g_inet_address_to_string(inet);
                    address = text;
                    g_free(text);
                    if (g_inet_address_get_family(inet) == G_SOCKET_FAMILY_IPV4) break;
                }
            }
            g_resolver_free_addresses(addresses);
            if (error) g_error_free(error);
            if (IceTransport* owner = (*held)->owner) owner->onResolved(address);
        },
        new std::shared_ptr<Lookup>(lookup));
    g_object_unref(resolver);
}

void IceTransport::onResolved(const std::string& address) {
    if (address.empty())
        spdlog::warn("P2PTransport: STUN server {} could not be resolved, not used", settings_.stunServers.front());
    else
        stunAddress_ = address;
    if (pendingLookups_ > 0 && --pendingLookups_ == 0) startGathering();
}

void IceTransport::startGathering() {
    if (gatheringStarted_) return;
    gatheringStarted_ = true;
    resolveLimit_.stop();
    for (const auto& lookup : lookups_) {
        lookup->owner = nullptr;
        g_cancellable_cancel(lookup->cancellable);
    }
    lookups_.clear();
    if (!stunAddress_.empty())
        g_object_set(agent_, "stun-server", stunAddress_.c_str(), "stun-server-port", settings_.stunPort, nullptr);
    if (turnTunnel_ && turnTunnel_->localPort() != 0) {
        // ICE speaks TURN over TCP to the tunnel, which carries it over TLS to the server.
        const TurnServerConfig& turn = settings_.turn;
        if (!nice_agent_set_relay_info(agent_, stream_, kComponent, "127.0.0.1", turnTunnel_->localPort(),
                                       turn.username.c_str(), turn.password.c_str(), NICE_RELAY_TYPE_TURN_TCP))
            spdlog::warn("P2PTransport: TURN server {}:{} refused", turn.host, turn.port);
    }
    if (!nice_agent_gather_candidates(agent_, stream_)) {
        spdlog::error("P2PTransport: ICE candidate gathering could not start");
        setState(State::Failed);
        return;
    }
    enlargeSocketBuffers();
}

// The system's default UDP receive buffer holds about a hundred datagrams: a burst from a fast
// peer overflows it before this thread reads, and SCTP then backs off for losses that are not the
// network's. The buffers ICE sends and receives on get room for a few thousand (as far as the
// system's limit allows).
void IceTransport::enlargeSocketBuffers() {
    GPtrArray* sockets = nice_agent_get_sockets(agent_, stream_, kComponent);
    if (!sockets) return;
    for (guint i = 0; i < sockets->len; ++i) {
        auto* socket = G_SOCKET(g_ptr_array_index(sockets, i));
        if (g_socket_get_socket_type(socket) != G_SOCKET_TYPE_DATAGRAM) continue;
        g_socket_set_option(socket, SOL_SOCKET, SO_RCVBUF, kSocketBuffer, nullptr);
        g_socket_set_option(socket, SOL_SOCKET, SO_SNDBUF, kSocketBuffer, nullptr);
    }
    g_ptr_array_unref(sockets);
}

void IceTransport::setRemoteCredentials(const std::string& ufrag, const std::string& pwd) {
    nice_agent_set_remote_credentials(agent_, stream_, ufrag.c_str(), pwd.c_str());
    if (state_ == State::New) setState(State::Checking);
}

void IceTransport::addRemoteCandidate(const IceCandidate& candidate) {
    NiceCandidate* nice = nice_candidate_new(niceType(candidate.type));
    nice->transport = NICE_CANDIDATE_TRANSPORT_UDP;
    nice->stream_id = stream_;
    nice->component_id = kComponent;
    nice->priority = candidate.priority;
    g_strlcpy(nice->foundation, candidate.foundation.c_str(), NICE_CANDIDATE_MAX_FOUNDATION);
    const bool valid = nice_address_set_from_string(&nice->addr, candidate.address.c_str());
    nice_address_set_port(&nice->addr, candidate.port);
    if (!candidate.relatedAddress.empty() && nice_address_set_from_string(&nice->base_addr, candidate.relatedAddress.c_str()))
        nice_address_set_port(&nice->base_addr, candidate.relatedPort);
    if (valid) {
        GSList* list = g_slist_append(nullptr, nice);
        if (nice_agent_set_remote_candidates(agent_, stream_, kComponent, list) < 1)
            spdlog::debug("P2PTransport: remote ICE candidate not taken by ICE");
        g_slist_free(list);
    }
    nice_candidate_free(nice);
}

void IceTransport::remoteGatheringDone() { nice_agent_peer_candidate_gathering_done(agent_, stream_); }

bool IceTransport::send(const std::uint8_t* data, std::size_t size) {
    if (state_ != State::Connected) return false;
    if (outgoingCount_ == kMaxBatch) flush();
    if (outgoingCount_ == outgoing_.size()) outgoing_.emplace_back();
    outgoing_[outgoingCount_++].assign(data, data + size);
    if (outgoingCount_ == 1) g_source_set_ready_time(flushSource_, 0);
    return true;
}

int IceTransport::onFlush(GSource* source, GSourceFunc, void* data) {
    g_source_set_ready_time(source, -1);
    static_cast<IceTransport*>(data)->flush();
    return G_SOURCE_CONTINUE;
}

void IceTransport::flush() {
    if (outgoingCount_ == 0) return;
    GOutputVector buffers[kMaxBatch];
    NiceOutputMessage messages[kMaxBatch];
    for (std::size_t i = 0; i < outgoingCount_; ++i) {
        buffers[i] = {outgoing_[i].data(), outgoing_[i].size()};
        messages[i] = {&buffers[i], 1};
    }
    // Datagrams the socket does not take now are lost, as on any datagram path.
    nice_agent_send_messages_nonblocking(agent_, stream_, kComponent, messages, static_cast<guint>(outgoingCount_),
                                         nullptr, nullptr);
    outgoingCount_ = 0;
}

void IceTransport::setState(State state) {
    if (state_ == state || state_ == State::Failed) return;
    state_ = state;
    callbacks_.stateChanged(state);
}

void IceTransport::onCandidate(NiceAgent*, void* candidate, void* data) {
    auto* self = static_cast<IceTransport*>(data);
    const auto converted = toIceCandidate(*static_cast<NiceCandidate*>(candidate));
    if (converted) self->callbacks_.localCandidate(*converted);
}

void IceTransport::onGatheringDone(NiceAgent*, unsigned, void* data) { static_cast<IceTransport*>(data)->callbacks_.gatheringDone(); }

void IceTransport::onComponentState(NiceAgent*, unsigned, unsigned, unsigned state, void* data) {
    auto* self = static_cast<IceTransport*>(data);
    switch (state) {
    case NICE_COMPONENT_STATE_CONNECTED:
    case NICE_COMPONENT_STATE_READY:
        self->setState(State::Connected);
        break;
    case NICE_COMPONENT_STATE_FAILED:
        self->setState(State::Failed);
        break;
    default:
        break;
    }
}

void IceTransport::onReceive(NiceAgent*, unsigned, unsigned, unsigned size, char* buffer, void* data) {
    static_cast<IceTransport*>(data)->callbacks_.datagram(reinterpret_cast<const std::uint8_t*>(buffer), size);
}

}  // namespace veltrix
