#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <vector>

#include "gui/RemoteDesktopWidget.h"
#include "support/WaitUntil.h"

namespace veltrix {
namespace {

using namespace std::chrono_literals;

// A viewer 1000 x 500 showing a 1920 x 1080 picture fitted: the picture is (55, 0, 889, 500).
class ViewerInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        widget.resize(1000, 500);
        widget.setScaleMode(0);
        widget.show();
        ASSERT_TRUE(test::waitUntil([&] { return widget.isGlReady(); }, 10s));
        auto frame = std::make_shared<DecodedFrame>();
        frame->width = 1920;
        frame->height = 1080;
        frame->strideY = 1920;
        frame->strideUV = 1920;
        frame->y.assign(1920 * 1080, 100);
        frame->uv.assign(1920 * 540, 128);
        widget.updateFrame(frame);
        widget.grabFramebuffer();  // draws it, so the widget knows the picture's size
        ASSERT_EQ(widget.videoRect(), QRect(55, 0, 889, 500));
        QObject::connect(&widget, &RemoteDesktopWidget::inputEvent, [this](InputEvent e) { sent.push_back(e); });
        QObject::connect(&widget, &RemoteDesktopWidget::zoomChanged, [this](double z) { zooms.push_back(z); });
    }

    void mouse(QEvent::Type type, QPointF at, Qt::MouseButton button) {
        QMouseEvent event(type, at, widget.mapToGlobal(at), button,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : button, Qt::NoModifier);
        QApplication::sendEvent(&widget, &event);
    }
    void click(QPointF at, Qt::MouseButton button = Qt::LeftButton) {
        mouse(QEvent::MouseButtonPress, at, button);
        mouse(QEvent::MouseButtonRelease, at, button);
    }
    // X key codes as the X server reports them: evdev code + 8.
    void key(QEvent::Type type, int qtKey, quint32 xKeycode, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
             bool autoRepeat = false) {
        QKeyEvent event(type, qtKey, modifiers, xKeycode, 0, 0, QString(), autoRepeat);
        QApplication::sendEvent(&widget, &event);
    }
    void wheel(QPointF at, int dy, Qt::KeyboardModifiers modifiers = Qt::NoModifier, int dx = 0) {
        QWheelEvent event(at, widget.mapToGlobal(at), QPoint(), QPoint(dx, dy), Qt::NoButton, modifiers,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(&widget, &event);
    }

    RemoteDesktopWidget widget;
    std::vector<InputEvent> sent;
    std::vector<double> zooms;
};

constexpr quint32 kKeyA = 30 + 8;
constexpr quint32 kKeyRightCtrl = 97 + 8;

TEST_F(ViewerInputTest, NothingIsSentOutsideViewingModeButCtrlZoomKeysStillZoom) {
    click({500, 250});
    mouse(QEvent::MouseMove, {400, 200}, Qt::NoButton);
    key(QEvent::KeyPress, Qt::Key_A, kKeyA);
    key(QEvent::KeyRelease, Qt::Key_A, kKeyA);
    wheel({500, 250}, 120);
    EXPECT_TRUE(sent.empty());

    key(QEvent::KeyPress, Qt::Key_Equal, 21 + 8, Qt::ControlModifier);
    EXPECT_DOUBLE_EQ(widget.zoom(), 1.25);
    wheel({500, 250}, 120, Qt::ControlModifier);
    EXPECT_NEAR(widget.zoom(), 1.5625, 1e-9);
    EXPECT_TRUE(sent.empty());
}

TEST_F(ViewerInputTest, ClicksAreSentInFrameFractionsOnlyOnThePicture) {
    widget.setViewingMode(true);
    click({20, 250});  // letterbox
    EXPECT_TRUE(sent.empty());

    click({944, 500}, Qt::RightButton);  // exactly on the right and bottom edges
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].type, InputEvent::MouseDown);
    EXPECT_EQ(sent[1].type, InputEvent::MouseUp);
    EXPECT_DOUBLE_EQ(sent[0].mouse_x, 1.0);
    EXPECT_DOUBLE_EQ(sent[0].mouse_y, 1.0);
    EXPECT_EQ(sent[0].mouse_button, 2);
    EXPECT_GE(sent[1].timestamp_ms, sent[0].timestamp_ms);

    sent.clear();
    mouse(QEvent::MouseMove, {55 + 889 / 2.0, 125}, Qt::NoButton);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, InputEvent::MouseMove);
    EXPECT_NEAR(sent[0].mouse_x, 0.5, 1e-9);
    EXPECT_NEAR(sent[0].mouse_y, 0.25, 1e-9);
}

