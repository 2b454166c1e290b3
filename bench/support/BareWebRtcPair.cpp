#include "BareWebRtcPair.h"

#define GST_USE_UNSTABLE_API
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace veltrix::bench {

struct BareWebRtcPair::Side {
    GstElement* pipeline = nullptr;
    GstElement* webrtc = nullptr;
    Side* peer = nullptr;
    bool offerer = false;
    std::mutex mutex;
    GstWebRTCDataChannel* channel = nullptr;
    std::atomic<bool> open{false};
    std::atomic<std::uint64_t> received{0};
};

namespace {

using Side = BareWebRtcPair::Side;

void onMessage(GstWebRTCDataChannel*, GBytes* bytes, gpointer data) {
    static_cast<Side*>(data)->received += bytes ? g_bytes_get_size(bytes) : 0;
}

void onOpen(GstWebRTCDataChannel*, gpointer data) { static_cast<Side*>(data)->open = true; }

void adopt(Side& side, GstWebRTCDataChannel* channel) {
    {
        std::lock_guard lock(side.mutex);
        side.channel = GST_WEBRTC_DATA_CHANNEL(g_object_ref(channel));
    }
    g_signal_connect(channel, "on-open", G_CALLBACK(onOpen), &side);
    g_signal_connect(channel, "on-message-data", G_CALLBACK(onMessage), &side);
    GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
    g_object_get(channel, "ready-state", &state, nullptr);
    if (state == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) side.open = true;
}

void onIncomingChannel(GstElement*, GstWebRTCDataChannel* channel, gpointer data) {
    adopt(*static_cast<Side*>(data), channel);
}

void onIceCandidate(GstElement*, guint mline, gchar* candidate, gpointer data) {
    if (!candidate || !*candidate) return;
    g_signal_emit_by_name(static_cast<Side*>(data)->peer->webrtc, "add-ice-candidate", mline, candidate);
}

void onAnswer(GstPromise* promise, gpointer data) {
    auto& side = *static_cast<Side*>(data);
    GstWebRTCSessionDescription* answer = nullptr;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED)
        gst_structure_get(gst_promise_get_reply(promise), "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer,
                          nullptr);
    gst_promise_unref(promise);
    if (!answer) return;
    g_signal_emit_by_name(side.webrtc, "set-local-description", answer, nullptr);
    g_signal_emit_by_name(side.peer->webrtc, "set-remote-description", answer, nullptr);
    gst_webrtc_session_description_free(answer);
}

void onOffer(GstPromise* promise, gpointer data) {
    auto& side = *static_cast<Side*>(data);
    GstWebRTCSessionDescription* offer = nullptr;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED)
        gst_structure_get(gst_promise_get_reply(promise), "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer,
                          nullptr);
    gst_promise_unref(promise);
    if (!offer) return;
    if (gst_sdp_message_medias_len(offer->sdp) == 0) {  // asked too early: ask again
        gst_webrtc_session_description_free(offer);
        g_usleep(10 * 1000);
        g_signal_emit_by_name(side.webrtc, "create-offer", nullptr,
                              gst_promise_new_with_change_func(onOffer, &side, nullptr));
        return;
    }
    g_signal_emit_by_name(side.webrtc, "set-local-description", offer, nullptr);
    g_signal_emit_by_name(side.peer->webrtc, "set-remote-description", offer, nullptr);
    g_signal_emit_by_name(side.peer->webrtc, "create-answer", nullptr,
                          gst_promise_new_with_change_func(onAnswer, side.peer, nullptr));
    gst_webrtc_session_description_free(offer);
}

void onNegotiationNeeded(GstElement* webrtc, gpointer data) {
    auto& side = *static_cast<Side*>(data);
    if (!side.offerer) return;
    g_signal_emit_by_name(webrtc, "create-offer", nullptr, gst_promise_new_with_change_func(onOffer, &side, nullptr));
}

