#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "shared/InputEvent.h"
#include "support/Hex.h"

namespace veltrix {
namespace {

using test::fromHex;
using test::toHex;
using Bytes = std::vector<std::uint8_t>;

// Packed with Python's struct module by tests/crypto/vectors/make_vectors.py.
const std::string kWheelEvent = "047b68e5cf8b0100009a9999999999b93f555555555555e53f0388ff";
const std::string kMoveEvent = "012a000000000000000000000000000000000000000000f03f010000";
const std::string kKeyDownEvent = "05fbffffffffffffff410000001e00000001";
const std::string kKeyUpEvent = "06ffffffffffffff7fffffffff1d01000000";

InputEvent mouse(std::uint8_t type, std::int64_t ts, double x, double y, std::uint8_t button, std::int16_t wheel) {
    InputEvent e;
    e.type = type;
    e.timestamp_ms = ts;
    e.mouse_x = x;
    e.mouse_y = y;
    e.mouse_button = button;
    e.wheel_delta = wheel;
    return e;
}

InputEvent key(std::uint8_t type, std::int64_t ts, std::uint32_t vk, std::uint32_t scan, bool extended) {
    InputEvent e;
    e.type = type;
    e.timestamp_ms = ts;
    e.vk_code = vk;
    e.scan_code = scan;
    e.extended = extended;
    return e;
}

void expectSame(const InputEvent& a, const InputEvent& b) {
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(a.timestamp_ms, b.timestamp_ms);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.mouse_x), std::bit_cast<std::uint64_t>(b.mouse_x));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.mouse_y), std::bit_cast<std::uint64_t>(b.mouse_y));
    EXPECT_EQ(a.mouse_button, b.mouse_button);
    EXPECT_EQ(a.wheel_delta, b.wheel_delta);
    EXPECT_EQ(a.vk_code, b.vk_code);
    EXPECT_EQ(a.scan_code, b.scan_code);
    EXPECT_EQ(a.extended, b.extended);
}

