#include "transport/P2PTransport.h"

#include "platform/InstanceConfig.h"
#include "transport/IceServerSettings.h"
#include "transport/PeerConnection.h"

#include <QMetaObject>
#include <spdlog/spdlog.h>

#include <atomic>
#include <string>
#include <utility>

namespace veltrix {

namespace {

constexpr int kControl = 0;
constexpr int kVideo = 1;

int indexOf(ChannelType channel) { return channel == ChannelType::Control ? kControl : kVideo; }
ChannelType channelAt(int index) { return index == kControl ? ChannelType::Control : ChannelType::Video; }
const char* labelOf(ChannelType channel) { return channel == ChannelType::Control ? "control" : "video"; }

std::int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Per-second message and byte counters of the control channel, one pair for channels created as
// offerer and one for channels adopted as answerer, process-wide. The network thread writes them.
struct ControlCounters {
    std::atomic<std::uint64_t> messages{0};
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::int64_t> lastReportNs{0};  // 0: never reported
};
ControlCounters g_controlCounters[2];

void countControlMessage(bool offerer, std::size_t size) {
    ControlCounters& counters = g_controlCounters[offerer ? 0 : 1];
    counters.messages.fetch_add(1);
    counters.bytes.fetch_add(size);
    const std::int64_t now = steadyNowNs();
    std::int64_t last = counters.lastReportNs.load();
    if (last != 0 && now - last <= 999'999'999) return;
    if (!counters.lastReportNs.compare_exchange_strong(last, now)) return;
    spdlog::info("P2PTransport: control channel received {} msgs / {} bytes in last 1s ({})",
                 counters.messages.exchange(0), counters.bytes.exchange(0), offerer ? "offerer" : "answerer");
}

}  // namespace

// The stack's events for one generation of the transport. Handlers run on the network thread:
// they log, copy and post. The transport detaches it (under its mutex) before it goes, so a late
// event posts nothing.
class P2PTransport::Events : public std::enable_shared_from_this<P2PTransport::Events> {
public:
    Events(P2PTransport* owner, std::uint64_t generation, bool offerer)
        : owner_(owner), generation_(generation), offerer_(offerer) {}

    void detach() {
        std::lock_guard lock(mutex_);
        owner_ = nullptr;
    }

    PeerConnection::Events handlers() {
        auto self = shared_from_this();
        PeerConnection::Events events;
        events.localDescription = [self](const std::string& sdp, const std::string& type) {
            spdlog::info("P2PTransport: local description ready (type={})", type);
            self->post([sdp = QString::fromStdString(sdp), type = QString::fromStdString(type)](P2PTransport& transport) {
                emit transport.localDescriptionReady(sdp, type);
            });
        };
        events.localCandidate = [self](const std::string& candidate, const std::string& mid) {
            spdlog::debug("P2PTransport: local ICE candidate: {}", candidate);
            self->post([candidate = QString::fromStdString(candidate), mid = QString::fromStdString(mid)](
                           P2PTransport& transport) { emit transport.localCandidateReady(candidate, mid); });
        };
        events.stateChanged = [self](PeerConnection::State state, const std::string& reason) {
            spdlog::info("P2PTransport: PeerConnection state -> {}", static_cast<int>(state));
            if (state == PeerConnection::State::Failed)
                spdlog::warn("P2PTransport: {}", reason);
            else if (!reason.empty())
                spdlog::info("P2PTransport: {}", reason);
            if (state == PeerConnection::State::Failed || state == PeerConnection::State::Closed)
                self->post([](P2PTransport& transport) { transport.onConnectionLost(); });
        };
        events.gatheringStateChanged = [](PeerConnection::GatheringState state) {
            spdlog::info("P2PTransport: ICE gathering state -> {}", static_cast<int>(state));
        };
        events.incomingChannel = [](const std::string& label, int) {
            spdlog::info("P2PTransport: incoming data channel: {}", label);
        };
        events.channelOpen = [self](int index) {
            const ChannelType channel = channelAt(index);
            if (self->offerer_)
                spdlog::info("P2PTransport: '{}' data channel open", labelOf(channel));
            else
                spdlog::info("P2PTransport: '{}' data channel open (answerer)", labelOf(channel));
            self->post([channel](P2PTransport& transport) { transport.onChannelOpen(channel); });
        };
        events.channelClosed = [](int index) {
            spdlog::info("P2PTransport: '{}' data channel closed", labelOf(channelAt(index)));
        };
        events.message = [self](int index, QByteArray data, std::shared_ptr<DeliveryWindow::Ticket> ticket) {
            const ChannelType channel = channelAt(index);
            if (channel == ChannelType::Control) countControlMessage(self->offerer_, static_cast<std::size_t>(data.size()));
            // The message stays counted in the receive window until the Qt thread is done with it.
            self->post([channel, data = std::move(data), ticket = std::move(ticket)](P2PTransport& transport) {
                emit transport.dataReceived(channel, data);
            });
        };
        return events;
    }

private:
    template <typename Work>
    void post(Work&& work) {
        std::lock_guard lock(mutex_);
        if (!owner_) return;
        owner_->post(generation_, [owner = owner_, work = std::forward<Work>(work)]() mutable { work(*owner); });
    }

