#include "transport/PeerConnection.h"

#include "transport/DataChannelSet.h"
#include "transport/DtlsCertificate.h"
#include "transport/DtlsTransport.h"
#include "transport/NetworkThread.h"
#include "transport/SctpAssociation.h"
#include "transport/SessionDescription.h"

#include <openssl/rand.h>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace veltrix {

namespace {

// The largest SCTP packet: its DTLS record in a UDP datagram fits the 1280 bytes every IPv6 path
// carries. Peers read DTLS datagrams into buffers of about that size (larger records arrive cut
// short), so it holds on loopback too.
constexpr std::uint32_t kPacketSize = 1191;
// Candidates the peer may trickle before its description, and DTLS datagrams that may arrive
// before this side knows its DTLS role.
constexpr std::size_t kMaxEarlyCandidates = 64;
// Candidates taken from the peer in all: each one adds pairs for ICE to check.
constexpr std::size_t kMaxRemoteCandidates = 128;
constexpr std::size_t kMaxEarlyDatagrams = 16;
constexpr std::size_t kMaxEarlyDatagramSize = 2048;
// The SCTP port of data channels.
constexpr std::uint16_t kSctpPort = 5000;

// Events that go nowhere: what a closing connection still reads is dropped.
PeerConnection::Events ignoredEvents() {
    PeerConnection::Events events;
    events.localDescription = [](const std::string&, const std::string&) {};
    events.localCandidate = [](const std::string&, const std::string&) {};
    events.stateChanged = [](PeerConnection::State, const std::string&) {};
    events.gatheringStateChanged = [](PeerConnection::GatheringState) {};
    events.incomingChannel = [](const std::string&, int) {};
    events.channelOpen = [](int) {};
    events.channelClosed = [](int) {};
    events.message = [](int, QByteArray, std::shared_ptr<DeliveryWindow::Ticket>) {};
    return events;
}

// The network threads of connections closing in order. Each close runs on its connection's own
// thread and reports when it is over; the thread is joined here, so whoever closed the connection
// does not wait. At exit the closes still running are waited for (each is bounded by its close
// time-out) before the process's usrsctp and OpenSSL state goes: this is first made once an
// association exists, after both, and so destroyed before them.
class ClosingThreads {
public:
    struct Closing {
        std::unique_ptr<NetworkThread> thread;
        bool over = false;
    };

    // Made on first use; null until then.
    static ClosingThreads& make() {
        static ClosingThreads keeper;
        made_ = &keeper;
        return keeper;
    }
    static ClosingThreads* made() { return made_.load(); }

    // What the close calls, on its thread, once it is over.
    std::function<void()> reportOver(std::shared_ptr<Closing> closing) {
        return [this, closing = std::move(closing)] {
            std::lock_guard lock(mutex_);
            closing->over = true;
            changed_.notify_one();
        };
    }
    // Keeps `thread` until the close on it is over, then joins it.
    void keep(std::shared_ptr<Closing> closing, std::unique_ptr<NetworkThread> thread) {
        std::lock_guard lock(mutex_);
        closing->thread = std::move(thread);
        closings_.push_back(std::move(closing));
        changed_.notify_one();
    }

private:
    ClosingThreads() : joiner_([this] { run(); }) {}
    ~ClosingThreads() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            changed_.notify_one();
        }
        joiner_.join();
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] {
                return (stopping_ && closings_.empty()) ||
                       std::any_of(closings_.begin(), closings_.end(),
                                   [](const auto& closing) { return closing->over; });
            });
            if (closings_.empty()) return;
            std::vector<std::unique_ptr<NetworkThread>> over;
            std::erase_if(closings_, [&](std::shared_ptr<Closing>& closing) {
                if (!closing->over) return false;
                over.push_back(std::move(closing->thread));
                return true;
            });
            lock.unlock();
            over.clear();  // joins them
            lock.lock();
        }
    }

    static inline std::atomic<ClosingThreads*> made_{nullptr};
    std::mutex mutex_;  // guards the members below
    std::condition_variable changed_;
    std::vector<std::shared_ptr<Closing>> closings_;
    bool stopping_ = false;
    std::thread joiner_;  // last: started once the rest is there
};

}  // namespace

