#include "transport/P2PWebRtcBridge.h"

#include "platform/InstanceConfig.h"

#include <gst/sdp/sdp.h>

#include <QMetaObject>
#include <spdlog/spdlog.h>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace veltrix {

using p2p::IceSettings;
using p2p::kDefaultStunPort;
using p2p::steadyNowNs;

namespace {

// ICE servers and candidate rules. The STUN and TURN hosts and the candidate restrictions are
// instance configuration, so a test instance never reaches outside the machine.
//   stun/host              STUN server, the same one the heartbeat's NAT probe asks; present
//                          but empty: no STUN server
//   stun/secondary_host    a second STUN server (only with stun/host)
//   stun/port              the STUN servers' port (19302)
//   turn/host, turn/port   the deployment's TURN relay (TURN over TLS), the default until the
//                          transport manager sets its own; used only once a password is set
//   p2p/localAddresses     addresses ICE gathers from, separated by blanks (e.g. 127.0.0.1)
//   p2p/iceTransportPolicy "relay" offers only TURN relay candidates
constexpr const char* kDefaultStunHost = "stun.l.google.com";
constexpr const char* kDefaultSecondaryStunHost = "stun1.l.google.com";

// How often an offer without data channels is asked for again.
constexpr int kOfferAttempts = 50;

// How long a teardown waits for the closing of open channels to reach the peer.
constexpr std::chrono::milliseconds kCloseGrace{300};

// Items separated by blanks (a comma in an instance-file value would make it a list).
std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::string item;
    for (char c : text + ' ') {
        if (c == ' ' || c == '\t' || c == ',') {
            if (!item.empty()) items.push_back(std::move(item));
            item.clear();
        } else {
            item += c;
        }
    }
    return items;
}

// The configured STUN servers; without a configured host the public defaults, both of them.
std::vector<std::string> stunServersFromConfig() {
    const auto host = platform::config::value("stun/host");
    if (!host) return {kDefaultStunHost, kDefaultSecondaryStunHost};
    std::vector<std::string> servers = splitList(*host);
    if (servers.empty()) return servers;
    for (auto& secondary : splitList(platform::config::value("stun/secondary_host").value_or(""))) {
        if (secondary != servers.front()) servers.push_back(std::move(secondary));
    }
    return servers;
}

std::string uriEscape(const std::string& text) {
    gchar* escaped = g_uri_escape_string(text.c_str(), nullptr, FALSE);
    std::string result = escaped;
    g_free(escaped);
    return result;
}

const char* labelOf(ChannelType channel) { return channel == ChannelType::Control ? "control" : "video"; }
int indexOf(ChannelType channel) { return channel == ChannelType::Control ? 0 : 1; }

// The a=mid values of a description's m-lines, by m-line index.
std::vector<std::string> midsOf(const GstSDPMessage* sdp) {
    std::vector<std::string> mids;
    for (guint i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
        const gchar* mid = gst_sdp_media_get_attribute_val(gst_sdp_message_get_media(sdp, i), "mid");
        mids.emplace_back(mid ? mid : std::to_string(i));
    }
    return mids;
}

void flushSctpEncoders(GstElement* pipeline) {
    GstIterator* elements = gst_bin_iterate_recurse(GST_BIN(pipeline));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(elements, &item) == GST_ITERATOR_OK) {
        auto* element = GST_ELEMENT(g_value_get_object(&item));
        GstElementFactory* factory = gst_element_get_factory(element);
        if (factory && g_strcmp0(GST_OBJECT_NAME(factory), "sctpenc") == 0) {
            GstIterator* pads = gst_element_iterate_sink_pads(element);
            GValue padItem = G_VALUE_INIT;
            while (gst_iterator_next(pads, &padItem) == GST_ITERATOR_OK) {
                gst_pad_send_event(GST_PAD(g_value_get_object(&padItem)), gst_event_new_flush_start());
                g_value_reset(&padItem);
            }
            g_value_unset(&padItem);
            gst_iterator_free(pads);
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(elements);
}

// Per-second message and byte counters of the control channel, one pair for channels created as
// offerer and one for channels adopted as answerer, process-wide. Library threads write them.
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
    if (!counters.lastReportNs.compare_exchange_strong(last, now)) return;  // another thread reports
    spdlog::info("P2PTransport: control channel received {} msgs / {} bytes in last 1s ({})",
                 counters.messages.exchange(0), counters.bytes.exchange(0), offerer ? "offerer" : "answerer");
}

