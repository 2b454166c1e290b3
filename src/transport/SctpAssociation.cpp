#include "transport/SctpAssociation.h"

#include "transport/NetworkThread.h"
#include "transport/SctpChecksum.h"

#include <usrsctp.h>

#include <spdlog/spdlog.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace veltrix {

namespace {

constexpr std::uint32_t kCommonHeaderSize = 12;
// Bytes read from usrsctp per call, straight into the message being joined.
constexpr int kReadChunk = 256 * 1024;
// Streams each side may use; the data channels of a session use two.
constexpr std::uint16_t kStreams = 1024;
// usrsctp's timers, driven from the network thread.
constexpr std::chrono::milliseconds kTimerTick{10};
// Retransmission timeout bounds (ms). The largest is kept short: a path that stays silent that
// long is most likely gone, and the liveness check ends it soon after anyway.
constexpr std::uint32_t kRtoInitial = 1000;
constexpr std::uint32_t kRtoMin = 200;
constexpr std::uint32_t kRtoMax = 3000;

// Associations by the id usrsctp knows them by, and the thread that drives usrsctp's timers.
//
// usrsctp runs without threads of its own. Each association lives on its connection's network
// thread, and usrsctp calls back on whichever thread called into it: the association's own, or
// the timer thread for retransmissions, heartbeats and delayed acknowledgements. Work that comes
// in on another thread is copied and posted to the association's thread, under the registry's
// lock, so an association being destroyed on its thread is never reached from another.
class Registry {
public:
    static Registry& instance() {
        static Registry registry;
        return registry;
    }

    std::uintptr_t add(SctpAssociation* association) {
        std::lock_guard lock(mutex_);
        const std::uintptr_t id = nextId_++;
        associations_[id] = association;
        if (associations_.size() == 1) timers_.post([this] { startTimers(); });
        return id;
    }
    void remove(std::uintptr_t id) {
        std::lock_guard lock(mutex_);
        associations_.erase(id);
        if (associations_.empty()) timers_.post([this] { timer_.stop(); });
    }
    // Runs `use` with the association under the lock (null when it is gone).
    template <typename Use>
    void with(std::uintptr_t id, Use&& use) {
        std::lock_guard lock(mutex_);
        const auto found = associations_.find(id);
        use(found == associations_.end() ? nullptr : found->second);
    }

private:
    Registry() : timers_("veltrix-sctp"), timer_([this] { tick(); }) {}
    ~Registry() {
        timers_.invoke([this] { timer_.stop(); });
    }

    void startTimers() {
        std::lock_guard lock(mutex_);
        if (associations_.empty() || timer_.active()) return;
        last_ = std::chrono::steady_clock::now();
        timer_.start(kTimerTick, true);
    }
    void tick() {
        const auto now = std::chrono::steady_clock::now();
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_);
        if (elapsed.count() <= 0) return;
        last_ += elapsed;
        usrsctp_handle_timers(static_cast<std::uint32_t>(elapsed.count()));
    }

    std::mutex mutex_;  // guards associations_ and nextId_
    std::unordered_map<std::uintptr_t, SctpAssociation*> associations_;
    std::uintptr_t nextId_ = 1;
    NetworkThread timers_;
    NetworkThread::Timer timer_;  // on timers_
    std::chrono::steady_clock::time_point last_;  // timers_ only
};

void initializeUsrsctp(int (*output)(void*, void*, std::size_t, std::uint8_t, std::uint8_t)) {
    static std::once_flag once;
    std::call_once(once, [output] {
        usrsctp_init_nothreads(0, output, nullptr);
        // Checksums are computed and checked here (SctpChecksum), faster than usrsctp does.
        usrsctp_enable_crc32c_offload();
        // Reassembly may hold a whole receive window of chunks while a gap is repaired.
        usrsctp_sysctl_set_sctp_max_chunks_on_queue(64 * 1024);
        usrsctp_sysctl_set_sctp_ecn_enable(0);
        usrsctp_sysctl_set_sctp_asconf_enable(0);
        usrsctp_sysctl_set_sctp_auth_enable(0);
        usrsctp_sysctl_set_sctp_pr_enable(1);
        usrsctp_sysctl_set_sctp_reconfig_enable(1);
        usrsctp_sysctl_set_sctp_nr_outgoing_streams_default(kStreams);
    });
}

