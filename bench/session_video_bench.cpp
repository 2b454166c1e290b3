// The encrypted video path of a session at 1920x1080, frame by frame: the agent's encoded frame in
// the capture section -> read in place and sealed by the Target's session cipher -> the video
// channel of a transport pair -> opened by the Master's cipher -> decoded to NV12. Measured over
// the relay transport (through the local backend's relay node) and over the peer-to-peer
// transport (loopback), beside the bare decode of the same packets.
//
// The clip is a scrolling text window on a generated desktop, encoded beforehand in the service's
// default display mode (the encoder runs in the agent and is not part of the path). Each frame
// goes through alone (the next is written once the previous one is decoded), so the per-frame
// time is the path's latency and frames per second the rate it sustains without overlap.
//
//   session_video_bench [frames, default 120]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSettings>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <spdlog/spdlog.h>

#include "agent/AV1Encoder.h"
#include "agent/FrameConverter.h"
#include "core/AV1Decoder.h"
#include "crypto/AesGcmCipher.h"
#include "crypto/EcdhKeyExchange.h"
#include "shared/SharedFrameBuffer.h"
#include "shared/SharedFrameReader.h"
#include "support/GeneratedDesktop.h"
#include "support/RunningBackend.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"
#include "transport/P2PTransport.h"
#include "transport/RelayTransport.h"

using namespace veltrix;
using namespace std::chrono_literals;
using bench::GeneratedDesktop;

namespace {

using Clip = std::vector<std::unique_ptr<EncodedFrame>>;
constexpr int kWidth = GeneratedDesktop::kWidth;
constexpr int kHeight = GeneratedDesktop::kHeight;

struct Figures {
    double fps = -1;
    double medianMs = 0;
    double p90Ms = 0;
    int decoded = 0;
};

Figures summarize(std::vector<double> times, double totalSeconds, int decoded) {
    Figures figures;
    if (times.empty() || totalSeconds <= 0) return figures;
    std::sort(times.begin(), times.end());
    figures.fps = static_cast<double>(times.size()) / totalSeconds;
    figures.medianMs = times[times.size() / 2];
    figures.p90Ms = times[std::min(times.size() - 1, times.size() * 9 / 10)];
    figures.decoded = decoded;
    return figures;
}

double millisecondsOf(const QElapsedTimer& clock) { return static_cast<double>(clock.nsecsElapsed()) / 1e6; }

// The service's default display mode (mode 1), as START_CAPTURE sets it.
Clip encodeClip(int frames) {
    EncoderConfig config;
    config.width = kWidth;
    config.height = kHeight;
    config.fps = 20;
    config.crf = 45;
    config.preset = "13";
    config.bitrateKbps = 1500;
    config.keyframeInterval = 60;
    AV1Encoder encoder;
    if (!encoder.initialize(config)) return {};
    GeneratedDesktop desktop;
    FrameConverter converter;
    std::vector<std::uint8_t> nv12 = FrameConverter::allocateNv12Buffer(kWidth, kHeight);
    Clip clip;
    for (int i = 0; clip.size() < static_cast<std::size_t>(frames) && i < frames * 2; ++i) {
        converter.convert(desktop.frame(i, true).data(), kWidth, kHeight, GeneratedDesktop::kStride, nv12.data(), 0);
        if (auto packet = encoder.encode(nv12.data(), kWidth, kHeight, i * 50, false)) clip.push_back(std::move(packet));
    }
    return clip;
}

Figures bareDecode(const Clip& clip) {
    AV1Decoder decoder;
    if (!decoder.initialize(0, 0)) return {};
    std::vector<double> times;
    int decoded = 0;
    QElapsedTimer total;
    total.start();
    for (const auto& packet : clip) {
        QElapsedTimer clock;
        clock.start();
        if (decoder.decode(packet->data.data(), packet->data.size(), packet->timestamp)) ++decoded;
        times.push_back(millisecondsOf(clock));
    }
    return summarize(std::move(times), static_cast<double>(total.nsecsElapsed()) / 1e9, decoded);
}

// The Target's capture section and cipher on one end of a transport pair, the Master's cipher
// and decoder on the other.
class EncryptedVideoPath {
public:
    EncryptedVideoPath(ITransport& targetEnd, ITransport& masterEnd) : targetEnd_(targetEnd) {
        EcdhKeyExchange target, master;
        if (!target.deriveSharedKey(master.publicKeyBase64()) || !master.deriveSharedKey(target.publicKeyBase64())) return;
        targetCipher_ = std::make_unique<AesGcmCipher>(target.aesKey(), target.baseIv(), "bench-video", SessionRole::Target);
        masterCipher_ = std::make_unique<AesGcmCipher>(master.aesKey(), master.baseIv(), "bench-video", SessionRole::Master);
        // The service creates the section; the agent opens it and writes.
        ready_ = capture_.create(kCaptureSectionName, kCaptureSectionSize, true, "") &&
                 agent_.openReadWrite(kCaptureSectionName) && decoder_.initialize(0, 0);
        QObject::connect(&masterEnd, &ITransport::dataReceived, &masterEnd,
                         [this](ChannelType channel, const QByteArray& packet) { onPacket(channel, packet); });
    }