GstBusSyncReply logBusMessage(GstBus*, GstMessage* message, gpointer) {
    GError* error = nullptr;
    gchar* debug = nullptr;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        gst_message_parse_error(message, &error, &debug);
        spdlog::error("P2PTransport: GStreamer error: {}", error ? error->message : "unknown");
    } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_WARNING) {
        gst_message_parse_warning(message, &error, &debug);
        spdlog::warn("P2PTransport: GStreamer warning: {}", error ? error->message : "unknown");
    }
    if (error) g_error_free(error);
    g_free(debug);
    return GST_BUS_DROP;  // nothing reads the bus; keep it from piling up
}

// What the probe on the SCTP decoder's input needs: the window, not the bridge, so a pad that
// outlives the attempt keeps nothing else alive.
struct DecoderProbe {
    std::shared_ptr<ReceiveWindow> window;
};

}  // namespace

namespace p2p {

int portFromConfig(const char* key, int fallback) {
    const auto value = platform::config::value(key);
    if (!value) return fallback;
    char* end = nullptr;
    const long port = std::strtol(value->c_str(), &end, 10);
    return end != value->c_str() && *end == '\0' && port > 0 && port <= 65535 ? static_cast<int>(port) : fallback;
}

IceSettings iceSettingsFromConfig(const TurnServerConfig& turn) {
    IceSettings settings;
    settings.stunServers = stunServersFromConfig();
    settings.stunPort = portFromConfig("stun/port", kDefaultStunPort);
    settings.localAddresses = splitList(platform::config::value("p2p/localAddresses").value_or(""));
    settings.relayOnly = platform::config::value("p2p/iceTransportPolicy").value_or("") == "relay";
    settings.turn = turn;
    return settings;
}

void initializeGStreamer() {
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

std::int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace p2p

template <typename Work>
void P2PTransport::WebRtcBridge::post(Work&& work) {
    std::lock_guard lock(mutex_);
    if (!owner_) return;
    owner_->post(generation_, [owner = owner_, work = std::forward<Work>(work)]() mutable { work(*owner); });
}

template <typename Callback>
void P2PTransport::WebRtcBridge::connectSignal(gpointer instance, const char* signal, Callback callback,
                                               ChannelType channel) {
    std::lock_guard lock(mutex_);
    if (released_) return;
    auto* handler = new Handler{shared_from_this(), channel};
    const gulong id = g_signal_connect_data(
        instance, signal, G_CALLBACK(callback), handler,
        [](gpointer data, GClosure*) { delete static_cast<Handler*>(data); }, GConnectFlags(0));
    handlers_.emplace_back(instance, id);
}

GstPromise* P2PTransport::WebRtcBridge::newPromise(GstPromiseChangeFunc func) {
    return gst_promise_new_with_change_func(func, new Handler{shared_from_this(), ChannelType::Control},
                                            [](gpointer data) { delete static_cast<Handler*>(data); });
}

GstElement* P2PTransport::WebRtcBridge::webrtcRef() {
    std::lock_guard lock(mutex_);
    return webrtc_ ? GST_ELEMENT(gst_object_ref(webrtc_)) : nullptr;
}

GstWebRTCDataChannel* P2PTransport::WebRtcBridge::channelRef(ChannelType channel) {
    std::lock_guard lock(mutex_);
    GstWebRTCDataChannel* found = channels_[indexOf(channel)];
    return found ? GST_WEBRTC_DATA_CHANNEL(g_object_ref(found)) : nullptr;
}

// Runs on the Qt thread, which is the only writer of the element pointers; no lock is held while
// webrtcbin is called, since it may call back synchronously.
bool P2PTransport::WebRtcBridge::create(const IceSettings& settings) {
    GstElement* pipeline = gst_pipeline_new(nullptr);
    GstElement* webrtc = gst_element_factory_make("webrtcbin", nullptr);
    if (!pipeline || !webrtc) {
        spdlog::error("P2PTransport: cannot create the webrtcbin element (GStreamer plug-ins missing)");
        if (webrtc) gst_object_unref(webrtc);
        if (pipeline) gst_object_unref(pipeline);
        return false;
    }
    gst_bin_add(GST_BIN(pipeline), webrtc);
    {
        std::lock_guard lock(mutex_);
        pipeline_ = pipeline;
        webrtc_ = webrtc;
    }
    GstBus* bus = gst_element_get_bus(pipeline_);
    gst_bus_set_sync_handler(bus, logBusMessage, nullptr, nullptr);
    gst_object_unref(bus);

    applyIceSettings(settings);
    connectSignal(pipeline_, "deep-element-added", onElementAdded);
    connectSignal(webrtc_, "on-negotiation-needed", onNegotiationNeeded);
    connectSignal(webrtc_, "on-ice-candidate", onIceCandidate);
    connectSignal(webrtc_, "notify::connection-state", onConnectionState);
    connectSignal(webrtc_, "notify::ice-gathering-state", onGatheringState);
    if (!offerer_) connectSignal(webrtc_, "on-data-channel", onIncomingChannel);

    // The channels must exist before PLAYING: negotiation-needed fires on that change, and an
    // offer made without them would carry no data-channel m-line.
    if (gst_element_set_state(pipeline_, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
        spdlog::error("P2PTransport: webrtcbin refused the READY state");
        return false;
    }
    if (offerer_) createChannels();
    if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        spdlog::error("P2PTransport: webrtcbin refused the PLAYING state");
        return false;
    }
    return true;
}

void P2PTransport::WebRtcBridge::applyIceSettings(const IceSettings& settings) {
    // webrtcbin takes a single STUN server.
    if (!settings.stunServers.empty()) {
        const std::string url = "stun://" + settings.stunServers.front() + ":" + std::to_string(settings.stunPort);
        g_object_set(webrtc_, "stun-server", url.c_str(), nullptr);
        for (std::size_t i = 1; i < settings.stunServers.size(); ++i)
            spdlog::info("P2PTransport: STUN server {}:{} not used (webrtcbin takes one STUN server)",
                         settings.stunServers[i], settings.stunPort);
    }
    const TurnServerConfig& turn = settings.turn;
    if (turn.password.empty()) {
        spdlog::info("P2PTransport: no TURN server offered: no TURN password set");
    } else if (turn.host.empty()) {
        spdlog::warn("P2PTransport: no TURN server offered: no TURN host configured");
    } else {
        const std::string url = "turns://" + uriEscape(turn.username) + ":" + uriEscape(turn.password) + "@" +
                                turn.host + ":" + std::to_string(turn.port);
        gboolean added = FALSE;
        g_signal_emit_by_name(webrtc_, "add-turn-server", url.c_str(), &added);
        if (!added) spdlog::warn("P2PTransport: TURN server {}:{} refused", turn.host, turn.port);
    }
    if (settings.relayOnly) g_object_set(webrtc_, "ice-transport-policy", GST_WEBRTC_ICE_TRANSPORT_POLICY_RELAY, nullptr);

    GstWebRTCICE* ice = nullptr;
    g_object_get(webrtc_, "ice-agent", &ice, nullptr);
    if (!ice) return;
    // Only UDP candidates, like the data-channel stacks peers commonly use. libnice also needs
    // this before it will gather from an explicitly added loopback address.
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "ice-tcp")) g_object_set(ice, "ice-tcp", FALSE, nullptr);
    for (const std::string& address : settings.localAddresses) {
        gboolean added = FALSE;
        g_signal_emit_by_name(ice, "add-local-ip-address", address.c_str(), &added);
        if (!added) spdlog::warn("P2PTransport: local address {} refused by ICE", address);
    }
    gst_object_unref(ice);
}

