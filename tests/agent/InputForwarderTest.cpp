// InputForwarder's move coalescing and ordering, and Win32InputBackend's refusals and coordinate
// mapping (no display needed: the screen geometry is given to it).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "InputFakes.h"
#include "agent/InputForwarder.h"
#include "agent/Win32InputBackend.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

namespace veltrix {
namespace {

using namespace std::chrono_literals;

InputEvent move(double x, double y) {
    InputEvent e;
    e.type = InputEvent::MouseMove;
    e.mouse_x = x;
    e.mouse_y = y;
    return e;
}

InputEvent ofType(std::uint8_t type, std::uint8_t button = 1) {
    InputEvent e;
    e.type = type;
    e.mouse_button = button;
    return e;
}

class ForwarderTest : public ::testing::Test {
protected:
    std::shared_ptr<test::InputRecord> record = std::make_shared<test::InputRecord>();
    InputForwarder forwarder{std::make_unique<test::RecordingInputBackend>(record)};
    test::LogCapture logs;
};

TEST_F(ForwarderTest, HundredMovesInTenMillisecondsGiveTheFirstAtOnceAndTheLastAtTheTimer) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) forwarder.processEvent(move(i / 100.0, 0.5));
    ASSERT_LT(std::chrono::steady_clock::now() - start, 16ms) << "the loop outlasted the coalescing period";
    ASSERT_EQ(record->injected.size(), 1u);
    EXPECT_EQ(record->injected[0].mouse_x, 0.0);

    ASSERT_TRUE(test::waitUntil([&] { return record->injected.size() == 2; }, 2s));
    EXPECT_DOUBLE_EQ(record->injected[1].mouse_x, 0.99);
    test::runEventsFor(50ms);
    EXPECT_EQ(record->injected.size(), 2u);

    // After the quiet period the next move goes out at once again.
    forwarder.processEvent(move(0.25, 0.25));
    ASSERT_EQ(record->injected.size(), 3u);
    EXPECT_EQ(record->injected[2].mouse_x, 0.25);
}

TEST_F(ForwarderTest, ClickAfterAPendingMoveComesAfterThatMove) {
    forwarder.processEvent(move(0.1, 0.1));  // at once
    forwarder.processEvent(move(0.7, 0.7));  // pending
    forwarder.processEvent(ofType(InputEvent::MouseDown));
    forwarder.processEvent(ofType(InputEvent::MouseUp));
    ASSERT_EQ(record->injected.size(), 4u);
    EXPECT_EQ(record->injected[0].mouse_x, 0.1);
    EXPECT_EQ(record->injected[1].type, InputEvent::MouseMove);
    EXPECT_EQ(record->injected[1].mouse_x, 0.7);
    EXPECT_EQ(record->injected[2].type, InputEvent::MouseDown);
    EXPECT_EQ(record->injected[3].type, InputEvent::MouseUp);
    // The timer finds nothing left to send.
    test::runEventsFor(50ms);
    EXPECT_EQ(record->injected.size(), 4u);
}

TEST_F(ForwarderTest, FailedNonMoveIsLoggedAndAPendingMoveSurvivesDestruction) {
    record->refuse = true;
    forwarder.processEvent(ofType(InputEvent::KeyDown));
    EXPECT_TRUE(logs.contains("InputForwarder: failed to inject event type 5"));
    forwarder.processEvent(move(0.1, 0.1));
    EXPECT_EQ(logs.count("InputForwarder: failed to inject event type"), 1u);  // moves are not logged

    auto own = std::make_shared<test::InputRecord>();
    {
        InputForwarder local(std::make_unique<test::RecordingInputBackend>(own));
        local.processEvent(move(0.1, 0.1));
        local.processEvent(move(0.2, 0.2));
    }
    ASSERT_EQ(own->injected.size(), 2u);
    EXPECT_EQ(own->injected[1].mouse_x, 0.2);
}

TEST(InputForwarderWithoutBackend, Warns) {
    test::LogCapture logs;
    InputForwarder forwarder(nullptr);
    forwarder.processEvent(move(0.5, 0.5));
    EXPECT_TRUE(logs.contains("InputForwarder: no backend available"));
}

// Two monitors side by side, 1920 wide each: a 3840 x 1080 virtual desktop.
std::optional<platform::input::ScreenMetrics> twoMonitors() {
    platform::input::ScreenMetrics m;
    m.virtualWidth = 3840;
    m.virtualHeight = 1080;
    m.primaryWidth = 1920;
    m.primaryHeight = 1080;
    m.monitorCount = 2;
    return m;
}

class InjectingBackendTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;  // the input desktop the backend follows
    test::LogCapture logs;
    std::uint32_t now = 5000;
    Win32InputBackend backend{[this] { return now; }, twoMonitors};
};

TEST_F(InjectingBackendTest, NormalizedToAbsoluteWithAndWithoutAMonitorRectangle) {
    struct Case {
        double x, y;
        std::pair<std::int32_t, std::int32_t> expected;
    };
    for (const Case& c : {Case{1.0, 1.0, {65535, 65535}}, Case{0.5, 0.5, {32768, 32768}}, Case{-3.0, 7.0, {0, 65535}},
                          Case{std::nan(""), 0.25, {0, 16384}}}) {
        EXPECT_EQ(backend.normalizedToAbsolute(c.x, c.y), c.expected) << c.x << "," << c.y;
    }
    backend.setMonitorRect(1920, 0, 1920, 1080);
    EXPECT_TRUE(logs.contains("Win32InputBackend: monitor rect (1920,0 1920x1080)"));
    // 1920 / 3840 x 65535 = 32767.5, rounded half away from zero.
    EXPECT_EQ(backend.normalizedToAbsolute(0.0, 0.0), std::make_pair(32768, 0));
    EXPECT_EQ(backend.normalizedToAbsolute(1.0, 1.0), std::make_pair(65535, 65535));
    EXPECT_EQ(backend.normalizedToAbsolute(-1.0, 0.5), std::make_pair(32768, 32768));
}

TEST_F(InjectingBackendTest, RefusesBeforeInitializationAndUnknownTypesAndButtons) {
    EXPECT_FALSE(backend.injectEvent(move(0.5, 0.5)));
    EXPECT_TRUE(logs.contains("Win32InputBackend: injectEvent called before initialization"));
    ASSERT_TRUE(backend.initialize());
    EXPECT_TRUE(logs.contains("Win32InputBackend: initialized"));
    EXPECT_FALSE(backend.injectEvent(ofType(7)));
    EXPECT_TRUE(logs.contains("Win32InputBackend: unknown event type 7"));
    EXPECT_FALSE(backend.injectEvent(ofType(0)));
    EXPECT_TRUE(logs.contains("Win32InputBackend: unknown event type 0"));
    EXPECT_FALSE(backend.injectEvent(ofType(InputEvent::MouseDown, 6)));
    EXPECT_TRUE(logs.contains("Win32InputBackend: unknown mouse button 6"));
    backend.shutdown();
    EXPECT_TRUE(logs.contains("Win32InputBackend: shut down"));
    EXPECT_FALSE(backend.injectEvent(ofType(7)));
}

}  // namespace
}  // namespace veltrix
