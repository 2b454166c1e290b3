// The capture agent inside ServiceIpcClient against a test pipe server and a real capture
// section: START_CAPTURE's defaults and steps, the encode size rules and encoder
// re-initialisation on the capture thread, the monitor rectangle of the input mapping, the
// agent messages without a pipeline, and the tear-down.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "CaptureFakes.h"
#include "InputFakes.h"
#include "agent/InputForwarder.h"
#include "agent/ScreenCaptureManager.h"
#include "agent/ServiceIpcClient.h"
#include "platform/InstancePaths.h"
#include "platform/PipeServer.h"
#include "platform/SharedSection.h"
#include "shared/SharedFrameBuffer.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/UnprivilegedChild.h"
#include "support/WaitUntil.h"

namespace veltrix {
namespace {

using namespace std::chrono_literals;

// Records every configuration and picture; each picture gives a 3-byte packet.
struct EncoderRecord {
    std::mutex mutex;
    std::vector<EncoderConfig> configs;
    std::vector<QSize> pictures;
    std::atomic<int> encoded{0};
};

class RecordingEncoder final : public IVideoEncoder {
public:
    explicit RecordingEncoder(std::shared_ptr<EncoderRecord> record) : record_(std::move(record)) {}
    bool initialize(const EncoderConfig& config) override {
        std::lock_guard lock(record_->mutex);
        record_->configs.push_back(config);
        size_ = {config.width, config.height};
        initialized_ = true;
        return true;
    }
    void shutdown() override { initialized_ = false; }
    std::unique_ptr<EncodedFrame> encode(const std::uint8_t*, int width, int height, std::int64_t timestampMs,
                                         bool forceKeyFrame) override {
        {
            std::lock_guard lock(record_->mutex);
            record_->pictures.push_back({width, height});
        }
        ++record_->encoded;
        auto packet = std::make_unique<EncodedFrame>();
        packet->data = {1, 2, 3};
        packet->timestamp = timestampMs;
        packet->keyFrame = forceKeyFrame;
        return packet;
    }
    bool isInitialized() const override { return initialized_; }
    void updateBitrate(int) override {}
    QSize configuredSize() const override { return size_; }

private:
    std::shared_ptr<EncoderRecord> record_;
    QSize size_;
    bool initialized_ = false;
};

// A backend whose monitors are given: monitor i is `width` x `height` at x = i * width.
class SizedBackend final : public IScreenCaptureBackend {
public:
    SizedBackend(int width, int height, int monitors, bool opens) : w_(width), h_(height), n_(monitors), opens_(opens) {}
    bool initialize(int index) override {
        index_ = index;
        initialized_ = opens_ && index < n_;
        return initialized_;
    }
    void shutdown() override { initialized_ = false; }
    std::unique_ptr<CapturedFrame> captureFrame() override {
        if (!initialized_) return nullptr;
        auto frame = std::make_unique<CapturedFrame>();
        frame->width = w_;
        frame->height = h_;
        frame->stride = w_ * 4;
        frame->pixels.assign(static_cast<std::size_t>(frame->stride) * h_, 0x40);
        frame->dirtyRects = {{0, 0, w_, h_}};
        return frame;
    }
    std::vector<MonitorInfo> enumerateMonitors() override {
        std::vector<MonitorInfo> list;
        for (int i = 0; i < n_; ++i) list.push_back(monitor(i));
        return list;
    }
    MonitorInfo getMonitorInfo() override { return monitor(index_); }
    bool isInitialized() override { return initialized_; }

private:
    MonitorInfo monitor(int i) const {
        MonitorInfo m;
        m.index = i;
        m.x = i * w_;
        m.width = w_;
        m.height = h_;
        return m;
    }
    int w_, h_, n_;
    bool opens_;
    int index_ = 0;
    bool initialized_ = false;
};

class AgentCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SystemError error;
        ASSERT_TRUE(server.createInstance(error)) << error.text();
        ASSERT_TRUE(client.connectToService());
        ASSERT_EQ(server.connectClient(error), platform::PipeConnectStatus::Connected);
        ASSERT_TRUE(section.create(kCaptureSectionName, kCaptureSectionSize, true, std::string()));
        QObject::connect(&client, &ServiceIpcClient::captureStarted, [this] { emitted.push_back("started"); });
        QObject::connect(&client, &ServiceIpcClient::captureStopped, [this] { emitted.push_back("stopped"); });
        useBackend(1920, 1080, 1);
    }

