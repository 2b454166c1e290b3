#include "RemoteDesktopWidget.h"

#include <QOpenGLShaderProgram>
#include <QWindow>

#include <spdlog/spdlog.h>

#include "ViewerGeometry.h"

namespace veltrix {

namespace {

// Two triangles covering the viewport: position x, y then texture s, t. t = 0 is the picture's
// top row, as the planes are uploaded top row first.
constexpr GLfloat kQuad[] = {
    -1.0f, 1.0f,  0.0f, 0.0f,  -1.0f, -1.0f, 0.0f, 1.0f,  1.0f, -1.0f, 1.0f, 1.0f,
    -1.0f, 1.0f,  0.0f, 0.0f,  1.0f,  -1.0f, 1.0f, 1.0f,  1.0f, 1.0f,  1.0f, 0.0f,
};
static_assert(sizeof(kQuad) == 96);

constexpr const char* kVertex330 = R"(#version 330 core
layout(location = 0) in vec2 aPosition;
layout(location = 1) in vec2 aTexCoord;
out vec2 vTexCoord;
void main() {
    vTexCoord = aTexCoord;
    gl_Position = vec4(aPosition, 0.0, 1.0);
}
)";

// Full-range BT.601: Y is used as it is, chroma is centred on 0.5.
constexpr const char* kFragment330 = R"(#version 330 core
in vec2 vTexCoord;
uniform sampler2D yTexture;
uniform sampler2D uvTexture;
out vec4 fragColor;
void main() {
    float y = texture(yTexture, vTexCoord).r;
    vec2 chroma = texture(uvTexture, vTexCoord).rg - vec2(0.5, 0.5);
    float u = chroma.x;
    float v = chroma.y;
    fragColor = vec4(clamp(y + 1.402 * v, 0.0, 1.0),
                     clamp(y - 0.344 * u - 0.714 * v, 0.0, 1.0),
                     clamp(y + 1.772 * u, 0.0, 1.0), 1.0);
}
)";

constexpr const char* kVertex130 = R"(#version 130
attribute vec2 aPosition;
attribute vec2 aTexCoord;
varying vec2 vTexCoord;
void main() {
    vTexCoord = aTexCoord;
    gl_Position = vec4(aPosition, 0.0, 1.0);
}
)";

constexpr const char* kFragment130 = R"(#version 130
varying vec2 vTexCoord;
uniform sampler2D yTexture;
uniform sampler2D uvTexture;
void main() {
    float y = texture2D(yTexture, vTexCoord).r;
    vec2 chroma = texture2D(uvTexture, vTexCoord).rg - vec2(0.5, 0.5);
    float u = chroma.x;
    float v = chroma.y;
    gl_FragColor = vec4(clamp(y + 1.402 * v, 0.0, 1.0),
                        clamp(y - 0.344 * u - 0.714 * v, 0.0, 1.0),
                        clamp(y + 1.772 * u, 0.0, 1.0), 1.0);
}
)";

void setTextureParameters(QOpenGLExtraFunctions& gl) {
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
}

}  // namespace

RemoteDesktopWidget::RemoteDesktopWidget(QWidget* parent) : QOpenGLWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    spdlog::debug("RemoteDesktopWidget created");
}

RemoteDesktopWidget::~RemoteDesktopWidget() {
    makeCurrent();
    deleteGlObjects();
    doneCurrent();
    spdlog::debug("RemoteDesktopWidget destroyed");
}

void RemoteDesktopWidget::deleteGlObjects() {
    if (!context()) {
        return;
    }
    if (yTexture_ != 0) {
        glDeleteTextures(1, &yTexture_);
        yTexture_ = 0;
    }
    if (uvTexture_ != 0) {
        glDeleteTextures(1, &uvTexture_);
        uvTexture_ = 0;
    }
    if (vertexBuffer_.isCreated()) {
        vertexBuffer_.destroy();
    }
    if (vertexArray_ != 0) {
        glDeleteVertexArrays(1, &vertexArray_);
        vertexArray_ = 0;
    }
    program_.reset();
}