// Everything on the network thread, except the atomics that the public operations read.
class PeerConnection::Impl : public std::enable_shared_from_this<PeerConnection::Impl> {
public:
    Impl(NetworkThread* thread, Configuration configuration, Events events)
        : thread_(thread),
          configuration_(std::move(configuration)),
          events_(std::move(events)),
          status_(new DataChannelSet::Status[configuration_.channels.size()]),
          dtlsTimer_([this] { if (dtls_) dtls_->handleTimeout(); }),
          livenessTimer_([this] { checkLiveness(); }),
          closeTimer_([this] { teardown(); }) {}

    void start(bool offerer);
    void setRemoteDescription(SessionDescription description);
    void addRemoteCandidate(const IceCandidate& candidate, const std::string& mid);
    void enqueue(int channel, QByteArray data, bool text);
    // Ends the connection, in order or at once; `over` is called once the layers are gone.
    void close(bool orderly, std::function<void()> over);

    std::size_t channelCount() const { return configuration_.channels.size(); }
    DataChannelSet::Status& status(int channel) { return status_[channel]; }
    std::atomic<std::uint64_t> remoteMaxMessageSize{0};
    std::atomic<bool> remoteKnown{false};

private:
    void createChannels();
    void sendLocalDescription();
    void onIceState(IceTransport::State state);
    void onDatagram(const std::uint8_t* data, std::size_t size);
    void startDtls();
    void startSctp();
    void onSctpConnected();
    void checkLiveness();
    void setState(State state, const std::string& reason = {});
    // Ends the connection with `state`; the layers go once the calls on the stack have returned.
    void end(State state, const std::string& reason);
    // While closing in order: shuts SCTP down once every queued message is in its hands.
    void shutdownWhenDrained();
    void teardown();
    std::weak_ptr<Impl> weak() { return weak_from_this(); }

    NetworkThread* const thread_;
    Configuration configuration_;
    Events events_;
    std::unique_ptr<DataChannelSet::Status[]> status_;
    State state_ = State::New;
    bool started_ = false;
    bool offerer_ = false;
    bool closed_ = false;
    // Closing in order: the layers run on until SCTP has shut down or the close time-out passes.
    bool closing_ = false;
    bool shutdownStarted_ = false;
    std::shared_ptr<Impl> keptWhileClosing_;
    std::function<void()> over_;
    std::shared_ptr<const DtlsCertificate> certificate_;
    std::unique_ptr<IceTransport> ice_;
    std::unique_ptr<DtlsTransport> dtls_;
    std::unique_ptr<SctpAssociation> sctp_;
    std::shared_ptr<DeliveryWindow> window_;
    std::unique_ptr<DataChannelSet> channels_;
    std::optional<SessionDescription> remote_;
    std::string mid_ = "0";
    std::uint64_t sessionId_ = 0;
    std::vector<std::pair<IceCandidate, std::string>> earlyCandidates_;
    std::size_t remoteCandidates_ = 0;
    std::vector<std::vector<std::uint8_t>> earlyDatagrams_;
    NetworkThread::Timer dtlsTimer_;
    NetworkThread::Timer livenessTimer_;
    NetworkThread::Timer closeTimer_;
    std::chrono::steady_clock::time_point lastHeard_;
};

