#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <functional>

namespace veltrix::backend {

struct HttpRequest {
    QByteArray method;
    QString path;  // percent-decoded, always starting with "/"
    QByteArray query;
    QHash<QByteArray, QByteArray> headers;  // names in lower case
    QByteArray body;
    bool keepAlive = true;
    QHostAddress peer;

    QByteArray header(const QByteArray& lowerCaseName) const { return headers.value(lowerCaseName); }
    bool isWebSocketUpgrade() const;
};

struct HttpResponse {
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    // Extra header lines ("Name: value", without line ends), such as Location.
    QList<QByteArray> headers;
    // Test hosts that misbehave on purpose: a Content-Length above the body's (the rest follows
    // as zero bytes, paced by the peer's reading, then the connection closes), or no answer at all
    // (the connection stays open until its idle time-out).
    qint64 announcedLength = -1;
    bool withheld = false;
    // Runs once the response has been handed to the peer's TCP stream (or the connection ended),
    // for messages that must follow the reply, such as signaling pushes.
    std::function<void()> afterWritten;
};

// The reason phrase of a status line.
QByteArray reasonPhrase(int status);

// The whole response as it goes on the wire.
QByteArray serializeResponse(const HttpResponse& response, bool keepAlive);

}  // namespace veltrix::backend