    Figures run(const Clip& clip) {
        if (!ready_) return {};
        std::vector<double> times;
        QElapsedTimer total;
        total.start();
        for (const auto& frame : clip) {
            QElapsedTimer clock;
            clock.start();
            const int before = arrived_;
            if (!agent_.writeEncodedFrame(kWidth, kHeight, static_cast<std::uint64_t>(frame->timestamp), frame->keyFrame,
                                          frame->data.data(), frame->data.size()) ||
                !sendCapturedFrame() || !test::waitUntil([&] { return arrived_ > before; }, 10s)) {
                return {};
            }
            times.push_back(millisecondsOf(clock));
        }
        return summarize(std::move(times), static_cast<double>(total.nsecsElapsed()) / 1e9, decoded_);
    }

private:
    // What the Target's capture poll does with a new frame: copy the payload out, seal and send
    // it; a frame the agent replaced meanwhile is dropped by the reader.
    bool sendCapturedFrame() {
        const auto info = capture_.readFrame([&](const SharedFrameInfo& frame, std::uint64_t readable)
                                                 -> std::optional<SharedFrameDestination> {
            if (frame.sequence == lastSequence_ || frame.dataSize == 0 || frame.dataSize > readable) return std::nullopt;
            lastSequence_ = frame.sequence;
            if (payload_.size() < frame.dataSize) payload_.resize(frame.dataSize);
            return SharedFrameDestination{0, {payload_.data(), frame.dataSize}};
        });
        if (!info) return false;
        const std::vector<std::uint8_t> sealed = targetCipher_->encrypt(payload_.data(), info->dataSize);
        return !sealed.empty() && targetEnd_.send(ChannelType::Video, sealed.data(), sealed.size());
    }

    void onPacket(ChannelType channel, const QByteArray& packet) {
        if (channel != ChannelType::Video) return;
        const std::vector<std::uint8_t> plain =
            masterCipher_->decrypt(reinterpret_cast<const std::uint8_t*>(packet.constData()), static_cast<std::size_t>(packet.size()));
        if (!plain.empty() && decoder_.decode(plain.data(), plain.size(), 0)) ++decoded_;
        ++arrived_;
    }

    ITransport& targetEnd_;
    std::unique_ptr<AesGcmCipher> targetCipher_;
    std::unique_ptr<AesGcmCipher> masterCipher_;
    SharedFrameBuffer capture_;
    SharedFrameBuffer agent_;
    AV1Decoder decoder_;
    std::vector<std::uint8_t> payload_;
    std::uint64_t lastSequence_ = 0;
    int arrived_ = 0;
    int decoded_ = 0;
    bool ready_ = false;
};

Figures overRelay(quint16 relayPort, const Clip& clip) {
    RelayTransport target, master;
    for (RelayTransport* end : {&target, &master}) {
        end->setSessionId("bench-video");
        end->connect("127.0.0.1", relayPort);
    }
    // Connected on both ends once the relay node has paired them.
    if (!test::waitUntil([&] { return target.isConnected() && master.isConnected(); }, 30s)) return {};
    test::runEventsFor(100ms);
    EncryptedVideoPath path(target, master);
    return path.run(clip);
}

Figures overPeerToPeer(const Clip& clip) {
    P2PTransport target, master;
    QObject::connect(&master, &IP2PTransport::localDescriptionReady, &target, &IP2PTransport::setRemoteDescription);
    QObject::connect(&target, &IP2PTransport::localDescriptionReady, &master, &IP2PTransport::setRemoteDescription);
    QObject::connect(&master, &IP2PTransport::localCandidateReady, &target, &IP2PTransport::addRemoteCandidate);
    QObject::connect(&target, &IP2PTransport::localCandidateReady, &master, &IP2PTransport::addRemoteCandidate);
    target.startAsAnswerer();
    master.startAsOfferer();
    if (!test::waitUntil([&] { return master.isConnected() && target.isConnected(); }, 15s)) return {};
    EncryptedVideoPath path(target, master);
    return path.run(clip);
}

void print(const char* name, const Figures& figures, int frames) {
    if (figures.fps < 0) {
        std::printf("  %-26s failed\n", name);
        return;
    }
    std::printf("  %-26s %7.1f fps  %6.2f ms/frame median (p90 %6.2f), %d of %d decoded\n", name, figures.fps,
                figures.medianMs, figures.p90Ms, figures.decoded, frames);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    spdlog::set_level(spdlog::level::warn);  // keep the figures readable
    const int frames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 120;

    test::TempInstanceRoot root;
    // The relay alone: no TURN, joins admitted without a session's token. The backend writes its
    // CA into the instance file; peer to peer then gathers loopback host candidates only.
    const QString instance = QString::fromStdString(root.path().string());
    test::RunningBackend backend({"--no-turn", "--instance", instance, "--", "--relay-any-token"});
    if (!backend.start()) {
        std::fprintf(stderr, "session_video_bench: the backend did not start:\n%s\n", qPrintable(backend.output()));
        return 1;
    }
    {
        QSettings ini(instance + "/instance.ini", QSettings::IniFormat);
        ini.setValue("stun/host", QString());
        ini.setValue("p2p/localAddresses", "127.0.0.1");
    }

    const Clip clip = encodeClip(frames);
    if (clip.empty()) {
        std::fprintf(stderr, "session_video_bench: the encoder did not start\n");
        return 1;
    }
    std::size_t bytes = 0;
    for (const auto& packet : clip) bytes += packet->data.size();
    std::printf("session_video_bench: %zu frames of %dx%d (AV1, default mode, %.1f KiB a frame on average)\n", clip.size(),
                kWidth, kHeight, static_cast<double>(bytes) / 1024 / static_cast<double>(clip.size()));
    std::printf("  capture section -> encrypt -> transport -> decrypt -> decode, one frame at a time:\n");

    const Figures bare = bareDecode(clip);
    const Figures relay = overRelay(backend.relayPort(), clip);
    const Figures p2p = overPeerToPeer(clip);
    const int count = static_cast<int>(clip.size());
    print("bare decode", bare, count);
    print("relay (local relay node)", relay, count);
    print("peer to peer (loopback)", p2p, count);
    return bare.fps > 0 && relay.fps > 0 && p2p.fps > 0 ? 0 : 1;
}