void PeerConnection::Impl::start(bool offerer) {
    if (started_ || closed_) return;
    started_ = true;
    offerer_ = offerer;
    RAND_bytes(reinterpret_cast<unsigned char*>(&sessionId_), sizeof(sessionId_));
    sessionId_ &= 0x7fffffffffffffffULL;
    certificate_ = DtlsCertificate::generate();
    if (!certificate_) {
        end(State::Failed, "no certificate");
        return;
    }
    window_ = std::make_shared<DeliveryWindow>(configuration_.receiveWindow, [thread = thread_, weak = weak()] {
        thread->post([weak] {
            if (auto self = weak.lock(); self && self->channels_) self->channels_->receive();
        });
    });
    createChannels();
    IceTransport::Settings ice = configuration_.ice;
    ice.controlling = offerer;
    ice_ = std::make_unique<IceTransport>(
        std::move(ice),
        IceTransport::Callbacks{
            [this](const IceCandidate& candidate) { events_.localCandidate(candidate.toString(), mid_); },
            [this] { events_.gatheringStateChanged(GatheringState::Complete); },
            [this](IceTransport::State state) { onIceState(state); },
            [this](const std::uint8_t* data, std::size_t size) { onDatagram(data, size); },
        });
    if (offerer_) {
        // The description goes first, so the candidates that follow find it at the peer.
        sendLocalDescription();
        events_.gatheringStateChanged(GatheringState::InProgress);
        ice_->gather();
    }
}

void PeerConnection::Impl::createChannels() {
    std::vector<DataChannelSet::Spec> specs;
    for (const ChannelSpec& spec : configuration_.channels) specs.push_back({spec.label, spec.ordered});
    channels_ = std::make_unique<DataChannelSet>(
        std::move(specs), status_.get(), window_,
        DataChannelSet::Events{
            [this](const std::string& label, int channel) { events_.incomingChannel(label, channel); },
            [this](int channel) { events_.channelOpen(channel); },
            [this](int channel) { events_.channelClosed(channel); },
            [this](int channel, QByteArray data, std::shared_ptr<DeliveryWindow::Ticket> ticket) {
                events_.message(channel, std::move(data), std::move(ticket));
            },
        });
}

void PeerConnection::Impl::sendLocalDescription() {
    SessionDescription local;
    local.type = offerer_ ? SessionDescription::Type::Offer : SessionDescription::Type::Answer;
    local.mid = mid_;
    local.iceUfrag = ice_->localUfrag();
    local.icePwd = ice_->localPwd();
    local.fingerprints = {certificate_->fingerprint()};
    if (offerer_) {
        local.setup = SessionDescription::Setup::ActPass;
    } else {
        // The answerer takes the client's part unless the offerer insists on it.
        local.setup = remote_->setup == SessionDescription::Setup::Active ? SessionDescription::Setup::Passive
                                                                          : SessionDescription::Setup::Active;
    }
    local.sctpPort = kSctpPort;
    local.legacySctp = !offerer_ && remote_->legacySctp;
    local.maxMessageSize = configuration_.maxMessageSize;
    events_.localDescription(local.toSdp(sessionId_), SessionDescription::typeName(local.type));
}

void PeerConnection::Impl::setRemoteDescription(SessionDescription description) {
    if (!started_ || closed_ || !ice_) return;
    if (remote_) {
        spdlog::warn("PeerConnection: a second remote description ignored");
        return;
    }
    const auto expected = offerer_ ? SessionDescription::Type::Answer : SessionDescription::Type::Offer;
    if (description.type != expected) {
        spdlog::warn("PeerConnection: remote {} ignored: this side expects an {}", SessionDescription::typeName(description.type),
                     SessionDescription::typeName(expected));
        return;
    }
    remote_ = std::move(description);
    remoteMaxMessageSize = remote_->maxMessageSize;
    remoteKnown = true;
    if (!offerer_) mid_ = remote_->mid;
    if (state_ == State::New) setState(State::Connecting);
    ice_->setRemoteCredentials(remote_->iceUfrag, remote_->icePwd);
    for (const IceCandidate& candidate : remote_->candidates) {
        ice_->addRemoteCandidate(candidate);
        ++remoteCandidates_;
    }
    for (const auto& [candidate, mid] : earlyCandidates_) addRemoteCandidate(candidate, mid);
    earlyCandidates_.clear();
    if (remote_->endOfCandidates) ice_->remoteGatheringDone();
    if (!offerer_) {
        sendLocalDescription();
        events_.gatheringStateChanged(GatheringState::InProgress);
        ice_->gather();
    }
    if (ice_->state() == IceTransport::State::Connected) startDtls();
}