    void useBackend(int width, int height, int monitors, bool duplicationOpens = true) {
        auto f = CaptureAgentFactories::system();
        f.makeInputBackend = [r = input] { return std::make_unique<test::RecordingInputBackend>(r); };
        f.makeDuplicationBackend = [=] { return std::make_unique<SizedBackend>(width, height, monitors, duplicationOpens); };
        f.makeScreenCopyBackend = [=] { return std::make_unique<SizedBackend>(width, height, monitors, true); };
        f.makeEncoder = [r = encoder] { return std::make_unique<RecordingEncoder>(r); };
        f.systemMonitorCount = [monitors] { return monitors; };
        client.setCaptureAgentFactories(f);
    }

    void deliver(const IpcMessage& message) {
        ASSERT_EQ(server.client().write(encodeIpcFrame(message)).status, platform::PipeStatus::Ok);
        client.onPipePoll();
    }

    // The next message the agent sent to the service.
    IpcMessage received() {
        IpcMessage message;
        std::string error;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (fromClient.next(message, error) == IpcFrameReader::Status::Message) return message;
            char buffer[4096];
            const auto read = server.client().read(buffer, sizeof buffer);
            if (read.status == platform::PipeStatus::Ok && read.bytes > 0) {
                fromClient.append(buffer, read.bytes);
            } else {
                test::runEventsFor(5ms);
            }
        }
        return {};
    }

    std::vector<QSize> pictureSizes() {
        std::lock_guard lock(encoder->mutex);
        return encoder->pictures;
    }
    bool encodedAtLeast(int n) {
        return test::waitUntil([&] { return encoder->encoded.load() >= n; }, 10s);
    }

    test::TempInstanceRoot root;
    test::LogCapture logs;
    platform::PipeServer server{ServiceIpcClient::kPipeName};
    SharedFrameBuffer section;
    std::shared_ptr<test::InputRecord> input = std::make_shared<test::InputRecord>();
    std::shared_ptr<EncoderRecord> encoder = std::make_shared<EncoderRecord>();
    IpcFrameReader fromClient{ServiceIpcClient::kMaxInboundMessageBytes};
    std::vector<std::string> emitted;
    ServiceIpcClient client;
};

TEST_F(AgentCaptureTest, StartWithNoKeysUsesTheDefaultsAndWritesFramesIntoTheSection) {
    deliver(IpcMessage{{"type", "START_CAPTURE"}});
    EXPECT_TRUE(logs.contains("Starting screen capture: 20fps, crf=45, preset=8, bitrate=1500kbps, monitor=0, encode=0x0"));
    EXPECT_TRUE(logs.contains("Agent input forwarder initialized"));
    EXPECT_TRUE(logs.contains("Agent capture: using DXGI backend (monitor 0)"));
    EXPECT_EQ(emitted, (std::vector<std::string>{"stopped", "started"}));
    EXPECT_EQ(input->initializeCalls, 1);
    EXPECT_TRUE(input->monitorRects.empty());  // one monitor: no rectangle

    const IpcMessage initialized = received();
    EXPECT_EQ(initialized.value("type", ""), "CAPTURE_INITIALIZED");
    EXPECT_EQ(initialized.value("width", 0), 1920);
    EXPECT_EQ(initialized.value("height", 0), 1080);
    EXPECT_EQ(initialized.value("monitor_count", 0), 1);

    ASSERT_TRUE(encodedAtLeast(2));
    {
        std::lock_guard lock(encoder->mutex);
        ASSERT_EQ(encoder->configs.size(), 1u);
        const EncoderConfig& c = encoder->configs[0];
        EXPECT_EQ(std::tie(c.width, c.height, c.fps, c.bitrateKbps, c.keyframeInterval, c.crf, c.preset),
                  std::make_tuple(1920, 1080, 20, 1500, 60, 45, std::string("8")));
    }
    ASSERT_TRUE(test::waitUntil([&] { return section.readHeader().sequence >= 1; }, 5s));
    EXPECT_EQ(section.readHeader().width, 1920u);
    EXPECT_EQ(section.readHeader().dataSize, 3u);

    // A second start stops the first one (its thread joined) before building anew.
    emitted.clear();
    deliver(IpcMessage{{"type", "START_CAPTURE"}, {"fps", 5}});
    EXPECT_EQ(emitted, (std::vector<std::string>{"stopped", "started"}));
    EXPECT_TRUE(logs.contains("Agent capture stopped"));
    deliver(IpcMessage{{"type", "STOP_CAPTURE"}});
    EXPECT_EQ(client.captureManager(), nullptr);
    EXPECT_EQ(client.inputForwarder(), nullptr);

    // Values the encoder cannot take are held to its range.
    deliver(IpcMessage{{"type", "START_CAPTURE"}, {"fps", 0}, {"crf", 99}, {"bitrate_kbps", -5}});
    EXPECT_TRUE(logs.contains("Starting screen capture: 1fps, crf=63, preset=8, bitrate=1kbps"));
    deliver(IpcMessage{{"type", "STOP_CAPTURE"}});
}

