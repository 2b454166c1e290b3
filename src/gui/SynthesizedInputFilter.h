#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QPointer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/PointerPressWatch.h"

class QWidget;

namespace veltrix {

class MainWindow;

// An application-wide native event filter that keeps clicks injected by this machine's own
// capture agent on the frames of the client's windows from working the window manager's close
// button against the main window while a session is in progress: the partner would otherwise end
// the session (a close in a session disconnects) by clicking on this desktop's client.
//
// The window manager acts on its frames itself, so the press cannot be held back; what reaches
// the client is the close request that follows it. A close request for the main window that
// comes within 500 ms of an injected left press on its frame is swallowed and the window goes
// to the tray instead; the close request of any other window goes through, and every other
// injected frame press is only logged. Presses in a client area, real presses, and everything
// outside a session pass untouched, as does everything when the predicate is empty.
class SynthesizedInputFilter : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    static constexpr std::int64_t kCloseAfterPressMs = 500;
    static constexpr std::uint32_t kLeftButton = 1;

    // True while a session is in progress.
    using SessionPredicate = std::function<bool()>;
    // Milliseconds on a steady clock (tests pass their own).
    using Clock = std::function<std::int64_t()>;

    // Starts watching the desktop's presses through `watch` (default: the desktop's own). When
    // they cannot be watched the filter logs a warning and passes every event.
    SynthesizedInputFilter(MainWindow* mainWindow, SessionPredicate predicate, QObject* parent = nullptr,
                           std::unique_ptr<platform::input::PointerPressWatch> watch = {}, Clock clock = {});
    ~SynthesizedInputFilter() override;

    // True when the event is swallowed, with the result then set to 0.
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    struct FramePress {
        std::uint64_t window = 0;
        std::int64_t atMs = 0;
    };

    void onPointerPress(const platform::input::PointerPress& press);
    bool sessionActive() const { return predicate_ && predicate_(); }
    // The first shown top-level widget whose window lies at the point (with the part it shows
    // there); null when none does.
    QWidget* topLevelAt(std::int32_t x, std::int32_t y, platform::input::WindowPart& part) const;
    bool followsFramePress(std::uint64_t window);

    QPointer<MainWindow> mainWindow_;
    SessionPredicate predicate_;
    std::unique_ptr<platform::input::PointerPressWatch> watch_;
    Clock clock_;
    bool watching_ = false;
    // The latest injected press on a frame of one of the client's windows, until a close request
    // of that window uses it up.
    std::optional<FramePress> lastFramePress_;
};

}  // namespace veltrix
