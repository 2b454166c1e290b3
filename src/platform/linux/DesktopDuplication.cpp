#include "platform/DesktopDuplication.h"

#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include "platform/InputDesktop.h"
#include "platform/linux/X11Connection.h"
#include "platform/linux/X11Cursor.h"
#include "platform/linux/X11Monitors.h"

namespace veltrix::platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How often the pointer is looked at while waiting for a change, and how often the monitor
// layout is compared (RandR sends no event when only the monitor list changes).
constexpr auto kPointerPollInterval = std::chrono::milliseconds(10);
constexpr auto kLayoutCheckInterval = std::chrono::milliseconds(250);

// The pointer counts as over the monitor within this margin (a cursor picture's size).
constexpr int kCursorMargin = 64;

bool sameRect(const DisplayMonitor& a, const DisplayMonitor& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

}  // namespace

struct DuplicationDevice::State {
    std::unique_ptr<x11::Connection> connection;
    Visual* visual = nullptr;
    int depth = 0;
    int damageEventBase = 0;
    int fixesEventBase = 0;
    int randrEventBase = 0;
    int damageMajor = 0;
    int damageMinor = 0;
    bool randrMonitors = false;
};

struct OutputDuplication::State {
    DuplicationDevice::State* device = nullptr;
    int index = 0;
    DisplayMonitor monitor;
    XImage* image = nullptr;
    XShmSegmentInfo shm{};
    bool attached = false;
    Damage damage = None;
    XserverRegion region = None;
    bool firstFrame = true;
    bool held = false;
    bool lastHadMetadata = false;
    std::vector<ScreenRect> dirty;
    int pointerX = -1;
    int pointerY = -1;
    SteadyClock::time_point nextLayoutCheck{};

    Display* display() const { return device->connection->display(); }
    bool broken() const { return device->connection->broken(); }
};

// ---- device --------------------------------------------------------------------------------

DuplicationDevice::DuplicationDevice(std::unique_ptr<State> state) : state_(std::move(state)) {}
DuplicationDevice::~DuplicationDevice() = default;

std::unique_ptr<DuplicationDevice> DuplicationDevice::create(DuplicationStatus& status) {
    auto state = std::make_unique<State>();
    state->connection = x11::Connection::open();
    if (!state->connection) {
        spdlog::debug("DesktopDuplication: cannot open the display");
        status = DuplicationStatus::Unavailable;
        return nullptr;
    }
    Display* display = state->connection->display();
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    Bool sharedPixmaps = False;
    if (!XShmQueryExtension(display) || !XShmQueryVersion(display, &major, &minor, &sharedPixmaps)) {
        spdlog::debug("DesktopDuplication: the display has no MIT-SHM extension");
        status = DuplicationStatus::Unsupported;
        return nullptr;
    }
    if (!XDamageQueryExtension(display, &state->damageEventBase, &errorBase) ||
        !XDamageQueryVersion(display, &state->damageMajor, &state->damageMinor)) {
        spdlog::debug("DesktopDuplication: the display has no DAMAGE extension");
        status = DuplicationStatus::Unsupported;
        return nullptr;
    }
    if (!x11::haveFixes(display, &state->fixesEventBase)) {
        spdlog::debug("DesktopDuplication: the display has no XFIXES 2 extension");
        status = DuplicationStatus::Unsupported;
        return nullptr;
    }
    if (XRRQueryExtension(display, &state->randrEventBase, &errorBase) &&
        XRRQueryVersion(display, &major, &minor)) {
        state->randrMonitors = major > 1 || (major == 1 && minor >= 5);
    }
    // The pictures are handed on as BGRA: only 32-bit little-endian true colour qualifies.
    const int screen = state->connection->screen();
    XVisualInfo wanted{};
    wanted.visualid = XVisualIDFromVisual(DefaultVisual(display, screen));
    int count = 0;
    XVisualInfo* info = XGetVisualInfo(display, VisualIDMask, &wanted, &count);
    const bool bgra = info && count > 0 && info->c_class == TrueColor && info->red_mask == 0xFF0000 &&
                      info->green_mask == 0xFF00 && info->blue_mask == 0xFF && ImageByteOrder(display) == LSBFirst;
    if (info) XFree(info);
    int formats = 0;
    bool thirtyTwoBits = false;
    if (XPixmapFormatValues* list = XListPixmapFormats(display, &formats)) {
        for (int i = 0; i < formats; ++i) {
            if (list[i].depth == DefaultDepth(display, screen)) thirtyTwoBits = list[i].bits_per_pixel == 32;
        }
        XFree(list);
    }
    if (!bgra || !thirtyTwoBits) {
        spdlog::debug("DesktopDuplication: the screen's pixel format is not 32-bit BGRX");
        status = DuplicationStatus::Unsupported;
        return nullptr;
    }
    state->visual = DefaultVisual(display, screen);
    state->depth = DefaultDepth(display, screen);
    status = DuplicationStatus::Ok;
    return std::unique_ptr<DuplicationDevice>(new DuplicationDevice(std::move(state)));
}