void P2PTransport::WebRtcBridge::createChannels() {
    GstStructure* ordered = gst_structure_new("options", "ordered", G_TYPE_BOOLEAN, TRUE, nullptr);
    GstWebRTCDataChannel* control = nullptr;
    g_signal_emit_by_name(webrtc_, "create-data-channel", "control", ordered, &control);
    gst_structure_free(ordered);
    GstWebRTCDataChannel* video = nullptr;
    g_signal_emit_by_name(webrtc_, "create-data-channel", "video", nullptr, &video);
    if (control) adoptChannel(control, ChannelType::Control);
    if (video) adoptChannel(video, ChannelType::Video);
    if (!control || !video) spdlog::error("P2PTransport: webrtcbin did not create the data channels");
}

// Takes over a reference to `channel`.
void P2PTransport::WebRtcBridge::adoptChannel(GstWebRTCDataChannel* channel, ChannelType type) {
    {
        std::lock_guard lock(mutex_);
        if (released_) {  // arrived while the attempt was being torn down
            g_object_unref(channel);
            return;
        }
        GstWebRTCDataChannel*& slot = channels_[indexOf(type)];
        if (slot) g_object_unref(slot);
        slot = channel;
    }
    connectSignal(channel, "on-open", onChannelOpen, type);
    connectSignal(channel, "on-close", onChannelClose, type);
    connectSignal(channel, "on-error", onChannelError, type);
    connectSignal(channel, "on-message-data", onChannelData, type);
    // Text messages are not part of the protocol: "on-message-string" stays unconnected.
}