void RemoteDesktopWidget::updateFrame(std::shared_ptr<DecodedFrame> frame) {
    if (!frame) {
        return;
    }
    {
        std::lock_guard lock(pendingMutex_);
        pendingFrame_ = std::move(frame);
    }
    update();
}

void RemoteDesktopWidget::setScaleMode(int mode) {
    scaleMode_ = mode;
    zoom_ = 1.0;
    panX_ = 0.5;
    panY_ = 0.5;
    emit zoomChanged(1.0);
    update();
}

void RemoteDesktopWidget::setViewingMode(bool enabled) {
    if (!enabled) {
        releaseEverythingHeld();
    }
    viewingMode_ = enabled;
    spdlog::info("RemoteDesktopWidget viewing mode {}", enabled ? "enabled" : "disabled");
}

void RemoteDesktopWidget::setZoom(double factor) {
    const double clamped = std::clamp(factor, 1.0, 8.0);
    if (std::abs(clamped - zoom_) < 1e-6) {
        return;
    }
    zoom_ = clamped;
    if (zoom_ <= 1.000001) {
        panX_ = 0.5;
        panY_ = 0.5;
    }
    emit zoomChanged(zoom_);
    update();
}

void RemoteDesktopWidget::resetZoom() {
    if (std::abs(zoom_ - 1.0) < 1e-6 && std::abs(panX_ - 0.5) < 1e-6 && std::abs(panY_ - 0.5) < 1e-6) {
        return;
    }
    applyZoomAndPan(1.0, 0.5, 0.5);
}

void RemoteDesktopWidget::applyZoomAndPan(double zoom, double panX, double panY) {
    zoom_ = zoom;
    panX_ = panX;
    panY_ = panY;
    emit zoomChanged(zoom_);
    update();
}

void RemoteDesktopWidget::toggleFullScreen() {
    QWidget* top = window();
    if (top->isFullScreen()) {
        top->showNormal();
    } else {
        top->showFullScreen();
    }
}

QSize RemoteDesktopWidget::devicePixelSize() const {
    return toDevicePixels(size(), devicePixelRatioF());
}

QRect RemoteDesktopWidget::videoRect() const {
    return ViewerGeometry{QSize(frameWidth_, frameHeight_), size(), devicePixelRatioF(), scaleMode_, zoom_, panX_, panY_}
        .videoRect();
}

std::string RemoteDesktopWidget::frameDefect(const DecodedFrame& frame) {
    const std::int64_t w = frame.width;
    const std::int64_t h = frame.height;
    if (w <= 0 || h <= 0) {
        return "empty picture";
    }
    if (frame.strideY < w) {
        return "Y stride below the width";
    }
    const std::int64_t uvRowBytes = 2 * (w / 2);
    if (frame.strideUV < uvRowBytes || frame.strideUV % 2 != 0) {
        return "UV stride below the chroma row or odd";
    }
    // GL reads whole strides for every row but the last, which it reads only as far as the width.
    const std::int64_t yNeeded = frame.strideY * (h - 1) + w;
    const std::int64_t uvRows = h / 2;
    const std::int64_t uvNeeded = uvRows > 0 ? frame.strideUV * (uvRows - 1) + uvRowBytes : 0;
    if (static_cast<std::int64_t>(frame.y.size()) < yNeeded || static_cast<std::int64_t>(frame.uv.size()) < uvNeeded) {
        return "plane shorter than its size and stride";
    }
    return {};
}