void PeerConnection::Impl::addRemoteCandidate(const IceCandidate& candidate, const std::string& mid) {
    if (!started_ || closed_ || !ice_) return;
    if (!remote_) {
        if (earlyCandidates_.size() < kMaxEarlyCandidates) earlyCandidates_.emplace_back(candidate, mid);
        else spdlog::warn("PeerConnection: more than {} ICE candidates before the description, candidate ignored",
                          kMaxEarlyCandidates);
        return;
    }
    if (!mid.empty() && mid != remote_->mid) {
        spdlog::warn("PeerConnection: remote ICE candidate for unknown mid '{}' ignored", mid);
        return;
    }
    if (remoteCandidates_ >= kMaxRemoteCandidates) {
        spdlog::warn("PeerConnection: more than {} remote ICE candidates, candidate ignored", kMaxRemoteCandidates);
        return;
    }
    ++remoteCandidates_;
    ice_->addRemoteCandidate(candidate);
}

void PeerConnection::Impl::onIceState(IceTransport::State state) {
    switch (state) {
    case IceTransport::State::Checking:
        if (state_ == State::New) setState(State::Connecting);
        break;
    case IceTransport::State::Connected:
        if (remote_) startDtls();
        break;
    case IceTransport::State::Failed:
        end(State::Failed, "ICE failed");
        break;
    default:
        break;
    }
}

void PeerConnection::Impl::onDatagram(const std::uint8_t* data, std::size_t size) {
    if ((closed_ && !closing_) || !DtlsTransport::isDtlsRecord(data, size)) return;
    lastHeard_ = std::chrono::steady_clock::now();
    if (dtls_) {
        dtls_->receive(data, size);
        return;
    }
    // The peer's handshake may come before this side knows its role: keep a few datagrams.
    if (earlyDatagrams_.size() < kMaxEarlyDatagrams && size <= kMaxEarlyDatagramSize)
        earlyDatagrams_.emplace_back(data, data + size);
}

void PeerConnection::Impl::startDtls() {
    if (dtls_ || closed_ || !remote_) return;
    DtlsTransport::Role role;
    if (offerer_)
        role = remote_->setup == SessionDescription::Setup::Passive ? DtlsTransport::Role::Client
                                                                    : DtlsTransport::Role::Server;
    else
        role = remote_->setup == SessionDescription::Setup::Active ? DtlsTransport::Role::Server
                                                                   : DtlsTransport::Role::Client;
    dtls_ = std::make_unique<DtlsTransport>(
        certificate_, role, remote_->fingerprints,
        DtlsTransport::Callbacks{
            [this](const std::uint8_t* data, std::size_t size) { ice_->send(data, size); },
            [this](std::chrono::milliseconds delay) {
                if (delay.count() < 0)
                    dtlsTimer_.stop();
                else
                    dtlsTimer_.start(delay);
            },
            [this] { startSctp(); },
            [this](const std::uint8_t* data, std::size_t size) {
                if (sctp_) sctp_->input(data, size);
            },
            [this](const std::string& reason) { end(State::Failed, "DTLS: " + reason); },
            [this] { end(State::Closed, "the peer closed DTLS"); },
        });
    dtls_->start();
    auto early = std::move(earlyDatagrams_);
    earlyDatagrams_.clear();
    for (const auto& datagram : early)
        if (dtls_) dtls_->receive(datagram.data(), datagram.size());
}