TEST_F(ViewerInputTest, APressOnThePictureIsReleasedThereEvenWhenTheReleaseIsOutside) {
    widget.setViewingMode(true);
    mouse(QEvent::MouseButtonPress, {500, 250}, Qt::LeftButton);
    mouse(QEvent::MouseButtonRelease, {1, 250}, Qt::LeftButton);  // letterbox, left of the picture
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].type, InputEvent::MouseUp);
    EXPECT_DOUBLE_EQ(sent[1].mouse_x, 0.0) << "clamped to the picture's edge";
    EXPECT_NEAR(sent[1].mouse_y, 0.5, 1e-9);

    sent.clear();
    mouse(QEvent::MouseButtonRelease, {1, 250}, Qt::LeftButton);  // a release of nothing forwarded
    EXPECT_TRUE(sent.empty());
}

TEST_F(ViewerInputTest, KeysAndButtonsStillDownAreReleasedWhenFocusLeavesOrViewingEnds) {
    widget.setViewingMode(true);
    key(QEvent::KeyPress, Qt::Key_Control, kKeyRightCtrl);
    key(QEvent::KeyPress, Qt::Key_A, kKeyA);
    key(QEvent::KeyRelease, Qt::Key_A, kKeyA);
    mouse(QEvent::MouseButtonPress, {500, 250}, Qt::LeftButton);
    sent.clear();

    QFocusEvent focusOut(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(&widget, &focusOut);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].type, InputEvent::KeyUp);
    EXPECT_EQ(sent[0].vk_code, 0x11u);
    EXPECT_EQ(sent[0].scan_code, 0xE01Du);
    EXPECT_TRUE(sent[0].extended);
    EXPECT_EQ(sent[1].type, InputEvent::MouseUp);
    EXPECT_EQ(sent[1].mouse_button, 1);
    EXPECT_DOUBLE_EQ(sent[1].mouse_x, (500 - 55) / 889.0) << "released where the pointer was";

    sent.clear();
    QApplication::sendEvent(&widget, &focusOut);
    EXPECT_TRUE(sent.empty()) << "nothing is released twice";

    key(QEvent::KeyPress, Qt::Key_A, kKeyA);
    sent.clear();
    widget.setViewingMode(false);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, InputEvent::KeyUp);
}

TEST_F(ViewerInputTest, AHeldKeyIsOneDownAndOneUpWithThePcKeyCodes) {
    widget.setViewingMode(true);
    key(QEvent::KeyPress, Qt::Key_A, kKeyA);
    key(QEvent::KeyPress, Qt::Key_A, kKeyA, Qt::NoModifier, true);
    key(QEvent::KeyRelease, Qt::Key_A, kKeyA, Qt::NoModifier, true);
    key(QEvent::KeyPress, Qt::Key_A, kKeyA, Qt::NoModifier, true);
    key(QEvent::KeyRelease, Qt::Key_A, kKeyA);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].type, InputEvent::KeyDown);
    EXPECT_EQ(sent[1].type, InputEvent::KeyUp);
    EXPECT_EQ(sent[0].vk_code, 0x41u);
    EXPECT_EQ(sent[0].scan_code, 0x1Eu);
    EXPECT_FALSE(sent[0].extended);
}

TEST_F(ViewerInputTest, CtrlZoomKeys) {
    widget.setViewingMode(true);
    key(QEvent::KeyPress, Qt::Key_0, 11 + 8, Qt::ControlModifier);
    EXPECT_TRUE(zooms.empty()) << "Ctrl+0 at zoom 1, centred: silent";

    widget.setZoom(8.0);
    zooms.clear();
    key(QEvent::KeyPress, Qt::Key_Equal, 21 + 8, Qt::ControlModifier);
    EXPECT_DOUBLE_EQ(widget.zoom(), 8.0);
    EXPECT_TRUE(zooms.empty()) << "Ctrl+= at 8";

    key(QEvent::KeyPress, Qt::Key_Minus, 12 + 8, Qt::ControlModifier);
    EXPECT_DOUBLE_EQ(widget.zoom(), 6.4);

    key(QEvent::KeyPress, Qt::Key_1, 2 + 8, Qt::ControlModifier);
    EXPECT_EQ(widget.scaleMode(), 1);
    EXPECT_DOUBLE_EQ(widget.zoom(), 1.0);
    ASSERT_FALSE(zooms.empty());
    EXPECT_DOUBLE_EQ(zooms.back(), 1.0);
    EXPECT_TRUE(sent.empty()) << "zoom keys stay local";

    key(QEvent::KeyRelease, Qt::Key_1, 2 + 8, Qt::ControlModifier);
    EXPECT_TRUE(sent.empty()) << "a release whose press stayed here is not sent either";
}