void RemoteDesktopWidget::initializeGL() {
    initializeOpenGLFunctions();
    spdlog::info("OpenGL initialised: vendor={}, renderer={}", reinterpret_cast<const char*>(glGetString(GL_VENDOR)),
                 reinterpret_cast<const char*>(glGetString(GL_RENDERER)));
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);

    if (buildPrimaryProgram()) {
        spdlog::info("Using GLSL 3.30 shaders");
    } else {
        spdlog::warn("GLSL 3.30 shaders failed, trying 1.30 fallback");
        if (!buildFallbackProgram()) {
            return;
        }
        spdlog::info("Using GLSL 1.30 fallback shaders");
    }

    yTextureLocation_ = program_->uniformLocation("yTexture");
    uvTextureLocation_ = program_->uniformLocation("uvTexture");
    if (yTextureLocation_ < 0 || uvTextureLocation_ < 0) {
        spdlog::error("Failed to locate texture uniforms (yTexture={}, uvTexture={})", yTextureLocation_,
                      uvTextureLocation_);
        return;
    }
    createBuffers();
    glReady_ = true;
    spdlog::info("RemoteDesktopWidget GL initialisation complete");
}

bool RemoteDesktopWidget::buildPrimaryProgram() {
    program_ = std::make_unique<QOpenGLShaderProgram>();
    return program_->addShaderFromSourceCode(QOpenGLShader::Vertex, kVertex330) &&
           program_->addShaderFromSourceCode(QOpenGLShader::Fragment, kFragment330) && program_->link();
}

bool RemoteDesktopWidget::buildFallbackProgram() {
    program_ = std::make_unique<QOpenGLShaderProgram>();
    if (!program_->addShaderFromSourceCode(QOpenGLShader::Vertex, kVertex130)) {
        spdlog::error("Vertex shader 1.30 failed: {}", program_->log().toStdString());
        return false;
    }
    if (!program_->addShaderFromSourceCode(QOpenGLShader::Fragment, kFragment130)) {
        spdlog::error("Fragment shader 1.30 failed: {}", program_->log().toStdString());
        return false;
    }
    program_->bindAttributeLocation("aPosition", 0);
    program_->bindAttributeLocation("aTexCoord", 1);
    if (!program_->link()) {
        spdlog::error("Shader 1.30 link failed: {}", program_->log().toStdString());
        return false;
    }
    return true;
}

void RemoteDesktopWidget::createBuffers() {
    glGenVertexArrays(1, &vertexArray_);
    glBindVertexArray(vertexArray_);
    checkGlError("glGenVertexArrays");
    vertexBuffer_.create();
    vertexBuffer_.bind();
    vertexBuffer_.setUsagePattern(QOpenGLBuffer::StaticDraw);
    vertexBuffer_.allocate(kQuad, sizeof(kQuad));
    constexpr GLsizei kVertexBytes = 4 * sizeof(GLfloat);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, kVertexBytes, nullptr);
    glEnableVertexAttribArray(1);
    glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, kVertexBytes, reinterpret_cast<const void*>(2 * sizeof(GLfloat)));
    glBindVertexArray(0);
    vertexBuffer_.release();
}

void RemoteDesktopWidget::checkGlError(const char* tag) {
    for (GLenum code = glGetError(); code != GL_NO_ERROR; code = glGetError()) {
        spdlog::error("OpenGL error in {}: 0x{:04X}", tag, static_cast<unsigned>(code));
    }
}

void RemoteDesktopWidget::recreateTextures(int width, int height, int strideY, int strideUV) {
    if (yTexture_ != 0) {
        glDeleteTextures(1, &yTexture_);
    }
    if (uvTexture_ != 0) {
        glDeleteTextures(1, &uvTexture_);
    }
    textureWidth_ = width;
    textureHeight_ = height;
    textureStrideY_ = strideY;
    textureStrideUV_ = strideUV;

    glGenTextures(1, &yTexture_);
    glBindTexture(GL_TEXTURE_2D, yTexture_);
    setTextureParameters(*this);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, strideY);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_R8, width, height, 0, GL_RED, GL_UNSIGNED_BYTE, nullptr);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    checkGlError("create Y texture");

    glGenTextures(1, &uvTexture_);
    glBindTexture(GL_TEXTURE_2D, uvTexture_);
    setTextureParameters(*this);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, strideUV / 2);  // counted in two-byte texels
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RG8, width / 2, height / 2, 0, GL_RG, GL_UNSIGNED_BYTE, nullptr);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    checkGlError("create UV texture");
    glBindTexture(GL_TEXTURE_2D, 0);

    spdlog::info("Created NV12 textures: {}x{} (yStride={}, uvStride={})", width, height, strideY, strideUV);
}