void PeerConnection::Impl::startSctp() {
    if (sctp_ || closed_) return;
    SctpAssociation::Settings settings;
    settings.localPort = kSctpPort;
    settings.remotePort = remote_->sctpPort;
    settings.maxPacketSize = kPacketSize;
    settings.heartbeatInterval = configuration_.heartbeatInterval;
    settings.maxMessageSize = configuration_.maxMessageSize;
    sctp_ = std::make_unique<SctpAssociation>(
        settings, SctpAssociation::Callbacks{
                      [this](const std::uint8_t* data, std::size_t size) {
                          if (dtls_) dtls_->send(data, size);
                      },
                      [this] { onSctpConnected(); },
                      [this](const std::string& reason) { end(State::Failed, "SCTP: " + reason); },
                      [this] { end(State::Closed, "the peer shut SCTP down"); },
                      [this] { channels_->receive(); },
                      [this] {
                          channels_->pump();
                          if (closing_) shutdownWhenDrained();
                      },
                      [this](std::uint16_t stream) { channels_->onIncomingStreamReset(stream); },
                  });
    // Attached before the association is up: its notifications arrive through the channels' reads.
    channels_->attach(sctp_.get(), dtls_->role() == DtlsTransport::Role::Client);
    lastHeard_ = std::chrono::steady_clock::now();
    const auto checkEvery = std::max(std::chrono::milliseconds(20), configuration_.livenessTimeout / 8);
    livenessTimer_.start(checkEvery, true);
    ClosingThreads::make();  // after the association: see ClosingThreads
    if (!sctp_->connect()) end(State::Failed, "SCTP could not start");
}

void PeerConnection::Impl::onSctpConnected() {
    setState(State::Connected);
    if (offerer_) channels_->openAll();
}

// SCTP heartbeats make a live peer answer at least every heartbeat interval, whatever the
// applications send; a peer that stays silent for the whole time-out is gone.
void PeerConnection::Impl::checkLiveness() {
    if (closed_ || !sctp_) return;
    const auto silent = std::chrono::steady_clock::now() - lastHeard_;
    if (silent > configuration_.livenessTimeout)
        end(State::Failed, "nothing heard from the peer for " +
                               std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(silent).count()) + " ms");
}

void PeerConnection::Impl::enqueue(int channel, QByteArray data, bool text) {
    if (closed_ || !channels_) {
        status_[channel].buffered -= static_cast<std::uint64_t>(data.size());
        return;
    }
    channels_->enqueue(channel, std::move(data), text);
}

void PeerConnection::Impl::setState(State state, const std::string& reason) {
    if (state_ == state || state_ == State::Failed || state_ == State::Closed) return;
    state_ = state;
    if (!closed_) events_.stateChanged(state, reason);
}

void PeerConnection::Impl::end(State state, const std::string& reason) {
    if (closing_) {
        // A close in order is over: shut down, aborted by the peer, or the peer is gone.
        thread_->post([self = shared_from_this()] { self->teardown(); });
        return;
    }
    if (closed_ || state_ == State::Failed || state_ == State::Closed) return;
    setState(state, reason);
    thread_->post([self = shared_from_this()] { self->teardown(); });
}

void PeerConnection::Impl::close(bool orderly, std::function<void()> over) {
    closed_ = true;
    over_ = std::move(over);
    // Nobody listens any more; what still comes in is read and dropped.
    events_ = ignoredEvents();
    if (!orderly || !sctp_ || !sctp_->isConnected() || !channels_) {
        teardown();
        return;
    }
    closing_ = true;
    keptWhileClosing_ = shared_from_this();
    closeTimer_.start(configuration_.closeTimeout);
    channels_->pump();
    shutdownWhenDrained();
}

void PeerConnection::Impl::shutdownWhenDrained() {
    if (shutdownStarted_ || !sctp_ || !channels_->drained()) return;
    shutdownStarted_ = true;
    if (!sctp_->shutdown()) thread_->post([self = shared_from_this()] { self->teardown(); });
}

void PeerConnection::Impl::teardown() {
    closing_ = false;
    closeTimer_.stop();
    livenessTimer_.stop();
    dtlsTimer_.stop();
    if (window_) window_->close();
    if (channels_) channels_->detach();
    // In this order, so the peer hears of it: SCTP's ABORT and DTLS's close_notify still go out
    // on the ICE stream.
    if (sctp_) sctp_->abort();
    if (dtls_) dtls_->close();
    sctp_.reset();
    dtls_.reset();
    ice_.reset();
    earlyDatagrams_.clear();
    earlyCandidates_.clear();
    // The last reference may be the one kept while closing: it goes after this call.
    if (keptWhileClosing_) thread_->post([self = std::move(keptWhileClosing_)] {});
    if (over_) std::exchange(over_, {})();
}