// Tab and Shift+Tab are keys of the partner's while viewing: the focus stays on the viewer.
TEST_F(ViewerInputTest, TabAndShiftTabGoToThePartnerAndTheFocusStays) {
    QWidget window;
    auto* viewer = new RemoteDesktopWidget(&window);
    auto* field = new QLineEdit(&window);
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(viewer);
    layout->addWidget(field);
    viewer->setFocusPolicy(Qt::StrongFocus);
    std::vector<InputEvent> keys;
    QObject::connect(viewer, &RemoteDesktopWidget::inputEvent, [&](InputEvent e) { keys.push_back(e); });
    viewer->setViewingMode(true);
    viewer->setFocus();
    ASSERT_EQ(window.focusWidget(), viewer);
    for (const auto& [qtKey, modifiers] : {std::pair{Qt::Key_Tab, Qt::NoModifier}, std::pair{Qt::Key_Backtab, Qt::ShiftModifier}}) {
        QKeyEvent press(QEvent::KeyPress, qtKey, modifiers, 15 + 8, 0, 0);
        QApplication::sendEvent(viewer, &press);
        QKeyEvent release(QEvent::KeyRelease, qtKey, modifiers, 15 + 8, 0, 0);
        QApplication::sendEvent(viewer, &release);
    }
    ASSERT_EQ(keys.size(), 4u);
    for (const InputEvent& e : keys) EXPECT_EQ(e.vk_code, 0x09u);
    EXPECT_EQ(window.focusWidget(), viewer);
}

// The window's own shortcuts act here: neither their key nor the modifiers held with it reach
// the partner. Modifiers wait for the next key or click that goes to the partner; one tapped
// alone goes as a tap; a release whose press never went is not sent.
TEST_F(ViewerInputTest, ModifiersWaitForTheirKeyAndAShortcutsKeysStayHere) {
    constexpr quint32 kLeftCtrl = 29 + 8, kLeftShift = 42 + 8, kLeftAlt = 56 + 8, kKeyD = 32 + 8, kKeyC = 46 + 8;
    widget.setViewingMode(true);
    widget.setLocalShortcuts({QKeySequence("Ctrl+Shift+D")});
    const auto shortcutOverride = [&](int qtKey, quint32 code, Qt::KeyboardModifiers modifiers) {
        QKeyEvent event(QEvent::ShortcutOverride, qtKey, modifiers, code, 0, 0);
        event.ignore();
        QApplication::sendEvent(&widget, &event);
        return event.isAccepted();
    };

    key(QEvent::KeyPress, Qt::Key_Control, kLeftCtrl);
    key(QEvent::KeyPress, Qt::Key_Shift, kLeftShift, Qt::ControlModifier);
    EXPECT_TRUE(sent.empty()) << "modifiers wait";
    EXPECT_FALSE(shortcutOverride(Qt::Key_D, kKeyD, Qt::ControlModifier | Qt::ShiftModifier)) << "the shortcut acts";
    key(QEvent::KeyRelease, Qt::Key_D, kKeyD, Qt::ControlModifier | Qt::ShiftModifier);
    key(QEvent::KeyRelease, Qt::Key_Shift, kLeftShift, Qt::ControlModifier);
    key(QEvent::KeyRelease, Qt::Key_Control, kLeftCtrl);
    EXPECT_TRUE(sent.empty());

    // Any other combination is the partner's: Ctrl goes ahead of the C it came with.
    key(QEvent::KeyPress, Qt::Key_Control, kLeftCtrl);
    EXPECT_TRUE(shortcutOverride(Qt::Key_C, kKeyC, Qt::ControlModifier)) << "no shortcut may take it";
    key(QEvent::KeyPress, Qt::Key_C, kKeyC, Qt::ControlModifier);
    key(QEvent::KeyRelease, Qt::Key_C, kKeyC, Qt::ControlModifier);
    key(QEvent::KeyRelease, Qt::Key_Control, kLeftCtrl);
    // Alt alone: a tap. Shift held over a click: ahead of the click.
    key(QEvent::KeyPress, Qt::Key_Alt, kLeftAlt);
    key(QEvent::KeyRelease, Qt::Key_Alt, kLeftAlt);
    key(QEvent::KeyPress, Qt::Key_Shift, kLeftShift);
    mouse(QEvent::MouseButtonPress, {500, 250}, Qt::LeftButton);
    std::vector<std::pair<int, unsigned>> got;
    for (const InputEvent& e : sent) got.emplace_back(e.type, e.type >= InputEvent::KeyDown ? e.vk_code : 100u + e.mouse_button);
    EXPECT_EQ(got, (std::vector<std::pair<int, unsigned>>{{InputEvent::KeyDown, 0x11},
                                                          {InputEvent::KeyDown, 0x43},
                                                          {InputEvent::KeyUp, 0x43},
                                                          {InputEvent::KeyUp, 0x11},
                                                          {InputEvent::KeyDown, 0x12},
                                                          {InputEvent::KeyUp, 0x12},
                                                          {InputEvent::KeyDown, 0x10},
                                                          {InputEvent::MouseDown, 101}}));

    // A key-up alone (its press taken by the window) is not sent.
    sent.clear();
    key(QEvent::KeyRelease, Qt::Key_D, kKeyD);
    EXPECT_TRUE(sent.empty());
}