    std::mutex mutex_;  // guards owner_
    P2PTransport* owner_;
    const std::uint64_t generation_;
    const bool offerer_;
};

P2PTransport::P2PTransport(QObject* parent) : IP2PTransport(parent) {
    if (auto host = platform::config::value("turn/host"); host && !host->empty()) turn_.host = *host;
    turn_.port = static_cast<std::uint32_t>(p2p::portFromConfig("turn/port", static_cast<int>(turn_.port)));
    spdlog::info("P2PTransport: created (libnice, OpenSSL DTLS, usrsctp)");
}

P2PTransport::~P2PTransport() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    teardown(false);
}

bool P2PTransport::connect(const QByteArray&, std::uint16_t) {
    startAsOfferer();
    return true;
}

void P2PTransport::disconnect() { teardown(true); }

bool P2PTransport::isConnected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

bool P2PTransport::send(ChannelType channel, const std::uint8_t* data, std::uint64_t size) {
    if (size > kMaxMessageSize) {
        spdlog::warn("P2PTransport::send failed: message of {} bytes exceeds {}", size, kMaxMessageSize);
        return false;
    }
    if (size > 0 && !data) return false;
    std::lock_guard lock(mutex_);
    const bool open = channel == ChannelType::Control ? controlOpen_ : videoOpen_;
    if (!connection_ || !open) return false;
    const std::uint64_t peerLimit = connection_->remoteMaxMessageSize();
    if (peerLimit != 0 && size > peerLimit) {
        spdlog::warn("P2PTransport::send failed: message of {} bytes exceeds the peer's limit of {}", size, peerLimit);
        return false;
    }
    const int index = indexOf(channel);
    if (connection_->bufferedAmount(index) + size > kMaxBufferedPerChannel) {
        spdlog::warn("P2PTransport::send failed: {} bytes already wait on the '{}' channel",
                     connection_->bufferedAmount(index), labelOf(channel));
        return false;
    }
    if (!connection_->send(index, QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)))) {
        spdlog::warn("P2PTransport::send failed: the '{}' channel is not open", labelOf(channel));
        return false;
    }
    return true;
}

std::uint64_t P2PTransport::bufferedAmount(ChannelType channel) const {
    std::lock_guard lock(mutex_);
    const bool open = channel == ChannelType::Control ? controlOpen_ : videoOpen_;
    return connection_ && open ? connection_->bufferedAmount(indexOf(channel)) : 0;
}

bool P2PTransport::sendText(ChannelType channel, const QByteArray& text) {
    std::lock_guard lock(mutex_);
    return connection_ && connection_->sendText(indexOf(channel), text);
}