sockaddr_conn connAddress(std::uintptr_t id, std::uint16_t port) {
    sockaddr_conn address{};
    address.sconn_family = AF_CONN;
    address.sconn_port = htons(port);
    address.sconn_addr = reinterpret_cast<void*>(id);
    return address;
}

template <typename Option>
bool setOption(struct socket* socket, int level, int name, const Option& value, const char* what) {
    if (usrsctp_setsockopt(socket, level, name, &value, sizeof(value)) == 0) return true;
    spdlog::warn("SctpAssociation: setting {} failed (errno {})", what, errno);
    return false;
}

}  // namespace

SctpAssociation::SctpAssociation(Settings settings, Callbacks callbacks)
    : settings_(settings), callbacks_(std::move(callbacks)), thread_(NetworkThread::current()),
      id_(Registry::instance().add(this)) {
    initializeUsrsctp(&SctpAssociation::onOutput);
    usrsctp_register_address(reinterpret_cast<void*>(id_));
    socket_ = usrsctp_socket(AF_CONN, SOCK_STREAM, IPPROTO_SCTP, nullptr, nullptr, 0, nullptr);
    if (!socket_) {
        spdlog::error("SctpAssociation: usrsctp_socket failed (errno {})", errno);
        return;
    }
    if (!configure()) {
        usrsctp_close(socket_);
        socket_ = nullptr;
    }
}

SctpAssociation::~SctpAssociation() {
    abort();
    usrsctp_deregister_address(reinterpret_cast<void*>(id_));
    Registry::instance().remove(id_);
}

bool SctpAssociation::configure() {
    usrsctp_set_non_blocking(socket_, 1);
    usrsctp_set_upcall(socket_, &SctpAssociation::onUpcall, reinterpret_cast<void*>(id_));
    // Closing the socket aborts the association: whatever is still queued is dropped. An orderly
    // end is shutdown(), before the close.
    const linger abortOnClose{1, 0};
    bool ok = setOption(socket_, SOL_SOCKET, SO_LINGER, abortOnClose, "SO_LINGER");
    const int sendBuffer = static_cast<int>(settings_.sendBuffer);
    const int receiveBuffer = static_cast<int>(settings_.receiveBuffer);
    ok = ok && setOption(socket_, SOL_SOCKET, SO_SNDBUF, sendBuffer, "SO_SNDBUF");
    ok = ok && setOption(socket_, SOL_SOCKET, SO_RCVBUF, receiveBuffer, "SO_RCVBUF");
    const int on = 1;
    ok = ok && setOption(socket_, IPPROTO_SCTP, SCTP_NODELAY, on, "SCTP_NODELAY");
    ok = ok && setOption(socket_, IPPROTO_SCTP, SCTP_EXPLICIT_EOR, on, "SCTP_EXPLICIT_EOR");
    ok = ok && setOption(socket_, IPPROTO_SCTP, SCTP_RECVRCVINFO, on, "SCTP_RECVRCVINFO");
    const sctp_assoc_value resets{SCTP_ALL_ASSOC, SCTP_ENABLE_RESET_STREAM_REQ};
    ok = ok && setOption(socket_, IPPROTO_SCTP, SCTP_ENABLE_STREAM_RESET, resets, "SCTP_ENABLE_STREAM_RESET");
    sctp_initmsg init{};
    init.sinit_num_ostreams = kStreams;
    init.sinit_max_instreams = kStreams;
    ok = ok && setOption(socket_, IPPROTO_SCTP, SCTP_INITMSG, init, "SCTP_INITMSG");
    sctp_rtoinfo rto{};
    rto.srto_assoc_id = SCTP_FUTURE_ASSOC;
    rto.srto_initial = kRtoInitial;
    rto.srto_min = kRtoMin;
    rto.srto_max = kRtoMax;
    ok = ok && setOption(socket_, IPPROTO_SCTP, SCTP_RTOINFO, rto, "SCTP_RTOINFO");
    sctp_paddrparams path{};
    path.spp_assoc_id = SCTP_FUTURE_ASSOC;
    path.spp_flags = SPP_HB_ENABLE | SPP_PMTUD_DISABLE;
    path.spp_hbinterval = static_cast<std::uint32_t>(settings_.heartbeatInterval.count());
    // usrsctp's path MTU leaves out the packet's 12-byte common header.
    path.spp_pathmtu = settings_.maxPacketSize - kCommonHeaderSize;
    ok = ok && setOption(socket_, IPPROTO_SCTP, SCTP_PEER_ADDR_PARAMS, path, "SCTP_PEER_ADDR_PARAMS");
    for (const std::uint16_t type : {SCTP_ASSOC_CHANGE, SCTP_SHUTDOWN_EVENT, SCTP_STREAM_RESET_EVENT, SCTP_REMOTE_ERROR}) {
        sctp_event event{};
        event.se_assoc_id = SCTP_ALL_ASSOC;
        event.se_type = type;
        event.se_on = 1;
        ok = ok && setOption(socket_, IPPROTO_SCTP, SCTP_EVENT, event, "SCTP_EVENT");
    }
    sockaddr_conn local = connAddress(id_, settings_.localPort);
    if (ok && usrsctp_bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        spdlog::error("SctpAssociation: usrsctp_bind failed (errno {})", errno);
        ok = false;
    }
    return ok;
}

