#include "platform/PointerPressWatch.h"

#include <QSocketNotifier>

#include <cerrno>
#include <map>
#include <optional>

#include <xcb/xproto.h>

#include "platform/linux/X11Connection.h"

// Xlib last: its macros (Bool, Status, None) must not reach the Qt headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

namespace veltrix::platform::input {
namespace {

// Qt's name for the native events of its xcb connection.
constexpr const char* kXcbEventType = "xcb_generic_event_t";
// Raw events reach every client that selects them on the root window, grabs or not, from 2.1.
constexpr int kXiMajor = 2;
constexpr int kXiMinor = 2;

struct Rect {
    long left, top, right, bottom;  // right and bottom exclusive
    bool contains(long x, long y) const { return x >= left && x < right && y >= top && y < bottom; }
};

class XiPointerPressWatch final : public PointerPressWatch {
public:
    bool start(PressHandler handler, SystemError& error) override;
    void flush() override;
    std::uint64_t closeRequestWindow(const QByteArray& eventType, const void* message) const override;
    WindowPart partAt(std::uint64_t window, std::int32_t x, std::int32_t y) override;

private:
    bool selectRawPresses();
    void readPending();
    void onRawPress(const XIRawEvent& raw);
    bool isXTestDevice(int deviceId);
    std::optional<std::pair<int, int>> pointerPosition();
    Window frameOf(Window window);
    std::optional<Rect> clientRect(Window window);
    std::optional<Rect> frameRect(Window window, const Rect& client);

    std::unique_ptr<x11::Connection> connection_;
    std::unique_ptr<QSocketNotifier> notifier_;
    PressHandler handler_;
    int xiOpcode_ = 0;
    Atom xtestDeviceProperty_ = 0;
    Atom frameExtents_ = 0;
    Atom wmProtocols_ = 0;
    Atom wmDeleteWindow_ = 0;
    // Whether each source device seen so far is an XTest device; cleared when devices come or
    // go, because the server reuses device ids.
    std::map<int, bool> xtestDevices_;
};

bool XiPointerPressWatch::start(PressHandler handler, SystemError& error) {
    connection_ = x11::Connection::open();
    if (!connection_) {
        error.code = ENXIO;  // no display to watch
        return false;
    }
    Display* display = connection_->display();
    int firstEvent = 0;
    int firstError = 0;
    int major = kXiMajor;
    int minor = kXiMinor;
    if (!XQueryExtension(display, "XInputExtension", &xiOpcode_, &firstEvent, &firstError) ||
        XIQueryVersion(display, &major, &minor) != Success) {
        error.code = ENOTSUP;  // no XInput 2.2
        connection_.reset();
        return false;
    }
    xtestDeviceProperty_ = XInternAtom(display, "XTEST Device", False);
    frameExtents_ = XInternAtom(display, "_NET_FRAME_EXTENTS", False);
    wmProtocols_ = XInternAtom(display, "WM_PROTOCOLS", False);
    wmDeleteWindow_ = XInternAtom(display, "WM_DELETE_WINDOW", False);
    if (!selectRawPresses()) {
        error.code = EIO;  // the server refused the selection
        connection_.reset();
        return false;
    }
    handler_ = std::move(handler);
    notifier_ = std::make_unique<QSocketNotifier>(ConnectionNumber(display), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readPending(); });
    return true;
}

// One press event per press (master selection: deviceid the master, sourceid the physical or
// XTest device), and the hierarchy changes that invalidate the device cache.
bool XiPointerPressWatch::selectRawPresses() {
    unsigned char pressMask[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(pressMask, XI_RawButtonPress);
    unsigned char hierarchyMask[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(hierarchyMask, XI_HierarchyChanged);
    XIEventMask masks[] = {{XIAllMasterDevices, sizeof pressMask, pressMask},
                           {XIAllDevices, sizeof hierarchyMask, hierarchyMask}};
    Display* display = connection_->display();
    XISelectEvents(display, DefaultRootWindow(display), masks, 2);
    return connection_->takeError() == 0;
}

void XiPointerPressWatch::flush() {
    if (!connection_ || connection_->broken()) return;
    // The reply to a round trip comes after every event the server sent before it.
    XSync(connection_->display(), False);
    readPending();
}

void XiPointerPressWatch::readPending() {
    if (connection_->broken()) {
        notifier_->setEnabled(false);
        return;
    }
    Display* display = connection_->display();
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        XGenericEventCookie* cookie = &event.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != xiOpcode_ || !XGetEventData(display, cookie))
            continue;
        if (cookie->evtype == XI_RawButtonPress)
            onRawPress(*static_cast<const XIRawEvent*>(cookie->data));
        else if (cookie->evtype == XI_HierarchyChanged)
            xtestDevices_.clear();
        XFreeEventData(display, cookie);
        if (connection_->broken()) return;
    }
}

void XiPointerPressWatch::onRawPress(const XIRawEvent& raw) {
    // A raw event carries no position: the pointer is read now, which for a click is where it was
    // pressed.
    const auto position = pointerPosition();
    if (!position) return;
    PointerPress press;
    press.button = static_cast<std::uint32_t>(raw.detail);
    press.x = position->first;
    press.y = position->second;
    press.injected = isXTestDevice(raw.sourceid);
    if (handler_) handler_(press);
}

// The server marks each XTest device with the "XTEST Device" property, which clients cannot delete.
bool XiPointerPressWatch::isXTestDevice(int deviceId) {
    if (const auto known = xtestDevices_.find(deviceId); known != xtestDevices_.end()) return known->second;
    Atom type = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned long bytesAfter = 0;
    unsigned char* data = nullptr;
    const bool xtest = XIGetProperty(connection_->display(), deviceId, xtestDeviceProperty_, 0, 1, False,
                                     AnyPropertyType, &type, &format, &items, &bytesAfter, &data) == Success &&
                       type != 0;
    if (data) XFree(data);
    connection_->takeError();
    xtestDevices_[deviceId] = xtest;
    return xtest;
}

std::optional<std::pair<int, int>> XiPointerPressWatch::pointerPosition() {
    Display* display = connection_->display();
    Window root = 0;
    Window child = 0;
    int rootX = 0;
    int rootY = 0;
    int x = 0;
    int y = 0;
    unsigned mask = 0;
    if (!XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &x, &y, &mask))
        return std::nullopt;
    return std::pair{rootX, rootY};
}

