#include "gui/SynthesizedInputFilter.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <spdlog/spdlog.h>

#include "gui/MainWindow.h"
#include "gui/SteadyClock.h"

namespace veltrix {
namespace {

using platform::input::PointerPress;
using platform::input::WindowPart;

constexpr const char* kHideReason = "synthesized non-client click — global filter";

std::string widgetName(const QWidget* widget) {
    return widget ? widget->metaObject()->className() : "(unknown)";
}

}  // namespace

SynthesizedInputFilter::SynthesizedInputFilter(MainWindow* mainWindow, SessionPredicate predicate, QObject* parent,
                                               std::unique_ptr<platform::input::PointerPressWatch> watch,
                                               Clock clock)
    : QObject(parent),
      mainWindow_(mainWindow),
      predicate_(std::move(predicate)),
      watch_(watch ? std::move(watch) : platform::input::createPointerPressWatch()),
      clock_(clock ? std::move(clock) : Clock(steadyMilliseconds)) {
    platform::SystemError error;
    watching_ = watch_->start([this](const PointerPress& press) { onPointerPress(press); }, error);
    if (!watching_)
        spdlog::warn("SynthesizedInputFilter: cannot watch pointer presses ({}); injected frame clicks pass",
                     error.text());
}

SynthesizedInputFilter::~SynthesizedInputFilter() = default;

void SynthesizedInputFilter::onPointerPress(const PointerPress& press) {
    if (press.button != kLeftButton || !press.injected || !sessionActive()) return;
    WindowPart part = WindowPart::Elsewhere;
    QWidget* widget = topLevelAt(press.x, press.y, part);
    if (!widget || part != WindowPart::Frame) return;
    const std::uint64_t window = widget->internalWinId();
    spdlog::info("SynthesizedInputFilter: injected frame press x={} y={} window=0x{:x} widget={}", press.x, press.y,
                 window, widgetName(widget));
    lastFramePress_ = FramePress{window, clock_()};
}

QWidget* SynthesizedInputFilter::topLevelAt(std::int32_t x, std::int32_t y, WindowPart& part) const {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (!widget->isVisible() || widget->internalWinId() == 0) continue;
        part = watch_->partAt(widget->internalWinId(), x, y);
        if (part != WindowPart::Elsewhere) return widget;
    }
    return nullptr;
}

bool SynthesizedInputFilter::nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) {
    if (!watching_) return false;
    const std::uint64_t window = watch_->closeRequestWindow(eventType, message);
    if (window == 0) return false;
    // The press that led to this request may still wait in the watch's queue.
    watch_->flush();
    if (!followsFramePress(window) || !sessionActive()) return false;

    QWidget* widget = QWidget::find(static_cast<WId>(window));
    if (!mainWindow_ || widget != mainWindow_) {
        spdlog::info("SynthesizedInputFilter: close request after an injected frame press goes through window=0x{:x} "
                     "widget={}",
                     window, widgetName(widget));
        return false;
    }
    spdlog::info("SynthesizedInputFilter: swallowed WM_DELETE_WINDOW window=0x{:x} widget={}", window,
                 widgetName(widget));
    // Nothing is hidden inside the native dispatch.
    QTimer::singleShot(0, mainWindow_, [target = mainWindow_] {
        if (target) target->scheduleHideToTray(QString::fromUtf8(kHideReason));
    });
    if (result) *result = 0;
    return true;
}

// Uses up the latest frame press when it was on this window and recent enough.
bool SynthesizedInputFilter::followsFramePress(std::uint64_t window) {
    if (!lastFramePress_ || lastFramePress_->window != window) return false;
    const std::int64_t elapsed = clock_() - lastFramePress_->atMs;
    lastFramePress_.reset();
    return elapsed >= 0 && elapsed <= kCloseAfterPressMs;
}

}  // namespace veltrix