void onElementAdded(GstBin*, GstBin*, GstElement* element, gpointer) {
    if (!g_object_class_find_property(G_OBJECT_GET_CLASS(element), "agent")) return;
    GObject* agent = nullptr;
    g_object_get(element, "agent", &agent, nullptr);
    if (!agent) return;
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(agent), "upnp")) g_object_set(agent, "upnp", FALSE, nullptr);
    g_object_unref(agent);
}

void build(Side& side) {
    side.pipeline = gst_pipeline_new(nullptr);
    side.webrtc = gst_element_factory_make("webrtcbin", nullptr);
    gst_bin_add(GST_BIN(side.pipeline), side.webrtc);
    g_signal_connect(side.pipeline, "deep-element-added", G_CALLBACK(onElementAdded), nullptr);
    GstWebRTCICE* ice = nullptr;
    g_object_get(side.webrtc, "ice-agent", &ice, nullptr);
    if (ice) {
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "ice-tcp")) g_object_set(ice, "ice-tcp", FALSE, nullptr);
        gboolean added = FALSE;
        g_signal_emit_by_name(ice, "add-local-ip-address", "127.0.0.1", &added);
        gst_object_unref(ice);
    }
    g_signal_connect(side.webrtc, "on-negotiation-needed", G_CALLBACK(onNegotiationNeeded), &side);
    g_signal_connect(side.webrtc, "on-ice-candidate", G_CALLBACK(onIceCandidate), &side);
    if (!side.offerer) g_signal_connect(side.webrtc, "on-data-channel", G_CALLBACK(onIncomingChannel), &side);
}

bool waitFor(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

}  // namespace

BareWebRtcPair::BareWebRtcPair() : offerer_(new Side), answerer_(new Side) {
    gst_init(nullptr, nullptr);
    offerer_->offerer = true;
    offerer_->peer = answerer_;
    answerer_->peer = offerer_;
    build(*offerer_);
    build(*answerer_);
}

BareWebRtcPair::~BareWebRtcPair() {
    for (Side* side : {offerer_, answerer_}) {
        gst_element_set_state(side->pipeline, GST_STATE_NULL);
        if (side->channel) g_object_unref(side->channel);
        gst_object_unref(side->pipeline);
        delete side;
    }
}

bool BareWebRtcPair::connect() {
    gst_element_set_state(answerer_->pipeline, GST_STATE_PLAYING);
    gst_element_set_state(offerer_->pipeline, GST_STATE_READY);
    GstWebRTCDataChannel* channel = nullptr;
    g_signal_emit_by_name(offerer_->webrtc, "create-data-channel", "video", nullptr, &channel);
    if (!channel) return false;
    adopt(*offerer_, channel);
    g_object_unref(channel);
    gst_element_set_state(offerer_->pipeline, GST_STATE_PLAYING);
    return waitFor([&] { return offerer_->open && answerer_->open; }, std::chrono::seconds(20));
}

double BareWebRtcPair::pump(int count, std::uint64_t size, std::uint64_t pieceSize, std::uint64_t maxInFlight) {
    const std::vector<std::uint8_t> message(size, 0x42);
    const std::uint64_t total = std::uint64_t(count) * size;
    GstWebRTCDataChannel* channel = offerer_->channel;
    const auto buffered = [&] {
        guint64 amount = 0;
        g_object_get(channel, "buffered-amount", &amount, nullptr);
        return amount;
    };
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        if (!waitFor([&] { return buffered() < maxInFlight; }, std::chrono::seconds(60))) return -1;
        for (std::uint64_t offset = 0; offset < size; offset += pieceSize) {
            const std::uint64_t length = std::min(pieceSize, size - offset);
            GBytes* bytes = g_bytes_new(message.data() + offset, length);
            const bool sent = gst_webrtc_data_channel_send_data_full(channel, bytes, nullptr);
            g_bytes_unref(bytes);
            if (!sent) return -1;
        }
    }
    if (!waitFor([&] { return answerer_->received >= total; }, std::chrono::seconds(60))) return -1;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return double(total) / (1 << 20) / seconds;
}

}  // namespace veltrix::bench