bool SctpAssociation::connect() {
    if (!socket_) return false;
    sockaddr_conn remote = connAddress(id_, settings_.remotePort);
    const int result = usrsctp_connect(socket_, reinterpret_cast<sockaddr*>(&remote), sizeof(remote));
    if (result != 0 && errno != EINPROGRESS) {
        spdlog::error("SctpAssociation: usrsctp_connect failed (errno {})", errno);
        return false;
    }
    return true;
}

void SctpAssociation::input(const std::uint8_t* packet, std::size_t size) {
    if (!socket_ || ended_ || !sctp::checksumValid(packet, size)) return;
    usrsctp_conninput(reinterpret_cast<void*>(id_), packet, size, 0);
}

std::int64_t SctpAssociation::send(std::uint16_t stream, std::uint32_t ppid, const SendOptions& options,
                                   const std::uint8_t* data, std::size_t size, bool endOfMessage) {
    if (!socket_ || !connected_ || ended_) return -1;
    sctp_sendv_spa info{};
    info.sendv_flags = SCTP_SEND_SNDINFO_VALID;
    info.sendv_sndinfo.snd_sid = stream;
    info.sendv_sndinfo.snd_ppid = htonl(ppid);
    info.sendv_sndinfo.snd_flags = static_cast<std::uint16_t>((options.ordered ? 0 : SCTP_UNORDERED) |
                                                              (endOfMessage ? SCTP_EOR : 0));
    if (options.partial != SendOptions::Partial::None) {
        info.sendv_flags |= SCTP_SEND_PRINFO_VALID;
        info.sendv_prinfo.pr_policy = options.partial == SendOptions::Partial::Rexmit ? SCTP_PR_SCTP_RTX : SCTP_PR_SCTP_TTL;
        info.sendv_prinfo.pr_value = options.prValue;
    }
    const ssize_t sent = usrsctp_sendv(socket_, data, size, nullptr, 0, &info, sizeof(info), SCTP_SENDV_SPA, 0);
    if (sent >= 0) return sent;
    if (errno == EWOULDBLOCK || errno == EAGAIN) return 0;
    spdlog::warn("SctpAssociation: usrsctp_sendv failed (errno {})", errno);
    return -1;
}

