#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/CursorImage.h"
#include "platform/DisplayMonitors.h"

// Desktop duplication: a live copy of one monitor's picture that tells which regions changed
// since the last picture, waits for a change instead of copying a static screen again, and gives
// the cursor separately.
//
// On X11 the pictures come through shared-memory images (MIT-SHM), the changed regions from the
// DAMAGE extension and the cursor from XFIXES. A display configuration change, a failed picture,
// a lost server or a secure desktop that this process may not capture end the duplication: the
// acquisition reports AccessLost, and the caller makes a new duplication.
namespace veltrix::platform {

// Results of the duplication calls; callers log them as eight hexadecimal digits.
enum class DuplicationStatus : std::uint32_t {
    Ok = 0,
    WaitTimeout = 1,   // nothing changed within the wait
    AccessLost = 2,    // the duplication is gone; make a new one
    NotFound = 3,      // no such output
    Unsupported = 4,   // the display lacks shared-memory images, change tracking or 32-bit pixels
    Unavailable = 5,   // the display cannot be reached
    AccessDenied = 6,  // this process may not capture the input desktop now
    Failed = 7,        // the server refused a request
};

struct ScreenRect {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// One acquired picture of the duplicated monitor; its pixels stay valid until the frame is
// released or the next one is acquired.
struct DuplicatedFrame {
    const std::uint8_t* pixels = nullptr;  // 32-bit BGRX, top-down
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t pitch = 0;  // bytes per row
    // False when only the pointer moved or changed shape: the picture is the previous one and
    // there is no list of changed regions.
    bool hasMetadata = false;
};

class OutputDuplication;

// A connection to the display that can duplicate the monitors of its screen.
class DuplicationDevice {
public:
    static std::unique_ptr<DuplicationDevice> create(DuplicationStatus& status);
    ~DuplicationDevice();
    DuplicationDevice(const DuplicationDevice&) = delete;
    DuplicationDevice& operator=(const DuplicationDevice&) = delete;

    // The change-tracking protocol version as 0xMMmm.
    std::uint32_t featureLevel() const;

    // The monitors of this device's screen, in enumeration order.
    std::vector<DisplayMonitor> outputs() const;

    // Starts duplicating output `index` of outputs(); null with the reason in `status`. The
    // device must outlive the duplication.
    std::unique_ptr<OutputDuplication> duplicateOutput(int index, DuplicationStatus& status);

    // The cursor as shown now; false when it cannot be read.
    bool cursor(CursorImage& out);

    struct State;

private:
    explicit DuplicationDevice(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

class OutputDuplication {
public:
    ~OutputDuplication();
    OutputDuplication(const OutputDuplication&) = delete;
    OutputDuplication& operator=(const OutputDuplication&) = delete;

    // Waits up to `timeout` for the monitor's picture to change (or the pointer to move over it)
    // and acquires the new picture. The first acquisition delivers the whole picture at once.
    DuplicationStatus acquireNextFrame(std::chrono::milliseconds timeout, DuplicatedFrame& frame);

    // The regions of the acquired frame that changed since the previous one, in frame pixels.
    DuplicationStatus frameDirtyRects(std::vector<ScreenRect>& rects) const;

    void releaseFrame();

    struct State;

private:
    friend class DuplicationDevice;
    explicit OutputDuplication(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace veltrix::platform