// ---- The public side ------------------------------------------------------------------------

PeerConnection::PeerConnection(Configuration configuration, Events events)
    : thread_(std::make_unique<NetworkThread>()),
      impl_(std::make_shared<Impl>(thread_.get(), std::move(configuration), std::move(events))) {}

PeerConnection::~PeerConnection() { abort(); }

void PeerConnection::start(bool offerer) {
    if (!impl_) return;
    thread_->post([impl = impl_, offerer] { impl->start(offerer); });
}

bool PeerConnection::setRemoteDescription(const std::string& sdp, const std::string& type, std::string* error) {
    const auto descriptionType = SessionDescription::typeFromName(type);
    if (!descriptionType) {
        if (error) *error = "unknown description type";
        return false;
    }
    auto description = SessionDescription::parse(sdp, *descriptionType, error);
    if (!description || !impl_) return false;
    thread_->post(
        [impl = impl_, description = std::move(*description)]() mutable { impl->setRemoteDescription(std::move(description)); });
    return true;
}

bool PeerConnection::addRemoteCandidate(const std::string& candidate, const std::string& mid, std::string* error) {
    auto parsed = IceCandidate::parse(candidate, error);
    if (!parsed || !impl_) return false;
    thread_->post(
        [impl = impl_, parsed = std::move(*parsed), mid] { impl->addRemoteCandidate(parsed, mid); });
    return true;
}

bool PeerConnection::send(int channel, const QByteArray& data) {
    if (!impl_ || channel < 0 || static_cast<std::size_t>(channel) >= impl_->channelCount() || !impl_->status(channel).open) return false;
    impl_->status(channel).buffered += static_cast<std::uint64_t>(data.size());
    thread_->post([impl = impl_, channel, data] { impl->enqueue(channel, data, false); });
    return true;
}

bool PeerConnection::sendText(int channel, const QByteArray& text) {
    if (!impl_ || channel < 0 || static_cast<std::size_t>(channel) >= impl_->channelCount() || !impl_->status(channel).open) return false;
    impl_->status(channel).buffered += static_cast<std::uint64_t>(text.size());
    thread_->post([impl = impl_, channel, text] { impl->enqueue(channel, text, true); });
    return true;
}

std::uint64_t PeerConnection::bufferedAmount(int channel) const {
    if (!impl_ || channel < 0 || static_cast<std::size_t>(channel) >= impl_->channelCount()) return 0;
    return impl_->status(channel).buffered.load();
}

std::uint64_t PeerConnection::remoteMaxMessageSize() const {
    if (!impl_) return 0;
    return impl_->remoteKnown ? impl_->remoteMaxMessageSize.load() : SessionDescription::kDefaultMaxMessageSize;
}

void PeerConnection::close() { end(true); }

void PeerConnection::abort() { end(false); }

void PeerConnection::end(bool orderly) {
    if (!impl_) return;
    // The last reference goes on the network thread, where the layers live; the thread ends once
    // that and everything posted before it has run. A close in order may run on past this call:
    // its thread is joined once it is over. Before any association exists there is nothing to
    // close in order.
    ClosingThreads* closings = orderly ? ClosingThreads::made() : nullptr;
    if (!closings) {
        thread_->post([impl = std::move(impl_)] { impl->close(false, {}); });
        thread_.reset();
        return;
    }
    auto closing = std::make_shared<ClosingThreads::Closing>();
    thread_->post([impl = std::move(impl_), over = closings->reportOver(closing)] { impl->close(true, over); });
    closings->keep(std::move(closing), std::move(thread_));
}

}  // namespace veltrix