std::optional<SctpAssociation::Message> SctpAssociation::receive() {
    while (socket_ && !ended_) {
        // The first piece of a message lands in the scratch buffer, so a small message gets a
        // buffer of its own size; the pieces of a longer one are read straight onto its end.
        const bool joining = !incoming_.isEmpty();
        const qsizetype held = incoming_.size();
        if (joining) {
            if (incoming_.capacity() - held < kReadChunk) incoming_.reserve(held + std::max<qsizetype>(held, kReadChunk));
            incoming_.resize(held + kReadChunk);
        } else if (scratch_.empty()) {
            scratch_.resize(kReadChunk);
        }
        char* into = joining ? incoming_.data() + held : reinterpret_cast<char*>(scratch_.data());
        sctp_rcvinfo info{};
        socklen_t infoSize = sizeof(info);
        unsigned int infoType = 0;
        int flags = 0;
        sockaddr_conn from{};
        socklen_t fromSize = sizeof(from);
        const ssize_t read = usrsctp_recvv(socket_, into, kReadChunk, reinterpret_cast<sockaddr*>(&from), &fromSize,
                                           &info, &infoSize, &infoType, &flags);
        if (joining) incoming_.resize(held + std::max<ssize_t>(read, 0));
        if (read <= 0) return std::nullopt;
        if (flags & MSG_NOTIFICATION) {
            // Notifications are small and whole, and never fall inside a message's pieces.
            if (joining) {
                fail("notification inside a message");
                return std::nullopt;
            }
            handleNotification(scratch_.data(), static_cast<std::size_t>(read));
            continue;
        }
        const std::uint32_t ppid = ntohl(info.rcv_ppid);
        if (joining && (info.rcv_sid != incomingStream_ || ppid != incomingPpid_)) {
            fail("message pieces of two streams interleaved");
            return std::nullopt;
        }
        if (!joining) {
            incomingStream_ = info.rcv_sid;
            incomingPpid_ = ppid;
        }
        if (static_cast<std::uint64_t>(held) + static_cast<std::uint64_t>(read) > settings_.maxMessageSize) {
            spdlog::warn("SctpAssociation: the peer sent a message of more than {} bytes on stream {}",
                         settings_.maxMessageSize, incomingStream_);
            fail("message larger than the maximum message size");
            return std::nullopt;
        }
        if (!joining) incoming_ = QByteArray(into, static_cast<qsizetype>(read));
        if (flags & MSG_EOR) {
            Message message{incomingStream_, incomingPpid_, std::move(incoming_)};
            incoming_ = QByteArray();
            return message;
        }
    }
    return std::nullopt;
}

bool SctpAssociation::resetStream(std::uint16_t stream) {
    if (!socket_ || !connected_ || ended_) return false;
    // The request is its header followed by the list of streams, here one.
    alignas(sctp_reset_streams) std::uint8_t request[sizeof(sctp_reset_streams) + sizeof(std::uint16_t)] = {};
    auto* header = reinterpret_cast<sctp_reset_streams*>(request);
    header->srs_assoc_id = SCTP_ALL_ASSOC;
    header->srs_flags = SCTP_STREAM_RESET_OUTGOING;
    header->srs_number_streams = 1;
    std::memcpy(request + offsetof(sctp_reset_streams, srs_stream_list), &stream, sizeof(stream));
    if (usrsctp_setsockopt(socket_, IPPROTO_SCTP, SCTP_RESET_STREAMS, request, sizeof(request)) == 0) return true;
    spdlog::debug("SctpAssociation: resetting stream {} failed (errno {})", stream, errno);
    return false;
}

bool SctpAssociation::shutdown() {
    if (!socket_ || !connected_ || ended_) return false;
    // SCTP sends its SHUTDOWN once everything queued is acknowledged; SHUTDOWN_COMP reports the end.
    if (usrsctp_shutdown(socket_, SHUT_WR) == 0) return true;
    spdlog::debug("SctpAssociation: shutdown failed (errno {})", errno);
    return false;
}

void SctpAssociation::abort() {
    if (!socket_) return;
    ended_ = true;
    connected_ = false;
    usrsctp_set_upcall(socket_, nullptr, nullptr);
    usrsctp_close(socket_);  // SO_LINGER 0: sends ABORT to an association still up
    socket_ = nullptr;
}