void P2PTransport::WebRtcBridge::shutdown() {
    // A library thread held back by the receive window must not wait for a Qt thread that is
    // about to join it.
    window_->close();
    GstWebRTCDataChannel* open[2] = {nullptr, nullptr};
    {
        std::lock_guard lock(mutex_);
        owner_ = nullptr;
        for (int i = 0; i < 2; ++i) {
            if (!channels_[i]) continue;
            GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
            g_object_get(channels_[i], "ready-state", &state, nullptr);
            if (state == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) open[i] = GST_WEBRTC_DATA_CHANNEL(g_object_ref(channels_[i]));
        }
    }
    // Closing the channels is what tells the peer; webrtcbin says nothing when the element just
    // stops. Give the closing a moment to go out before the element is stopped.
    for (GstWebRTCDataChannel* channel : open)
        if (channel) gst_webrtc_data_channel_close(channel);
    {
        std::unique_lock lock(mutex_);
        channelClosed_.wait_for(lock, kCloseGrace, [&] {
            return (!open[0] || channelClosedFlags_[0]) && (!open[1] || channelClosedFlags_[1]);
        });
    }
    for (GstWebRTCDataChannel* channel : open)
        if (channel) g_object_unref(channel);
    release();
}

void P2PTransport::WebRtcBridge::release() {
    window_->close();
    std::vector<std::pair<gpointer, gulong>> handlers;
    GstElement* pipeline = nullptr;
    GstWebRTCDataChannel* channels[2];
    {
        std::lock_guard lock(mutex_);
        owner_ = nullptr;
        released_ = true;
        handlers.swap(handlers_);
        pipeline = std::exchange(pipeline_, nullptr);
        webrtc_ = nullptr;  // owned by the pipeline
        channels[0] = std::exchange(channels_[0], nullptr);
        channels[1] = std::exchange(channels_[1], nullptr);
    }
    // Disconnected handlers keep their bridge reference until a running invocation has returned.
    for (auto& [instance, id] : handlers)
        if (g_signal_handler_is_connected(instance, id)) g_signal_handler_disconnect(instance, id);
    // NULL joins webrtcbin's own and its streaming threads; no callback runs after it returns.
    // The SCTP encoder can hold a streaming thread waiting for send-buffer space that a gone
    // peer never frees, and would then block the state change; flushing its inputs releases it.
    if (pipeline) {
        flushSctpEncoders(pipeline);
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_element_get_state(pipeline, nullptr, nullptr, 2 * GST_SECOND);
    }
    for (GstWebRTCDataChannel* channel : channels)
        if (channel) g_object_unref(channel);
    if (pipeline) gst_object_unref(pipeline);
}

