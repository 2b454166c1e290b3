#pragma once

#include <QKeySequence>
#include <QList>
#include <QOpenGLBuffer>
#include <QOpenGLExtraFunctions>
#include <QOpenGLWidget>
#include <QPoint>
#include <QSize>

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "shared/DecodedFrame.h"
#include "shared/InputEvent.h"

class QOpenGLShaderProgram;

namespace veltrix {

// The view of the partner's screen: draws each decoded NV12 picture with one quad and a shader
// that converts to RGB, owns where the picture sits (fit or one to one, zoom, pan), and, while
// viewing mode is on, turns local mouse, wheel and key input into InputEvents in the remote
// frame's coordinates. Everything runs on the GUI thread.
//
// While viewing, every key goes to the partner (Tab and Shift+Tab too, which would otherwise move
// the focus) except the window's own shortcuts and the local zoom keys. A modifier (Shift, Ctrl,
// Alt, the Windows keys) is held back until a key or a click that goes to the partner needs it:
// the keys of a local shortcut never reach the partner, and a modifier tapped alone reaches it
// as a tap when it is released.
class RemoteDesktopWidget : public QOpenGLWidget, protected QOpenGLExtraFunctions {
    Q_OBJECT

public:
    explicit RemoteDesktopWidget(QWidget* parent = nullptr);
    ~RemoteDesktopWidget() override;

    void setScaleMode(int mode);
    int scaleMode() const { return scaleMode_; }
    void setViewingMode(bool enabled);
    bool isViewingMode() const { return viewingMode_; }
    void setZoom(double factor);
    double zoom() const { return zoom_; }
    double panX() const { return panX_; }
    double panY() const { return panY_; }
    void resetZoom();
    void toggleFullScreen();
    bool isGlReady() const { return glReady_; }
    // The window's own key sequences: while viewing they act here and are never sent.
    void setLocalShortcuts(QList<QKeySequence> shortcuts) { localShortcuts_ = std::move(shortcuts); }
    QSize frameSize() const { return {frameWidth_, frameHeight_}; }

    QSize devicePixelSize() const;
    QRect videoRect() const;

    // Maps a widget point to the remote frame (fractions of its width and height). False when the
    // picture has no area (outputs untouched) or the point lies outside it; borders count as inside.
    bool widgetToNormalized(double px, double py, double& nx, double& ny) const;

    // Why a frame cannot be uploaded safely (strides or planes too small for its size), or empty.
    static std::string frameDefect(const DecodedFrame& frame);

signals:
    void inputEvent(veltrix::InputEvent event);
    void zoomChanged(double factor);
    void displayResolutionChanged(QSize devicePixels);

public slots:
    void updateFrame(std::shared_ptr<veltrix::DecodedFrame> frame);

protected:
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;

    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool event(QEvent* event) override;
    bool focusNextPrevChild(bool next) override;

private:
    bool buildPrimaryProgram();
    bool buildFallbackProgram();
    void createBuffers();
    void checkGlError(const char* tag);
    void recreateTextures(int width, int height, int strideY, int strideUV);
    void uploadFrame(const DecodedFrame& frame);
    void drawPicture();
    void announceDeviceSize();
    void deleteGlObjects();

    void applyZoomAndPan(double zoom, double panX, double panY);
    bool handleZoomKey(QKeyEvent* event);
    void zoomAboutPointer(double factor, QPointF position);
    InputEvent keyEvent(std::uint8_t type, const QKeyEvent* event) const;
    InputEvent mouseEvent(std::uint8_t type, double nx, double ny, std::uint8_t button) const;
    void forward(const InputEvent& input);
    void releaseEverythingHeld();
    bool isLocalShortcut(const QKeyEvent& event) const;
    void sendHeldBackModifiers();
    void keepHeldBackModifiersLocal();

    // Drawing (in the order the widget's state is laid out)
    std::unique_ptr<QOpenGLShaderProgram> program_;
    QOpenGLBuffer vertexBuffer_{QOpenGLBuffer::VertexBuffer};
    GLuint vertexArray_ = 0;
    GLuint yTexture_ = 0;
    GLuint uvTexture_ = 0;
    int textureWidth_ = 0;
    int textureHeight_ = 0;
    int textureStrideY_ = 0;
    int textureStrideUV_ = 0;
    int yTextureLocation_ = -1;
    int uvTextureLocation_ = -1;
    std::mutex pendingMutex_;
    std::shared_ptr<DecodedFrame> pendingFrame_;
    int frameWidth_ = 0;
    int frameHeight_ = 0;
    bool viewingMode_ = false;
    bool glReady_ = false;
    int scaleMode_ = 1;
    double zoom_ = 1.0;
    double panX_ = 0.5;
    double panY_ = 0.5;
    bool dragging_ = false;
    QPoint dragAnchor_;
    double dragStartPanX_ = 0.5;
    double dragStartPanY_ = 0.5;
    QSize lastDeviceSize_;

    // What was forwarded as pressed and not yet released, so that an up can follow when the
    // widget loses focus or viewing ends (the partner would otherwise keep the key held).
    std::set<std::uint8_t> buttonsDown_;
    std::set<std::pair<std::uint32_t, std::uint32_t>> keysDown_;  // (vk_code, scan_code)
    double lastSentX_ = 0.5;  // where the partner's pointer was last put
    double lastSentY_ = 0.5;

    // Modifiers pressed here and not sent yet. One that a local shortcut or zoom key went with is
    // kept local: its release sends nothing.
    struct HeldBackModifier {
        InputEvent down;
        bool keptLocal = false;
    };
    std::vector<HeldBackModifier> heldBackModifiers_;
    QList<QKeySequence> localShortcuts_;
};

}  // namespace veltrix