void P2PTransport::setTurnServerConfig(const TurnServerConfig& config) {
    // Settings without a host carry only credentials: the server stays the instance's TURN relay.
    const TurnServerConfig server = turn_;
    turn_ = config;
    if (turn_.host.empty()) {
        turn_.host = server.host;
        turn_.port = server.port;
    }
}

void P2PTransport::startAsOfferer() {
    spdlog::info("P2PTransport: starting as offerer");
    start(true);
}

void P2PTransport::startAsAnswerer() {
    spdlog::info("P2PTransport: starting as answerer");
    start(false);
}

void P2PTransport::start(bool offerer) {
    teardown(true);
    PeerConnection::Configuration configuration;
    configuration.ice = p2p::iceSettingsFromConfig(turn_);
    configuration.channels = {{"control", true}, {"video", true}};
    configuration.maxMessageSize = kMaxMessageSize;
    configuration.heartbeatInterval = liveness_.interval;
    configuration.livenessTimeout = liveness_.timeout;
    std::lock_guard lock(mutex_);
    if (closed_) return;
    offerer_ = offerer;
    events_ = std::make_shared<Events>(this, generation_, offerer);
    connection_ = std::make_unique<PeerConnection>(std::move(configuration), events_->handlers());
    connection_->start(offerer);
}

void P2PTransport::teardown(bool orderly) {
    std::unique_ptr<PeerConnection> connection;
    std::shared_ptr<Events> events;
    {
        std::lock_guard lock(mutex_);
        connection = std::move(connection_);
        events = std::move(events_);
        ++generation_;  // whatever is still queued belongs to the attempt that ends here
        connected_ = controlOpen_ = videoOpen_ = false;
    }
    if (events) events->detach();
    // Either way the peer is told (SCTP's SHUTDOWN or ABORT, and DTLS's close_notify); no event of
    // this attempt reaches the transport any more.
    if (!connection) return;
    if (orderly)
        connection->close();
    else
        connection->abort();
}

void P2PTransport::post(std::uint64_t generation, std::function<void()> work) {
    QMetaObject::invokeMethod(
        this,
        [this, generation, work = std::move(work)] {
            {
                std::lock_guard lock(mutex_);
                if (closed_ || generation != generation_) return;
            }
            work();
        },
        Qt::QueuedConnection);
}

void P2PTransport::setRemoteDescription(const QString& sdp, const QString& type) {
    std::lock_guard lock(mutex_);
    if (!connection_) {
        spdlog::warn("P2PTransport: setRemoteDescription called with no PeerConnection");
        return;
    }
    spdlog::info("P2PTransport: setting remote description (type={})", type.toStdString());
    std::string error;
    if (!connection_->setRemoteDescription(sdp.toStdString(), type.toStdString(), &error))
        spdlog::warn("P2PTransport: remote description (type={}) is not a usable session description, ignored: {}",
                     type.toStdString(), error);
}

void P2PTransport::addRemoteCandidate(const QString& candidate, const QString& mid) {
    std::lock_guard lock(mutex_);
    if (!connection_) {
        spdlog::warn("P2PTransport: addRemoteCandidate called with no PeerConnection");
        return;
    }
    spdlog::debug("P2PTransport: adding remote ICE candidate");
    std::string error;
    if (!connection_->addRemoteCandidate(candidate.toStdString(), mid.toStdString(), &error))
        spdlog::warn("P2PTransport: malformed remote ICE candidate ignored ({})", error);
}

void P2PTransport::onChannelOpen(ChannelType channel) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        (channel == ChannelType::Control ? controlOpen_ : videoOpen_) = true;
        if (!controlOpen_ || !videoOpen_ || connected_) return;
        connected_ = true;
        spdlog::info("P2PTransport: both data channels open — P2P connected!");
    }
    emit connected();
}

void P2PTransport::onConnectionLost() {
    {
        std::lock_guard lock(mutex_);
        if (closed_ || !connected_) return;
    }
    // Nothing more of a lost connection is delivered.
    teardown(true);
    emit disconnected();
}

}  // namespace veltrix