bool P2PTransport::WebRtcBridge::send(ChannelType type, const std::uint8_t* data, std::uint64_t size) {
    GstWebRTCDataChannel* channel = channelRef(type);
    if (!channel) return false;
    std::size_t piecesSent = 0;
    bool ok = framing::splitMessage(data, size, [&](const std::uint8_t* header, std::size_t headerSize,
                                                    const std::uint8_t* payload, std::size_t payloadSize) {
        auto* piece = static_cast<std::uint8_t*>(g_malloc(headerSize + payloadSize));
        std::memcpy(piece, header, headerSize);
        if (payloadSize > 0) std::memcpy(piece + headerSize, payload, payloadSize);
        GBytes* bytes = g_bytes_new_take(piece, headerSize + payloadSize);
        GError* error = nullptr;
        const bool sent = gst_webrtc_data_channel_send_data_full(channel, bytes, &error);
        g_bytes_unref(bytes);
        if (!sent) {
            spdlog::warn("P2PTransport::send failed: {}", error ? error->message : "data channel refused the message");
            if (error) g_error_free(error);
        } else {
            ++piecesSent;
        }
        return sent;
    });
    g_object_unref(channel);
    // The peer holds the start of a message whose rest never comes, and every later piece would
    // be read as its continuation: the channel is of no use any more.
    if (!ok && piecesSent > 0)
        post([](P2PTransport& transport) { transport.onConnectionLost("message cut off while sending"); });
    return ok;
}

bool P2PTransport::WebRtcBridge::sendKeepAlive() {
    static const std::uint8_t keepAlive = static_cast<std::uint8_t>(framing::PieceKind::KeepAlive);
    return sendControlPiece(&keepAlive);
}

bool P2PTransport::WebRtcBridge::sendControlPiece(const std::uint8_t* piece) {
    GstWebRTCDataChannel* channel = channelRef(ChannelType::Control);
    if (!channel) return false;
    GBytes* bytes = g_bytes_new_static(piece, 1);
    const bool sent = gst_webrtc_data_channel_send_data_full(channel, bytes, nullptr);
    g_bytes_unref(bytes);
    g_object_unref(channel);
    return sent;
}

bool P2PTransport::WebRtcBridge::sendText(ChannelType type, const QByteArray& text) {
    GstWebRTCDataChannel* channel = channelRef(type);
    if (!channel) return false;
    const bool sent = gst_webrtc_data_channel_send_string_full(channel, text.constData(), nullptr);
    g_object_unref(channel);
    return sent;
}

bool P2PTransport::WebRtcBridge::sendRawPiece(ChannelType type, const QByteArray& piece) {
    GstWebRTCDataChannel* channel = channelRef(type);
    if (!channel) return false;
    GBytes* bytes = g_bytes_new(piece.constData(), static_cast<gsize>(piece.size()));
    const bool sent = gst_webrtc_data_channel_send_data_full(channel, bytes, nullptr);
    g_bytes_unref(bytes);
    g_object_unref(channel);
    return sent;
}

std::uint64_t P2PTransport::WebRtcBridge::bufferedAmount(ChannelType type) {
    GstWebRTCDataChannel* channel = channelRef(type);
    if (!channel) return 0;
    GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
    guint64 amount = 0;
    g_object_get(channel, "ready-state", &state, "buffered-amount", &amount, nullptr);
    g_object_unref(channel);
    return state == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN ? amount : 0;
}

bool P2PTransport::WebRtcBridge::setRemoteDescription(const std::string& sdp, const std::string& type) {
    GstWebRTCSDPType sdpType;
    if (type == "offer")
        sdpType = GST_WEBRTC_SDP_TYPE_OFFER;
    else if (type == "answer")
        sdpType = GST_WEBRTC_SDP_TYPE_ANSWER;
    else
        return false;
    GstSDPMessage* message = nullptr;
    if (gst_sdp_message_new_from_text(sdp.c_str(), &message) != GST_SDP_OK || !message) {
        if (message) gst_sdp_message_free(message);
        return false;
    }
    if (gst_sdp_message_medias_len(message) == 0) {  // nothing a data channel could ride on
        gst_sdp_message_free(message);
        return false;
    }
    GstElement* webrtc = webrtcRef();
    if (!webrtc) {
        gst_sdp_message_free(message);
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        remoteMids_ = midsOf(message);
        hasRemoteDescription_ = true;
    }
    GstWebRTCSessionDescription* description = gst_webrtc_session_description_new(sdpType, message);
    g_signal_emit_by_name(webrtc, "set-remote-description", description, newPromise(onRemoteDescriptionSet));
    gst_webrtc_session_description_free(description);
    gst_object_unref(webrtc);
    return true;
}

