#pragma once

// The webrtcbin side of the peer-to-peer transport, for P2PTransport's own files only: the
// bridge between the library's threads and the transport's Qt thread, and the ICE settings read
// from the instance configuration.

#include "transport/DataChannelFraming.h"
#include "transport/P2PTransport.h"
#include "transport/ReceiveWindow.h"
#include "transport/TurnServerConfig.h"

#define GST_USE_UNSTABLE_API  // webrtcbin's library headers are marked unstable
#include <gst/gst.h>
#include <gst/webrtc/webrtc.h>

#include <QByteArray>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veltrix {
namespace p2p {

// The STUN servers' port unless the instance configuration names another.
inline constexpr int kDefaultStunPort = 19302;

// Bytes of whole messages per channel that may wait for the Qt thread before the association's
// input is held (besides one message being rebuilt per channel).
inline constexpr std::uint64_t kReceiveWindowBytes = 16 * 1024 * 1024;

struct IceSettings {
    std::vector<std::string> stunServers;  // host names, all on stunPort
    int stunPort = kDefaultStunPort;
    std::vector<std::string> localAddresses;
    bool relayOnly = false;
    TurnServerConfig turn;
};

// A port from the instance configuration; `fallback` when absent or not a port number.
int portFromConfig(const char* key, int fallback);
// STUN, candidate rules and `turn` as the instance configuration has them.
IceSettings iceSettingsFromConfig(const TurnServerConfig& turn);
// Initialises GStreamer once per process.
void initializeGStreamer();
std::int64_t steadyNowNs();

}  // namespace p2p

// Everything the library's threads touch. Its lifetime is shared by the transport and by every
// connected handler and pending promise, so a callback that runs during or after the transport's
// destruction still finds it; once detached it posts nothing.
class P2PTransport::WebRtcBridge : public std::enable_shared_from_this<WebRtcBridge> {
public:
    WebRtcBridge(P2PTransport* owner, std::uint64_t generation, bool offerer)
        : owner_(owner), generation_(generation), offerer_(offerer) {}
    ~WebRtcBridge() { release(); }

    bool create(const p2p::IceSettings& settings);
    // Qt thread: stops posting, closes the channels (waiting briefly so the peer learns of it),
    // disconnects every handler and brings the element to NULL.
    void shutdown();

    bool send(ChannelType channel, const std::uint8_t* data, std::uint64_t size);
    bool sendKeepAlive();
    // Sends the one-byte piece at `piece` (static storage) on the control channel.
    bool sendControlPiece(const std::uint8_t* piece);
    bool sendText(ChannelType channel, const QByteArray& text);
    bool sendRawPiece(ChannelType channel, const QByteArray& piece);
    std::uint64_t bufferedAmount(ChannelType channel);
    // True while received messages wait for the Qt thread: the peer is alive even if the
    // library, held back by the receive window, has not read anything for a while.
    bool receiving() const { return window_->waitingTotal() > 0; }
    // False when the text is not a session description of the given type.
    bool setRemoteDescription(const std::string& sdp, const std::string& type);
    bool hasRemoteDescription();
    // The m-line index of a mid of the remote description.
    std::optional<guint> remoteMlineOf(const std::string& mid);
    void addRemoteCandidate(guint mline, const std::string& candidate);
    std::int64_t lastReceivedNs() const { return lastReceivedNs_.load(); }
    void markAlive() { lastReceivedNs_.store(p2p::steadyNowNs()); }

private:
    struct Handler {
        std::shared_ptr<WebRtcBridge> bridge;
        ChannelType channel = ChannelType::Control;
    };

    template <typename Work>
    void post(Work&& work);
    template <typename Callback>
    void connectSignal(gpointer instance, const char* signal, Callback callback, ChannelType channel = {});
    GstPromise* newPromise(GstPromiseChangeFunc func);
    GstElement* webrtcRef();
    GstWebRTCDataChannel* channelRef(ChannelType channel);
    void adoptChannel(GstWebRTCDataChannel* channel, ChannelType type);
    void reportOpen(ChannelType channel);
    void applyIceSettings(const p2p::IceSettings& settings);
    void createChannels();
    void forwardLocalDescription(GstWebRTCSessionDescription* description, const char* type);
    void release();

    static WebRtcBridge& from(gpointer data) { return *static_cast<Handler*>(data)->bridge; }
    static ChannelType channelFrom(gpointer data) { return static_cast<Handler*>(data)->channel; }

    // Library-thread callbacks.
    static void onNegotiationNeeded(GstElement*, gpointer data);
    static void onOfferCreated(GstPromise* promise, gpointer data);
    static void onRemoteDescriptionSet(GstPromise* promise, gpointer data);
    static void onAnswerCreated(GstPromise* promise, gpointer data);
    static void onIceCandidate(GstElement*, guint mline, gchar* candidate, gpointer data);
    static void onConnectionState(GObject* object, GParamSpec*, gpointer data);
    static void onGatheringState(GObject* object, GParamSpec*, gpointer data);
    static void onIncomingChannel(GstElement*, GstWebRTCDataChannel* channel, gpointer data);
    static void onElementAdded(GstBin*, GstBin*, GstElement* element, gpointer data);
    static GstPadProbeReturn onAssociationInput(GstPad*, GstPadProbeInfo*, gpointer data);
    static void onChannelOpen(GstWebRTCDataChannel*, gpointer data);
    static void onChannelClose(GstWebRTCDataChannel*, gpointer data);
    static void onChannelError(GstWebRTCDataChannel*, GError* error, gpointer data);
    static void onChannelData(GstWebRTCDataChannel*, GBytes* bytes, gpointer data);

    std::mutex mutex_;  // guards everything below up to the reassemblers
    std::condition_variable channelClosed_;
    P2PTransport* owner_;  // null once detached
    const std::uint64_t generation_;
    const bool offerer_;
    GstElement* pipeline_ = nullptr;
    GstElement* webrtc_ = nullptr;
    GstWebRTCDataChannel* channels_[2] = {nullptr, nullptr};
    bool channelClosedFlags_[2] = {false, false};
    std::vector<std::pair<gpointer, gulong>> handlers_;
    std::vector<std::string> localMids_;
    std::vector<std::string> remoteMids_;
    bool hasRemoteDescription_ = false;
    bool released_ = false;

    struct Inbound {
        std::mutex mutex;
        MessageReassembler reassembler;
    } inbound_[2];
    const std::shared_ptr<ReceiveWindow> window_ = std::make_shared<ReceiveWindow>(p2p::kReceiveWindowBytes);
    std::atomic<std::int64_t> lastReceivedNs_{0};
    std::atomic<bool> openReported_[2] = {false, false};
    std::atomic<bool> offerMade_{false};
    std::atomic<int> offerAttempts_{0};
};

}  // namespace veltrix