void SctpAssociation::handleNotification(const std::uint8_t* data, std::size_t size) {
    union sctp_notification notification;
    if (size < sizeof(notification.sn_header)) return;
    std::memcpy(&notification, data, std::min(size, sizeof(notification)));
    switch (notification.sn_header.sn_type) {
    case SCTP_ASSOC_CHANGE:
        if (size < sizeof(sctp_assoc_change)) return;
        switch (notification.sn_assoc_change.sac_state) {
        case SCTP_COMM_UP:
            if (!connected_) {
                connected_ = true;
                callbacks_.connected();
            }
            break;
        case SCTP_COMM_LOST:
            fail("association lost");
            break;
        case SCTP_CANT_STR_ASSOC:
            fail("association could not be started");
            break;
        case SCTP_SHUTDOWN_COMP:
            closeInOrder();
            break;
        default:
            break;
        }
        break;
    case SCTP_SHUTDOWN_EVENT:
        closeInOrder();
        break;
    case SCTP_STREAM_RESET_EVENT: {
        // The stream list follows the fixed part in the original bytes.
        const std::size_t fixed = offsetof(sctp_stream_reset_event, strreset_stream_list);
        if (size < fixed) return;
        const sctp_stream_reset_event& event = notification.sn_strreset_event;
        if (!(event.strreset_flags & SCTP_STREAM_RESET_INCOMING_SSN) ||
            (event.strreset_flags & (SCTP_STREAM_RESET_DENIED | SCTP_STREAM_RESET_FAILED)))
            return;
        const std::size_t length = std::min<std::size_t>(event.strreset_length, size);
        for (std::size_t offset = fixed; offset + 2 <= length; offset += 2) {
            std::uint16_t stream = 0;
            std::memcpy(&stream, data + offset, sizeof(stream));
            callbacks_.incomingStreamReset(stream);
        }
        break;
    }
    case SCTP_REMOTE_ERROR:
        spdlog::debug("SctpAssociation: the peer reported an error");
        break;
    default:
        break;
    }
}

void SctpAssociation::closeInOrder() {
    if (ended_) return;
    ended_ = true;
    connected_ = false;
    callbacks_.closed();
}

void SctpAssociation::fail(const std::string& reason) {
    if (ended_) return;
    ended_ = true;
    connected_ = false;
    callbacks_.failed(reason);
}

int SctpAssociation::onOutput(void* address, void* buffer, std::size_t length, std::uint8_t, std::uint8_t) {
    const auto id = reinterpret_cast<std::uintptr_t>(address);
    auto* packet = static_cast<std::uint8_t*>(buffer);
    sctp::writeChecksum(packet, length);
    SctpAssociation* here = nullptr;
    Registry::instance().with(id, [&](SctpAssociation* association) {
        if (!association) return;
        if (association->thread_->isCurrent()) {
            here = association;  // its own thread: nothing can destroy it meanwhile
            return;
        }
        association->thread_->post([id, copy = std::vector<std::uint8_t>(packet, packet + length)] {
            Registry::instance().with(id, [&](SctpAssociation* found) {
                if (found) found->callbacks_.sendPacket(copy.data(), copy.size());
            });
        });
    });
    if (here) here->callbacks_.sendPacket(packet, length);
    return 0;
}

// usrsctp holds its own locks while it calls this: the work it announces runs from the
// association's thread's queue instead, once per burst of upcalls.
void SctpAssociation::onUpcall(struct socket*, void* argument, int) {
    const auto id = reinterpret_cast<std::uintptr_t>(argument);
    Registry::instance().with(id, [id](SctpAssociation* association) {
        if (!association || association->eventsPosted_.exchange(true)) return;
        association->thread_->post([id] {
            SctpAssociation* found = nullptr;
            Registry::instance().with(id, [&](SctpAssociation* association) { found = association; });
            if (found) found->processEvents();  // on its own thread: it stays while this runs
        });
    });
}

void SctpAssociation::processEvents() {
    eventsPosted_ = false;
    if (!socket_ || ended_) return;
    const int events = usrsctp_get_events(socket_);
    if (events & SCTP_EVENT_READ) callbacks_.readable();
    if (socket_ && !ended_ && (events & SCTP_EVENT_WRITE)) callbacks_.writable();
}

}  // namespace veltrix