bool P2PTransport::WebRtcBridge::hasRemoteDescription() {
    std::lock_guard lock(mutex_);
    return hasRemoteDescription_;
}

std::optional<guint> P2PTransport::WebRtcBridge::remoteMlineOf(const std::string& mid) {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < remoteMids_.size(); ++i)
        if (remoteMids_[i] == mid) return static_cast<guint>(i);
    return std::nullopt;
}

void P2PTransport::WebRtcBridge::addRemoteCandidate(guint mline, const std::string& candidate) {
    if (GstElement* webrtc = webrtcRef()) {
        g_signal_emit_by_name(webrtc, "add-ice-candidate", mline, candidate.c_str());
        gst_object_unref(webrtc);
    }
}

// webrtcbin makes offers and answers only when asked: the offerer asks once negotiation is needed,
// the answerer once the remote offer is in place.
void P2PTransport::WebRtcBridge::onNegotiationNeeded(GstElement* webrtc, gpointer data) {
    WebRtcBridge& bridge = from(data);
    if (!bridge.offerer_ || bridge.offerMade_.load()) return;
    g_signal_emit_by_name(webrtc, "create-offer", nullptr, bridge.newPromise(onOfferCreated));
}

void P2PTransport::WebRtcBridge::onOfferCreated(GstPromise* promise, gpointer data) {
    WebRtcBridge& bridge = from(data);
    GstWebRTCSessionDescription* offer = nullptr;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED)
        gst_structure_get(gst_promise_get_reply(promise), "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
    gst_promise_unref(promise);
    if (!offer) {
        spdlog::warn("P2PTransport: webrtcbin produced no offer");
        return;
    }
    // Now and then webrtcbin answers the first request with an offer that does not carry the
    // data channels yet; ask again shortly (bounded) rather than send an offer nothing can use.
    if (gst_sdp_message_medias_len(offer->sdp) == 0) {
        gst_webrtc_session_description_free(offer);
        if (bridge.offerAttempts_.fetch_add(1) >= kOfferAttempts) {
            spdlog::error("P2PTransport: webrtcbin offers no data channels");
            return;
        }
        g_usleep(10 * 1000);
        if (GstElement* webrtc = bridge.webrtcRef()) {
            g_signal_emit_by_name(webrtc, "create-offer", nullptr, bridge.newPromise(onOfferCreated));
            gst_object_unref(webrtc);
        }
        return;
    }
    if (bridge.offerMade_.exchange(true)) {  // one offer per attempt
        gst_webrtc_session_description_free(offer);
        return;
    }
    bridge.forwardLocalDescription(offer, "offer");
    gst_webrtc_session_description_free(offer);
}

void P2PTransport::WebRtcBridge::onRemoteDescriptionSet(GstPromise* promise, gpointer data) {
    WebRtcBridge& bridge = from(data);
    const GstStructure* reply =
        gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED ? gst_promise_get_reply(promise) : nullptr;
    if (reply && gst_structure_has_field(reply, "error")) {
        GError* error = nullptr;
        gst_structure_get(reply, "error", G_TYPE_ERROR, &error, nullptr);
        spdlog::warn("P2PTransport: remote description refused: {}", error ? error->message : "unknown error");
        if (error) g_error_free(error);
        gst_promise_unref(promise);
        return;
    }
    gst_promise_unref(promise);
    if (bridge.offerer_) return;
    if (GstElement* webrtc = bridge.webrtcRef()) {
        g_signal_emit_by_name(webrtc, "create-answer", nullptr, bridge.newPromise(onAnswerCreated));
        gst_object_unref(webrtc);
    }
}

void P2PTransport::WebRtcBridge::onAnswerCreated(GstPromise* promise, gpointer data) {
    WebRtcBridge& bridge = from(data);
    GstWebRTCSessionDescription* answer = nullptr;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED)
        gst_structure_get(gst_promise_get_reply(promise), "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer,
                          nullptr);
    gst_promise_unref(promise);
    if (!answer) {
        spdlog::warn("P2PTransport: webrtcbin produced no answer");
        return;
    }
    bridge.forwardLocalDescription(answer, "answer");
    gst_webrtc_session_description_free(answer);
}