TEST_F(AgentCaptureTest, EncodeSizeRules) {
    struct Case {
        int nativeW, nativeH, requestW, requestH;
        QSize expected;
    };
    for (const Case& c : {Case{1920, 1080, 1280, 0, {1280, 1080}}, Case{1920, 1080, 2560, 1440, {1920, 1080}},
                          Case{1365, 767, 0, 0, {1364, 766}}, Case{1920, 1080, 1280, 720, {1280, 720}},
                          // More than the viewer's decoded-frame section holds: shrunk to fit.
                          Case{4096, 2732, 0, 0, {4094, 2730}}}) {
        useBackend(c.nativeW, c.nativeH, 1);
        const int before = encoder->encoded.load();
        deliver(IpcMessage{{"type", "START_CAPTURE"}, {"encode_width", c.requestW}, {"encode_height", c.requestH}});
        ASSERT_TRUE(encodedAtLeast(before + 1));
        deliver(IpcMessage{{"type", "STOP_CAPTURE"}});
        EXPECT_EQ(pictureSizes().back(), c.expected) << c.nativeW << "x" << c.nativeH << " asked " << c.requestW << "x"
                                                     << c.requestH;
    }
}

TEST_F(AgentCaptureTest, NewEncodeResolutionReinitializesTheEncoderOnce) {
    deliver(IpcMessage{{"type", "START_CAPTURE"}});
    ASSERT_TRUE(encodedAtLeast(1));
    deliver(IpcMessage{{"type", "SET_ENCODE_RESOLUTION"}, {"width", 960}, {"height", 540}});
    EXPECT_TRUE(logs.contains("Agent: encode resolution set to 960x540 (0=native)"));
    ASSERT_TRUE(test::waitUntil([&] { return pictureSizes().back() == QSize(960, 540); }, 10s));
    const int now = encoder->encoded.load();
    ASSERT_TRUE(encodedAtLeast(now + 2));
    deliver(IpcMessage{{"type", "STOP_CAPTURE"}});
    std::lock_guard lock(encoder->mutex);
    ASSERT_EQ(encoder->configs.size(), 2u);
    EXPECT_EQ(QSize(encoder->configs[1].width, encoder->configs[1].height), QSize(960, 540));
}

TEST_F(AgentCaptureTest, InputFollowsTheCapturedMonitorAcrossASwitch) {
    useBackend(1920, 1080, 2);
    deliver(IpcMessage{{"type", "START_CAPTURE"}, {"monitor_index", 1}});
    ASSERT_EQ(input->monitorRects.size(), 1u);
    EXPECT_EQ(input->monitorRects[0], (test::InputRecord::Rect{1920, 0, 1920, 1080}));
    EXPECT_EQ(received().value("monitor_count", 0), 2);

    deliver(IpcMessage{{"type", "SWITCH_CAPTURE_MONITOR"}, {"monitor_index", 0}});
    EXPECT_TRUE(logs.contains("Agent: switching capture to monitor 0"));
    ASSERT_TRUE(test::waitUntil([&] { return input->monitorRects.size() == 2; }, 10s));
    EXPECT_EQ(input->monitorRects[1], (test::InputRecord::Rect{0, 0, 1920, 1080}));

    deliver(IpcMessage{{"type", "REQUEST_KEY_FRAME"}});
    EXPECT_TRUE(logs.contains("Key frame requested via IPC"));
    ASSERT_TRUE(test::waitUntil([&] { return section.readHeader().keyFrame == 1; }, 10s));
}