std::string deserializeError(const Bytes& bytes) {
    try {
        InputEvent::deserialize(bytes.data(), bytes.size());
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

TEST(InputEvent, BinaryFormsMatchFixedLayouts) {
    struct Case {
        InputEvent event;
        std::string bytes;
    };
    const Case cases[] = {
        {mouse(InputEvent::MouseWheel, 1700000000123, 0.1, 2.0 / 3.0, 3, -120), kWheelEvent},
        {mouse(InputEvent::MouseMove, 42, 0.0, 1.0, 1, 0), kMoveEvent},
        {key(InputEvent::KeyDown, -5, 0x41, 0x1E, true), kKeyDownEvent},
        {key(InputEvent::KeyUp, std::numeric_limits<std::int64_t>::max(), 0xffffffff, 0x11d, false), kKeyUpEvent},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(toHex(c.event.serialize()), c.bytes);
        const Bytes bytes = fromHex(c.bytes);
        expectSame(InputEvent::deserialize(bytes.data(), bytes.size()), c.event);
    }
}

TEST(InputEvent, CoordinatesSurviveBitForBit) {
    const double values[] = {0.1, 1.0 / 3.0, std::nextafter(1.0, 0.0), std::numeric_limits<double>::denorm_min(),
                             -0.0, 1e300};
    for (const double v : values) {
        const InputEvent sent = mouse(InputEvent::MouseDown, 7, v, 1.0 - v, 2, 0);
        const Bytes bytes = sent.serialize();
        ASSERT_EQ(bytes.size(), InputEvent::kMouseEventSize);
        expectSame(InputEvent::deserialize(bytes.data(), bytes.size()), sent);
    }
}

TEST(InputEvent, ReadingKeepsTheOtherKindsDefaults) {
    const Bytes keyBytes = fromHex(kKeyDownEvent);
    const InputEvent k = InputEvent::deserialize(keyBytes.data(), keyBytes.size());
    EXPECT_EQ(k.mouse_button, 1);
    EXPECT_EQ(k.mouse_x, 0.0);
    EXPECT_EQ(k.wheel_delta, 0);

    const Bytes mouseBytes = fromHex(kWheelEvent);
    const InputEvent m = InputEvent::deserialize(mouseBytes.data(), mouseBytes.size());
    EXPECT_EQ(m.vk_code, 0u);
    EXPECT_EQ(m.scan_code, 0u);
    EXPECT_FALSE(m.extended);
}

TEST(InputEvent, AnyNonZeroExtendedByteIsTrueAndTrailingBytesAreIgnored) {
    for (const std::uint8_t flag : {0x00, 0x01, 0x7f, 0x80, 0xff}) {
        SCOPED_TRACE(int(flag));
        Bytes bytes = fromHex(kKeyDownEvent);
        bytes[17] = flag;
        bytes.insert(bytes.end(), {0xde, 0xad});
        const InputEvent k = InputEvent::deserialize(bytes.data(), bytes.size());
        EXPECT_EQ(k.extended, flag != 0);
        // Written back as exactly 0 or 1, and only the 18 bytes of the event.
        const Bytes written = k.serialize();
        ASSERT_EQ(written.size(), InputEvent::kKeyEventSize);
        EXPECT_EQ(written[17], flag != 0 ? 1 : 0);
    }

    Bytes mouseBytes = fromHex(kWheelEvent);
    mouseBytes.resize(40, 0xee);
    EXPECT_EQ(toHex(InputEvent::deserialize(mouseBytes.data(), mouseBytes.size()).serialize()), kWheelEvent);
}

TEST(InputEvent, RefusesShortBuffersAndUnknownTypes) {
    const Bytes key = fromHex(kKeyDownEvent);
    const Bytes wheel = fromHex(kWheelEvent);
    Bytes type0(30, 0);
    Bytes type7 = Bytes(key.begin(), key.begin() + 9);
    type7[0] = 7;
    Bytes type255 = wheel;
    type255[0] = 255;
    struct Case {
        Bytes bytes;
        std::string message;
    };
    const Case cases[] = {
        {{}, "InputEvent::deserialize: buffer too small for header"},
        {Bytes(key.begin(), key.begin() + 8), "InputEvent::deserialize: buffer too small for header"},
        {Bytes(key.begin(), key.begin() + 9), "InputEvent::deserialize: buffer too small for key event (9 < 18)"},
        {Bytes(key.begin(), key.begin() + 17), "InputEvent::deserialize: buffer too small for key event (17 < 18)"},
        {Bytes(wheel.begin(), wheel.begin() + 18),
         "InputEvent::deserialize: buffer too small for mouse event (18 < 28)"},
        {Bytes(wheel.begin(), wheel.begin() + 27),
         "InputEvent::deserialize: buffer too small for mouse event (27 < 28)"},
        {type0, "InputEvent::deserialize: unknown event type 0"},
        {type7, "InputEvent::deserialize: unknown event type 7"},  // the type is judged before the length
        {type255, "InputEvent::deserialize: unknown event type 255"},
    };
    for (const Case& c : cases) EXPECT_EQ(deserializeError(c.bytes), c.message);
    EXPECT_THROW(InputEvent::deserialize(nullptr, 28), std::runtime_error);
}

TEST(InputEvent, RefusesCoordinatesThatAreNotFinite) {
    // Any NaN encoding (quiet, signalling, negative, with payload) and both infinities.
    const std::uint64_t bad[] = {0x7ff8000000000000, 0x7ff0000000000001, 0xfff8000000000000, 0x7fffffffffffffff,
                                 0x7ff0000000000000, 0xfff0000000000000};
    for (const std::uint64_t bits : bad) {
        for (const std::uint8_t type : {InputEvent::MouseMove, InputEvent::MouseWheel}) {
            for (const bool onX : {true, false}) {
                SCOPED_TRACE(testing::Message() << std::hex << bits << " type " << int(type) << " x " << onX);
                const double v = std::bit_cast<double>(bits);
                const Bytes bytes = mouse(type, 1, onX ? v : 0.5, onX ? 0.5 : v, 1, 0).serialize();
                EXPECT_EQ(deserializeError(bytes), "InputEvent::deserialize: mouse coordinates are not finite");
            }
        }
    }
    // The largest finite values still pass; clamping to the frame is the receiver's business.
    const Bytes huge = mouse(InputEvent::MouseMove, 1, std::numeric_limits<double>::max(),
                             -std::numeric_limits<double>::max(), 1, 0).serialize();
    EXPECT_EQ(deserializeError(huge), "no error");
}

TEST(InputEvent, SerializeRefusesUnknownTypes) {
    for (const std::uint8_t type : {0, 7, 200}) {
        InputEvent e;
        e.type = type;
        try {
            e.serialize();
            ADD_FAILURE() << "no exception for type " << int(type);
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "InputEvent::serialize: unknown event type " + std::to_string(type));
        }
    }
}

}  // namespace
}  // namespace veltrix