void P2PTransport::WebRtcBridge::forwardLocalDescription(GstWebRTCSessionDescription* description, const char* type) {
    GstElement* webrtc = webrtcRef();
    if (!webrtc) return;
    {
        std::lock_guard lock(mutex_);
        localMids_ = midsOf(description->sdp);
    }
    g_signal_emit_by_name(webrtc, "set-local-description", description, nullptr);
    gst_object_unref(webrtc);

    gchar* text = gst_sdp_message_as_text(description->sdp);
    const QString sdp = QString::fromUtf8(text);
    g_free(text);
    spdlog::info("P2PTransport: local description ready (type={})", type);
    post([sdp, type = QString::fromLatin1(type)](P2PTransport& transport) { transport.onLocalDescription(sdp, type); });
}

// Candidates name their m-line by index here and by mid in signaling; both ends map through the
// descriptions' a=mid lines.
void P2PTransport::WebRtcBridge::onIceCandidate(GstElement*, guint mline, gchar* candidate, gpointer data) {
    WebRtcBridge& bridge = from(data);
    if (!candidate || !*candidate) return;  // end of candidates
    std::string mid;
    {
        std::lock_guard lock(bridge.mutex_);
        mid = mline < bridge.localMids_.size() ? bridge.localMids_[mline] : std::to_string(mline);
    }
    spdlog::debug("P2PTransport: local ICE candidate: {}", candidate);
    bridge.post([text = QString::fromUtf8(candidate), mid = QString::fromStdString(mid)](P2PTransport& transport) {
        transport.onLocalCandidate(text, mid);
    });
}

void P2PTransport::WebRtcBridge::onConnectionState(GObject* object, GParamSpec*, gpointer data) {
    GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
    g_object_get(object, "connection-state", &state, nullptr);
    spdlog::info("P2PTransport: PeerConnection state -> {}", static_cast<int>(state));
    if (state == GST_WEBRTC_PEER_CONNECTION_STATE_FAILED || state == GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED)
        from(data).post([](P2PTransport& transport) { transport.onConnectionLost("peer connection ended"); });
}

void P2PTransport::WebRtcBridge::onGatheringState(GObject* object, GParamSpec*, gpointer) {
    GstWebRTCICEGatheringState state = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
    g_object_get(object, "ice-gathering-state", &state, nullptr);
    spdlog::info("P2PTransport: ICE gathering state -> {}", static_cast<int>(state));
}

// UPnP port mapping sends multicast discovery on the local network; this transport never asks
// for it. libnice's agent is reachable only through the ICE elements webrtcbin adds.
void P2PTransport::WebRtcBridge::onElementAdded(GstBin*, GstBin*, GstElement* element, gpointer data) {
    GstElementFactory* factory = gst_element_get_factory(element);
    if (factory && g_strcmp0(GST_OBJECT_NAME(factory), "sctpdec") == 0) {
        if (GstPad* input = gst_element_get_static_pad(element, "sink")) {
            gst_pad_add_probe(input, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                              onAssociationInput, new DecoderProbe{from(data).window_},
                              [](gpointer probe) { delete static_cast<DecoderProbe*>(probe); });
            gst_object_unref(input);
        }
    }
    if (!g_object_class_find_property(G_OBJECT_GET_CLASS(element), "agent")) return;
    GObject* agent = nullptr;
    g_object_get(element, "agent", &agent, nullptr);
    if (!agent) return;
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(agent), "upnp")) g_object_set(agent, "upnp", FALSE, nullptr);
    g_object_unref(agent);
}

// Every SCTP packet from the peer passes here on its way into the association (on the thread
// that reads the network). While the Qt thread is behind, the packet waits: the association
// neither takes in data nor acknowledges it, and the sender's window closes.
GstPadProbeReturn P2PTransport::WebRtcBridge::onAssociationInput(GstPad*, GstPadProbeInfo*, gpointer data) {
    static_cast<DecoderProbe*>(data)->window->waitForRoom();
    return GST_PAD_PROBE_OK;
}