std::uint64_t XiPointerPressWatch::closeRequestWindow(const QByteArray& eventType, const void* message) const {
    if (!message || !wmDeleteWindow_ || eventType != kXcbEventType) return 0;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    // The high bit marks an event another client sent, as the window manager sends this one.
    if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) return 0;
    const auto* client = static_cast<const xcb_client_message_event_t*>(message);
    if (client->format != 32 || client->type != wmProtocols_ || client->data.data32[0] != wmDeleteWindow_) return 0;
    return client->window;
}

WindowPart XiPointerPressWatch::partAt(std::uint64_t window, std::int32_t x, std::int32_t y) {
    if (!connection_ || connection_->broken() || window == 0) return WindowPart::Elsewhere;
    Display* display = connection_->display();
    const Window client = static_cast<Window>(window);
    // The topmost window at the point, as the root's child: the frame of a managed window.
    int childX = 0;
    int childY = 0;
    Window topmost = 0;
    const Window root = DefaultRootWindow(display);
    if (!XTranslateCoordinates(display, root, root, x, y, &childX, &childY, &topmost) || topmost == 0 ||
        topmost != frameOf(client)) {
        connection_->takeError();
        return WindowPart::Elsewhere;
    }
    const auto clientArea = clientRect(client);
    if (!clientArea) return WindowPart::Elsewhere;
    if (clientArea->contains(x, y)) return WindowPart::Client;
    const auto frame = frameRect(client, *clientArea);
    return frame && frame->contains(x, y) ? WindowPart::Frame : WindowPart::Elsewhere;
}

// The root's child that holds the window: the window manager's frame, or the window itself
// when nobody reparented it. 0 when the window is gone.
Window XiPointerPressWatch::frameOf(Window window) {
    Display* display = connection_->display();
    const Window root = DefaultRootWindow(display);
    for (Window current = window; current != 0;) {
        Window treeRoot = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display, current, &treeRoot, &parent, &children, &count)) return 0;
        if (children) XFree(children);
        if (parent == root) return current;
        current = parent;
    }
    return 0;
}

std::optional<Rect> XiPointerPressWatch::clientRect(Window window) {
    Display* display = connection_->display();
    XWindowAttributes attributes{};
    int left = 0;
    int top = 0;
    Window child = 0;
    if (!XGetWindowAttributes(display, window, &attributes) ||
        !XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &left, &top, &child)) {
        connection_->takeError();
        return std::nullopt;
    }
    return Rect{left, top, left + attributes.width, top + attributes.height};
}

// The client area grown by the window manager's _NET_FRAME_EXTENTS (left, right, top, bottom).
std::optional<Rect> XiPointerPressWatch::frameRect(Window window, const Rect& client) {
    Atom type = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned long bytesAfter = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(connection_->display(), window, frameExtents_, 0, 4, False, XA_CARDINAL,
                                          &type, &format, &items, &bytesAfter, &data);
    std::optional<Rect> frame;
    if (status == Success && type == XA_CARDINAL && format == 32 && items == 4) {
        // Format 32 properties come as longs.
        const auto* extents = reinterpret_cast<const long*>(data);
        frame = Rect{client.left - extents[0], client.top - extents[2], client.right + extents[1],
                     client.bottom + extents[3]};
    }
    if (data) XFree(data);
    return frame;
}

}  // namespace

std::unique_ptr<PointerPressWatch> createPointerPressWatch() { return std::make_unique<XiPointerPressWatch>(); }

}  // namespace veltrix::platform::input