TEST_F(ViewerInputTest, SetZoomAndScaleModeSignals) {
    widget.setZoom(2.0);
    widget.setZoom(0.5);
    EXPECT_DOUBLE_EQ(widget.zoom(), 1.0);
    EXPECT_DOUBLE_EQ(widget.panX(), 0.5);
    widget.setZoom(20.0);
    EXPECT_DOUBLE_EQ(widget.zoom(), 8.0);
    widget.setZoom(8.0);
    EXPECT_EQ(zooms, (std::vector<double>{2.0, 1.0, 8.0}));
    widget.setScaleMode(0);
    widget.setScaleMode(0);
    EXPECT_EQ(zooms.size(), 5u) << "setScaleMode always emits";
}

TEST_F(ViewerInputTest, MiddleButtonClicksAtZoomOneAndDragsWhenZoomedIn) {
    widget.setViewingMode(true);
    click({500, 250}, Qt::MiddleButton);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].mouse_button, 3);

    sent.clear();
    widget.setZoom(1.25);
    mouse(QEvent::MouseButtonPress, {500, 250}, Qt::MiddleButton);
    mouse(QEvent::MouseMove, {600, 300}, Qt::MiddleButton);
    mouse(QEvent::MouseButtonRelease, {600, 300}, Qt::MiddleButton);
    EXPECT_TRUE(sent.empty());
    EXPECT_LT(widget.panX(), 0.5) << "the picture follows the pointer";
    EXPECT_LT(widget.panY(), 0.5);
}

TEST_F(ViewerInputTest, WheelDeltasAreClampedAndHorizontalOnesDropped) {
    widget.setViewingMode(true);
    wheel({500, 250}, 120);
    wheel({500, 250}, 40000);
    wheel({500, 250}, -40000);
    wheel({500, 250}, 0, Qt::NoModifier, 120);
    wheel({20, 250}, 120);  // letterbox
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].type, InputEvent::MouseWheel);
    EXPECT_EQ(sent[0].wheel_delta, 120);
    EXPECT_EQ(sent[1].wheel_delta, 32767);
    EXPECT_EQ(sent[2].wheel_delta, -32768);
}

TEST_F(ViewerInputTest, CtrlWheelZoomsAboutThePointer) {
    const QPointF pointer(55 + 889 / 4.0, 125);  // over the picture's top-left quarter
    double before_x = 0, before_y = 0;
    ASSERT_TRUE(widget.widgetToNormalized(pointer.x(), pointer.y(), before_x, before_y));
    wheel(pointer, 120, Qt::ControlModifier);
    EXPECT_DOUBLE_EQ(widget.zoom(), 1.25);
    double after_x = 0, after_y = 0;
    ASSERT_TRUE(widget.widgetToNormalized(pointer.x(), pointer.y(), after_x, after_y));
    EXPECT_NEAR(after_x, before_x, 0.003);
    EXPECT_NEAR(after_y, before_y, 0.003);
    EXPECT_TRUE(sent.empty());
}

}  // namespace
}  // namespace veltrix