void P2PTransport::WebRtcBridge::onIncomingChannel(GstElement*, GstWebRTCDataChannel* channel, gpointer data) {
    WebRtcBridge& bridge = from(data);
    gchar* label = nullptr;
    g_object_get(channel, "label", &label, nullptr);
    const std::string name = label ? label : "";
    g_free(label);
    spdlog::info("P2PTransport: incoming data channel: {}", name);
    ChannelType type;
    if (name == "control")
        type = ChannelType::Control;
    else if (name == "video")
        type = ChannelType::Video;
    else
        return;  // not one of ours: not kept
    bridge.adoptChannel(GST_WEBRTC_DATA_CHANNEL(g_object_ref(channel)), type);
    // The channel may have opened before its handlers were connected; a second report of the
    // same opening changes nothing.
    GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
    g_object_get(channel, "ready-state", &state, nullptr);
    if (state == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) bridge.reportOpen(type);
}

void P2PTransport::WebRtcBridge::onChannelOpen(GstWebRTCDataChannel*, gpointer data) {
    from(data).reportOpen(channelFrom(data));
}

void P2PTransport::WebRtcBridge::reportOpen(ChannelType channel) {
    if (openReported_[indexOf(channel)].exchange(true)) return;
    if (offerer_)
        spdlog::info("P2PTransport: '{}' data channel open", labelOf(channel));
    else
        spdlog::info("P2PTransport: '{}' data channel open (answerer)", labelOf(channel));
    markAlive();
    post([channel](P2PTransport& transport) { transport.onChannelOpen(channel); });
}

void P2PTransport::WebRtcBridge::onChannelClose(GstWebRTCDataChannel*, gpointer data) {
    WebRtcBridge& bridge = from(data);
    const ChannelType channel = channelFrom(data);
    spdlog::info("P2PTransport: '{}' data channel closed", labelOf(channel));
    {
        std::lock_guard lock(bridge.mutex_);
        bridge.channelClosedFlags_[indexOf(channel)] = true;
    }
    bridge.channelClosed_.notify_all();
    bridge.post([channel](P2PTransport& transport) { transport.onChannelClosed(channel); });
}

void P2PTransport::WebRtcBridge::onChannelError(GstWebRTCDataChannel*, GError* error, gpointer data) {
    spdlog::warn("P2PTransport: '{}' data channel error: {}", labelOf(channelFrom(data)),
                 error ? error->message : "unknown");
    from(data).post([](P2PTransport& transport) { transport.onConnectionLost("data channel error"); });
}

void P2PTransport::WebRtcBridge::onChannelData(GstWebRTCDataChannel*, GBytes* bytes, gpointer data) {
    WebRtcBridge& bridge = from(data);
    const ChannelType channel = channelFrom(data);
    gsize size = 0;
    const auto* piece = bytes ? static_cast<const std::uint8_t*>(g_bytes_get_data(bytes, &size)) : nullptr;
    bridge.markAlive();

    Inbound& inbound = bridge.inbound_[indexOf(channel)];
    QByteArray message;
    {
        std::lock_guard lock(inbound.mutex);
        switch (inbound.reassembler.feed(piece, size)) {
        case MessageReassembler::Result::NeedMore:
        case MessageReassembler::Result::KeepAlive:
            return;
        case MessageReassembler::Result::Violation:
            spdlog::warn("P2PTransport: malformed message piece on '{}' channel ({} bytes), dropping the connection",
                         labelOf(channel), size);
            bridge.post([](P2PTransport& transport) { transport.onConnectionLost("malformed message piece"); });
            return;
        case MessageReassembler::Result::Message:
            message = inbound.reassembler.takeMessage();
            break;
        }
    }
    if (channel == ChannelType::Control) countControlMessage(bridge.offerer_, static_cast<std::size_t>(message.size()));
    // The message stays counted in the receive window until the Qt thread is done with it.
    auto ticket = bridge.window_->admit(indexOf(channel), static_cast<std::uint64_t>(message.size()));
    bridge.post([channel, message = std::move(message), ticket = std::move(ticket)](P2PTransport& transport) {
        transport.onChannelMessage(channel, message);
    });
}

}  // namespace veltrix
