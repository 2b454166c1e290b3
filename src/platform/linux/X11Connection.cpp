#include "platform/linux/X11Connection.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace veltrix::platform::x11 {
namespace {

std::mutex registryMutex;
std::vector<Connection*> registry;
XErrorHandler previousErrorHandler = nullptr;
XIOErrorHandler previousIoErrorHandler = nullptr;

Connection* find(Display* display) {
    for (Connection* c : registry) {
        if (c->display() == display) return c;
    }
    return nullptr;
}

int onError(Display* display, XErrorEvent* event) {
    {
        std::lock_guard lock(registryMutex);
        if (Connection* c = find(display)) {
            c->recordError(event->error_code);
            return 0;
        }
    }
    // Not ours (a toolkit in the same process): its own handler decides.
    return previousErrorHandler ? previousErrorHandler(display, event) : 0;
}

int onIoError(Display* display) {
    {
        std::lock_guard lock(registryMutex);
        if (Connection* c = find(display)) {
            c->markBroken();
            return 0;
        }
    }
    return previousIoErrorHandler ? previousIoErrorHandler(display) : 0;
}

// Returning from here leaves the connection dead instead of ending the process.
void onIoErrorExit(Display*, void* connection) { static_cast<Connection*>(connection)->markBroken(); }

void installHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        previousErrorHandler = XSetErrorHandler(onError);
        previousIoErrorHandler = XSetIOErrorHandler(onIoError);
    });
}

}  // namespace

std::unique_ptr<Connection> Connection::open() {
    installHandlers();
    Display* display = XOpenDisplay(nullptr);
    if (!display) return nullptr;
    std::unique_ptr<Connection> connection(new Connection(display));
    XSetIOErrorExitHandler(display, onIoErrorExit, connection.get());
    std::lock_guard lock(registryMutex);
    registry.push_back(connection.get());
    return connection;
}

Connection::~Connection() {
    XCloseDisplay(display_);
    std::lock_guard lock(registryMutex);
    registry.erase(std::remove(registry.begin(), registry.end(), this), registry.end());
}

int Connection::takeError() {
    if (!broken()) XSync(display_, False);
    return lastError_.exchange(0);
}

}  // namespace veltrix::platform::x11