std::uint32_t DuplicationDevice::featureLevel() const {
    return static_cast<std::uint32_t>((state_->damageMajor & 0xFF) << 8 | (state_->damageMinor & 0xFF));
}

std::vector<DisplayMonitor> DuplicationDevice::outputs() const {
    Display* display = state_->connection->display();
    auto list = x11::monitorsOfScreen(display, state_->connection->screen());
    if (state_->connection->broken()) return {};
    return list;
}

bool DuplicationDevice::cursor(CursorImage& out) {
    if (state_->connection->broken()) return false;
    return x11::fetchCursor(state_->connection->display(), out);
}

std::unique_ptr<OutputDuplication> DuplicationDevice::duplicateOutput(int index, DuplicationStatus& status) {
    x11::Connection& connection = *state_->connection;
    if (connection.broken()) {
        status = DuplicationStatus::Unavailable;
        return nullptr;
    }
    const auto monitors = outputs();
    if (index < 0 || index >= static_cast<int>(monitors.size())) {
        status = DuplicationStatus::NotFound;
        return nullptr;
    }
    if (!desktops::mayCaptureInputDesktop()) {
        status = DuplicationStatus::AccessDenied;
        return nullptr;
    }
    const DisplayMonitor& monitor = monitors[static_cast<std::size_t>(index)];
    if (monitor.width <= 0 || monitor.height <= 0) {
        status = DuplicationStatus::Failed;
        return nullptr;
    }

    auto s = std::make_unique<OutputDuplication::State>();
    s->device = state_.get();
    s->index = index;
    s->monitor = monitor;
    // Owned from here on: the destructor releases whatever was made before a failure.
    std::unique_ptr<OutputDuplication> duplication(new OutputDuplication(std::move(s)));
    OutputDuplication::State& d = *duplication->state_;
    Display* display = connection.display();

    connection.takeError();
    d.image = XShmCreateImage(display, state_->visual, static_cast<unsigned>(state_->depth), ZPixmap, nullptr,
                              &d.shm, static_cast<unsigned>(monitor.width), static_cast<unsigned>(monitor.height));
    if (!d.image || d.image->bits_per_pixel != 32) {
        spdlog::debug("DesktopDuplication: XShmCreateImage failed");
        status = DuplicationStatus::Failed;
        return nullptr;
    }
    d.shm.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(d.image->bytes_per_line) * d.image->height,
                         IPC_CREAT | 0600);
    if (d.shm.shmid < 0) {
        spdlog::debug("DesktopDuplication: shmget failed");
        status = DuplicationStatus::Failed;
        return nullptr;
    }
    d.shm.shmaddr = static_cast<char*>(shmat(d.shm.shmid, nullptr, 0));
    if (d.shm.shmaddr == reinterpret_cast<char*>(-1)) {
        d.shm.shmaddr = nullptr;
        shmctl(d.shm.shmid, IPC_RMID, nullptr);
        spdlog::debug("DesktopDuplication: shmat failed");
        status = DuplicationStatus::Failed;
        return nullptr;
    }
    d.image->data = d.shm.shmaddr;
    d.shm.readOnly = False;
    const bool attached = XShmAttach(display, &d.shm);
    const int attachError = connection.takeError();
    // Marked for removal at once: the segment goes away with the last detach, even after a crash.
    shmctl(d.shm.shmid, IPC_RMID, nullptr);
    if (!attached || attachError != 0) {
        spdlog::debug("DesktopDuplication: XShmAttach failed (X error {})", attachError);
        status = DuplicationStatus::Failed;
        return nullptr;
    }
    d.attached = true;

    d.damage = XDamageCreate(display, connection.root(), XDamageReportNonEmpty);
    d.region = XFixesCreateRegion(display, nullptr, 0);
    XFixesSelectCursorInput(display, connection.root(), XFixesDisplayCursorNotifyMask);
    XRRSelectInput(display, connection.root(), RRScreenChangeNotifyMask);
    if (const int error = connection.takeError(); error != 0 || connection.broken()) {
        spdlog::debug("DesktopDuplication: change tracking set-up failed (X error {})", error);
        status = DuplicationStatus::Failed;
        return nullptr;
    }
    d.nextLayoutCheck = SteadyClock::now() + kLayoutCheckInterval;
    status = DuplicationStatus::Ok;
    return duplication;
}