void RemoteDesktopWidget::uploadFrame(const DecodedFrame& frame) {
    if (const std::string defect = frameDefect(frame); !defect.empty()) {
        spdlog::warn("RemoteDesktopWidget dropped a frame {}x{} (yStride={}, uvStride={}): {}", frame.width,
                     frame.height, frame.strideY, frame.strideUV, defect);
        return;
    }
    if (frame.width != frameWidth_ || frame.height != frameHeight_ || frame.strideY != textureStrideY_ ||
        frame.strideUV != textureStrideUV_ || yTexture_ == 0) {
        recreateTextures(frame.width, frame.height, frame.strideY, frame.strideUV);
        frameWidth_ = frame.width;
        frameHeight_ = frame.height;
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glBindTexture(GL_TEXTURE_2D, yTexture_);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, frame.strideY);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, frame.width, frame.height, GL_RED, GL_UNSIGNED_BYTE, frame.y.data());
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    checkGlError("upload Y texture");

    const int chromaHeight = frame.height / 2;
    if (frame.width / 2 > 0 && chromaHeight > 0) {
        glBindTexture(GL_TEXTURE_2D, uvTexture_);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, frame.strideUV / 2);
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, frame.width / 2, chromaHeight, GL_RG, GL_UNSIGNED_BYTE,
                        frame.uv.data());
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
        checkGlError("upload UV texture");
    }
    glBindTexture(GL_TEXTURE_2D, 0);
}

void RemoteDesktopWidget::announceDeviceSize() {
    const QSize deviceSize = devicePixelSize();
    if (deviceSize != lastDeviceSize_) {
        lastDeviceSize_ = deviceSize;
        emit displayResolutionChanged(deviceSize);
    }
}

void RemoteDesktopWidget::resizeGL(int w, int h) {
    spdlog::debug("RemoteDesktopWidget resized to {}x{}", w, h);
    announceDeviceSize();
}

void RemoteDesktopWidget::paintGL() {
    if (!glReady_) {
        return;
    }
    announceDeviceSize();
    const QSize deviceSize = devicePixelSize();
    glViewport(0, 0, deviceSize.width(), deviceSize.height());
    glClear(GL_COLOR_BUFFER_BIT);

    std::shared_ptr<DecodedFrame> frame;
    {
        std::lock_guard lock(pendingMutex_);
        frame = std::move(pendingFrame_);
        pendingFrame_.reset();
    }
    if (frame) {
        uploadFrame(*frame);
    }
    if (yTexture_ != 0 && uvTexture_ != 0 && frameWidth_ > 0 && frameHeight_ > 0) {
        drawPicture();
    }
}

void RemoteDesktopWidget::drawPicture() {
    const double dpr = devicePixelRatioF();
    const QRect rect = videoRect();
    const int x = roundHalfAway(rect.x() * dpr);
    const int width = roundHalfAway(rect.width() * dpr);
    const int height = roundHalfAway(rect.height() * dpr);
    const int bottom = devicePixelSize().height() - roundHalfAway((rect.y() + rect.height()) * dpr);
    glViewport(x, bottom, width, height);

    program_->bind();
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, yTexture_);
    program_->setUniformValue(yTextureLocation_, 0);
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, uvTexture_);
    program_->setUniformValue(uvTextureLocation_, 1);
    glBindVertexArray(vertexArray_);
    glDrawArrays(GL_TRIANGLES, 0, 6);
    glBindVertexArray(0);
    glBindTexture(GL_TEXTURE_2D, 0);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, 0);
    program_->release();
    checkGlError("paintGL");
}

}  // namespace veltrix
