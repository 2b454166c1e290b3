#include "HttpConnection.h"

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include "HttpServer.h"

namespace veltrix::backend {
namespace {

constexpr qint64 kMaxDiscardBytes = 16 * 1024 * 1024;
constexpr int kDrainMs = 1000;
constexpr qint64 kPaddingChunk = 64 * 1024;

}  // namespace

HttpConnection::HttpConnection(QSslSocket* socket, HttpServer& server)
    : QObject(&server), server_(server), socket_(socket), parser_(server.options_.limits) {
    socket_->setParent(this);
    // Until the first request shows whether it is a WebSocket upgrade, keep its bytes for
    // QtWebSockets to read again.
    socket_->startTransaction();
    connect(socket_, &QSslSocket::readyRead, this, &HttpConnection::onReadyRead);
    connect(socket_, &QSslSocket::encryptedBytesWritten, this, &HttpConnection::onBytesWritten);
    connect(socket_, &QSslSocket::disconnected, this, &HttpConnection::finish);
    idle_.setSingleShot(true);
    connect(&idle_, &QTimer::timeout, this, [this] { socket_->abort(); finish(); });
    idle_.start(server_.options_.idleTimeoutMs);
    if (socket_->bytesAvailable() > 0) QMetaObject::invokeMethod(this, &HttpConnection::onReadyRead, Qt::QueuedConnection);
}

HttpConnection::~HttpConnection() = default;

QSslSocket* HttpConnection::releaseSocket() {
    QSslSocket* socket = socket_;
    idle_.stop();
    finished_ = true;
    socket->disconnect(this);
    socket->setParent(nullptr);
    socket_ = nullptr;
    return socket;
}

void HttpConnection::onReadyRead() {
    if (!socket_) return;
    if (closing_) {
        // Discard what the client still sends after a refusal, so it reads the answer instead of
        // running into a reset; bounded in bytes and (by the idle timer) in time.
        discarded_ += socket_->skip(socket_->bytesAvailable());
        if (discarded_ > kMaxDiscardBytes) socket_->abort();
        return;
    }
    idle_.start(server_.options_.idleTimeoutMs);
    buffer_.append(socket_->readAll());
    while (socket_ && !closing_) {
        const auto result = parser_.parse(buffer_);
        if (result == HttpRequestParser::Result::NeedMore) return;
        if (result == HttpRequestParser::Result::Error) {
            if (firstRequest_) socket_->commitTransaction();
            HttpResponse error{parser_.errorStatus(), "application/json",
                               QByteArray::fromStdString(nlohmann::json{{"detail", parser_.errorDetail().toStdString()}}.dump())};
            respond(error, false);
            return;
        }
        HttpRequest request = parser_.request();
        request.peer = socket_->peerAddress();
        if (firstRequest_) {
            if (request.isWebSocketUpgrade() && server_.webSocketHandler_) {
                socket_->rollbackTransaction();
                server_.upgrade(this, socket_);
                return;
            }
            socket_->commitTransaction();
            firstRequest_ = false;
        }
        if (request.isWebSocketUpgrade()) {
            respond({400, "application/json", R"({"detail":"WebSocket upgrade must open its own connection"})"}, false);
            return;
        }
        HttpResponse response;
        try {
            response = server_.handler_(request);
        } catch (const std::exception& error) {
            // A handler fault must not take the server down; the client learns it failed.
            spdlog::error("HTTP: handler for {} {} threw: {}", request.method.toStdString(), request.path.toStdString(),
                          error.what());
            response = {500, "application/json", R"({"detail":"Internal server error"})"};
        }
        respond(response, request.keepAlive);
    }
}

void HttpConnection::respond(const HttpResponse& response, bool keepAlive) {
    if (response.afterWritten) afterWritten_.push_back(response.afterWritten);
    if (response.withheld) {
        // A test host that never answers: nothing more is read or sent on this connection; the
        // peer or the idle time-out ends it.
        closing_ = true;
        buffer_.clear();
        return;
    }
    if (response.announcedLength > response.body.size()) {
        // The announced rest is sent as zero bytes while the peer reads; then the line closes.
        padding_ = response.announcedLength - response.body.size();
        keepAlive = false;
    }
    socket_->write(serializeResponse(response, keepAlive));
    if (padding_ > 0) {
        closing_ = true;
        buffer_.clear();
    } else if (!keepAlive) {
        closing_ = true;
        buffer_.clear();
        if (parser_.hasUnreadBody()) {
            // The client may still be sending the body: let it finish before the close.
            QTimer::singleShot(kDrainMs, socket_, [socket = socket_] { socket->disconnectFromHost(); });
        } else {
            socket_->disconnectFromHost();
        }
    }
    onBytesWritten();
}

void HttpConnection::onBytesWritten() {
    if (!socket_) return;
    if (padding_ > 0) {
        if (socket_->bytesToWrite() + socket_->encryptedBytesToWrite() < kPaddingChunk) {
            const qint64 chunk = std::min(padding_, kPaddingChunk);
            padding_ -= chunk;
            socket_->write(QByteArray(qsizetype(chunk), '\0'));
            if (padding_ == 0) socket_->disconnectFromHost();
        }
        return;
    }
    if (socket_->bytesToWrite() + socket_->encryptedBytesToWrite() == 0) runAfterWritten();
}

void HttpConnection::runAfterWritten() {
    auto actions = std::move(afterWritten_);
    afterWritten_.clear();
    for (auto& action : actions) {
        // Not a child of this connection: the push must happen even if the connection closes.
        QTimer::singleShot(server_.options_.afterWrittenDelayMs, &server_, std::move(action));
    }
}

void HttpConnection::finish() {
    if (finished_) return;
    finished_ = true;
    runAfterWritten();
    idle_.stop();
    server_.onConnectionFinished(this);
    deleteLater();
}

}  // namespace veltrix::backend