// ---- duplication ---------------------------------------------------------------------------

OutputDuplication::OutputDuplication(std::unique_ptr<State> state) : state_(std::move(state)) {}

OutputDuplication::~OutputDuplication() {
    State& d = *state_;
    Display* display = d.display();
    if (!d.broken()) {
        const Window root = DefaultRootWindow(display);
        XRRSelectInput(display, root, 0);
        XFixesSelectCursorInput(display, root, 0);
        if (d.damage != None) XDamageDestroy(display, d.damage);
        if (d.region != None) XFixesDestroyRegion(display, d.region);
        if (d.attached) XShmDetach(display, &d.shm);
        d.device->connection->takeError();
        // Events of this duplication must not reach the next one.
        XSync(display, True);
    }
    if (d.image) XDestroyImage(d.image);  // frees the image structure only, not the segment
    if (d.shm.shmaddr) shmdt(d.shm.shmaddr);
}

void OutputDuplication::releaseFrame() { state_->held = false; }

DuplicationStatus OutputDuplication::frameDirtyRects(std::vector<ScreenRect>& rects) const {
    rects.clear();
    if (state_->lastHadMetadata) rects = state_->dirty;
    return DuplicationStatus::Ok;
}

DuplicationStatus OutputDuplication::acquireNextFrame(std::chrono::milliseconds timeout, DuplicatedFrame& frame) {
    State& d = *state_;
    d.held = false;
    if (d.broken() || !desktops::mayCaptureInputDesktop()) return DuplicationStatus::AccessLost;
    Display* display = d.display();
    const Window root = DefaultRootWindow(display);
    const DisplayMonitor& m = d.monitor;
    const DuplicationDevice::State& device = *d.device;
    const auto deadline = SteadyClock::now() + timeout;

    const auto pointerOverMonitor = [&m](int x, int y) {
        return x >= m.x - kCursorMargin && x < m.x + m.width + kCursorMargin && y >= m.y - kCursorMargin &&
               y < m.y + m.height + kCursorMargin;
    };

    bool pictureChanged = false;
    if (d.firstFrame) {
        // Everything from this picture on is tracked: empty the accumulated damage first, then
        // take the picture (the request after it makes the server apply the subtraction first).
        XDamageSubtract(display, d.damage, None, None);
        d.dirty.assign(1, ScreenRect{0, 0, m.width, m.height});
        pictureChanged = true;
    }
    bool pointerChanged = false;
    while (!pictureChanged && !pointerChanged) {
        bool damaged = false;
        bool cursorShape = false;
        bool displayChanged = false;
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == device.damageEventBase + XDamageNotify) {
                damaged = true;
            } else if (event.type == device.fixesEventBase + XFixesCursorNotify) {
                cursorShape = true;
            } else if (event.type == device.randrEventBase + RRScreenChangeNotify) {
                XRRUpdateConfiguration(&event);
                displayChanged = true;
            }
        }
        if (d.broken() || displayChanged) return DuplicationStatus::AccessLost;

        const auto now = SteadyClock::now();
        if (now >= d.nextLayoutCheck) {
            d.nextLayoutCheck = now + kLayoutCheckInterval;
            const auto monitors = x11::monitorsOfScreen(display, DefaultScreen(display));
            if (d.index >= static_cast<int>(monitors.size()) ||
                !sameRect(monitors[static_cast<std::size_t>(d.index)], m)) {
                return DuplicationStatus::AccessLost;
            }
        }

        if (damaged) {
            // All notifications so far are consumed before the subtraction: damage after it raises
            // a new notification, damage before it is in the region. A notification that arrives
            // for damage already taken only costs one empty look next time.
            XDamageSubtract(display, d.damage, None, d.region);
            int count = 0;
            XRectangle* rects = XFixesFetchRegion(display, d.region, &count);
            d.dirty.clear();
            for (int i = 0; i < count; ++i) {
                const int x0 = std::max<int>(rects[i].x, m.x);
                const int y0 = std::max<int>(rects[i].y, m.y);
                const int x1 = std::min<int>(rects[i].x + rects[i].width, m.x + m.width);
                const int y1 = std::min<int>(rects[i].y + rects[i].height, m.y + m.height);
                if (x1 > x0 && y1 > y0) d.dirty.push_back({x0 - m.x, y0 - m.y, x1 - x0, y1 - y0});
            }
            if (rects) XFree(rects);
            if (!d.dirty.empty()) {
                pictureChanged = true;
                break;
            }
        }

        Window rootReturn = None;
        Window child = None;
        int x = 0;
        int y = 0;
        int winX = 0;
        int winY = 0;
        unsigned mask = 0;
        if (XQueryPointer(display, root, &rootReturn, &child, &x, &y, &winX, &winY, &mask) &&
            (x != d.pointerX || y != d.pointerY)) {
            const bool relevant = pointerOverMonitor(x, y) || pointerOverMonitor(d.pointerX, d.pointerY);
            d.pointerX = x;
            d.pointerY = y;
            if (relevant) pointerChanged = true;
        }
        if (cursorShape && pointerOverMonitor(d.pointerX, d.pointerY)) pointerChanged = true;
        if (pointerChanged) break;

        const auto left = deadline - SteadyClock::now();
        if (left <= std::chrono::nanoseconds::zero()) return DuplicationStatus::WaitTimeout;
        const auto slice = std::min<std::chrono::nanoseconds>(left, kPointerPollInterval);
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        poll(&fd, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(slice).count()));
    }

    if (pictureChanged) {
        if (!XShmGetImage(display, root, d.image, m.x, m.y, AllPlanes) || d.broken()) {
            return DuplicationStatus::AccessLost;
        }
        if (d.firstFrame) {
            Window rootReturn = None;
            Window child = None;
            int winX = 0;
            int winY = 0;
            unsigned mask = 0;
            XQueryPointer(display, root, &rootReturn, &child, &d.pointerX, &d.pointerY, &winX, &winY, &mask);
        }
        d.firstFrame = false;
    }
    d.lastHadMetadata = pictureChanged;
    d.held = true;
    frame.pixels = reinterpret_cast<const std::uint8_t*>(d.image->data);
    frame.width = m.width;
    frame.height = m.height;
    frame.pitch = d.image->bytes_per_line;
    frame.hasMetadata = pictureChanged;
    return DuplicationStatus::Ok;
}

}  // namespace veltrix::platform