TEST_F(AgentCaptureTest, FallsBackToScreenCopyAndWithoutABackendKeepsOnlyInput) {
    useBackend(800, 600, 1, false);
    deliver(IpcMessage{{"type", "START_CAPTURE"}});
    EXPECT_TRUE(logs.contains("Agent capture: DXGI unavailable, trying GDI"));
    EXPECT_TRUE(logs.contains("Agent capture: using GDI backend"));
    deliver(IpcMessage{{"type", "STOP_CAPTURE"}});

    useBackend(800, 600, 0, false);  // no monitor at all
    emitted.clear();
    deliver(IpcMessage{{"type", "START_CAPTURE"}});
    EXPECT_TRUE(logs.contains("Agent capture: no capture backend available"));
    EXPECT_EQ(emitted, std::vector<std::string>{"stopped"});
    EXPECT_EQ(client.captureManager(), nullptr);
    ASSERT_NE(client.inputForwarder(), nullptr);
    deliver(IpcMessage{{"type", "STATE"}, {"session_state", "Connected"}});
    deliver(IpcMessage{{"type", "INPUT_INJECT"}, {"event", {{"type", 5}, {"vk_code", 65}}}});
    ASSERT_EQ(input->injected.size(), 1u);
    EXPECT_EQ(input->injected[0].vk_code, 65u);
}

TEST_F(AgentCaptureTest, AgentMessagesWithoutAPipeline) {
    deliver(IpcMessage{{"type", "REQUEST_KEY_FRAME"}});
    deliver(IpcMessage{{"type", "SWITCH_CAPTURE_MONITOR"}, {"monitor_index", 1}});
    EXPECT_FALSE(logs.contains("Key frame requested via IPC"));
    EXPECT_TRUE(logs.contains("SWITCH_CAPTURE_MONITOR but no capture manager running"));
    deliver(IpcMessage{{"type", "SET_ENCODE_RESOLUTION"}, {"width", 1280}});
    EXPECT_EQ(client.encodeWidth(), 1280);
    EXPECT_EQ(client.encodeHeight(), 0);
    // A lost link tears a running capture down.
    deliver(IpcMessage{{"type", "START_CAPTURE"}});
    ASSERT_NE(client.captureManager(), nullptr);
    server.disconnectClient();
    client.onPipePoll();
    EXPECT_EQ(client.captureManager(), nullptr);
}

TEST_F(AgentCaptureTest, ACaptureSectionOfAnotherUserGetsNoPicture) {
    section.close();
    platform::removeSection(kCaptureSectionName);
    test::UnprivilegedChild impostor([] {
        SharedFrameBuffer own;
        if (!own.create(kCaptureSectionName, kCaptureSectionSize, true, std::string())) return std::string("failed");
        std::this_thread::sleep_for(1500ms);
        return std::string(own.readHeader().sequence == 0 ? "nothing written" : "screen written");
    });
    // The impostor's section is whole (created and sized) before the agent is asked to write into it.
    const auto path = platform::paths::sectionPath(kCaptureSectionName);
    ASSERT_TRUE(test::waitUntil(
        [&] {
            std::error_code error;
            return std::filesystem::file_size(path, error) >= kCaptureSectionSize && !error;
        },
        3s));
    deliver(IpcMessage{{"type", "START_CAPTURE"}});
    EXPECT_TRUE(logs.contains("is not the service's, not writing the screen into it"));
    EXPECT_EQ(client.captureManager(), nullptr);
    EXPECT_NE(client.inputForwarder(), nullptr);
    EXPECT_EQ(impostor.result(), "nothing written");
}

}  // namespace
}  // namespace veltrix
