#include "HttpRequestParser.h"

#include <QList>
#include <QUrl>

namespace veltrix::backend {
namespace {

bool isToken(const QByteArray& text) {
    if (text.isEmpty()) return false;
    for (const char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        QByteArray("!#$%&'*+-.^_`|~").contains(c);
        if (!ok) return false;
    }
    return true;
}

bool parseLength(const QByteArray& text, qint64& out) {
    const QByteArray t = text.trimmed();
    if (t.isEmpty() || t.size() > 18) return false;
    qint64 value = 0;
    for (const char c : t) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

}  // namespace

HttpRequestParser::Result HttpRequestParser::fail(int status, const char* detail) {
    errorStatus_ = status;
    errorDetail_ = detail;
    return Result::Error;
}

bool HttpRequestParser::parseHead(const QByteArray& head) {
    const QList<QByteArray> lines = head.split('\n');
    QByteArray requestLine = lines.value(0);
    if (requestLine.endsWith('\r')) requestLine.chop(1);
    const QList<QByteArray> parts = requestLine.split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || !parts[1].startsWith('/') ||
        (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0")) {
        fail(400, "Malformed request line");
        return false;
    }
    request_ = HttpRequest{};
    request_.method = parts[0];
    const int question = parts[1].indexOf('?');
    const QByteArray rawPath = question < 0 ? parts[1] : parts[1].left(question);
    if (question >= 0) request_.query = parts[1].mid(question + 1);
    request_.path = QUrl::fromPercentEncoding(rawPath);
    request_.keepAlive = parts[2] == "HTTP/1.1";

    for (qsizetype i = 1; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\r')) line.chop(1);
        if (line.isEmpty()) continue;
        const int colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.left(colon))) {
            fail(400, "Malformed header line");
            return false;
        }
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length" && request_.headers.contains(name) && request_.headers.value(name) != value) {
            fail(400, "Conflicting Content-Length headers");
            return false;
        }
        request_.headers.insert(name, value);
    }

    const QByteArray connection = request_.header("connection").toLower();
    if (connection.contains("close")) request_.keepAlive = false;
    else if (connection.contains("keep-alive")) request_.keepAlive = true;

    if (request_.headers.contains("transfer-encoding")) {
        fail(501, "Chunked request bodies are not supported");
        return false;
    }
    bodyLength_ = 0;
    if (request_.headers.contains("content-length") && !parseLength(request_.header("content-length"), bodyLength_)) {
        fail(400, "Invalid Content-Length");
        return false;
    }
    if (bodyLength_ > limits_.maxBodyBytes) {
        fail(413, "Request body too large");
        return false;
    }
    return true;
}

HttpRequestParser::Result HttpRequestParser::parse(QByteArray& buffer) {
    if (headLength_ < 0) {
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            if (buffer.size() > limits_.maxHeaderBytes) return fail(431, "Request header too large");
            return Result::NeedMore;
        }
        if (end + 4 > limits_.maxHeaderBytes) return fail(431, "Request header too large");
        if (!parseHead(buffer.left(end + 2))) return Result::Error;
        headLength_ = int(end + 4);
    }
    if (buffer.size() < headLength_ + bodyLength_) return Result::NeedMore;
    request_.body = buffer.mid(headLength_, bodyLength_);
    buffer.remove(0, headLength_ + bodyLength_);
    headLength_ = -1;
    return Result::Complete;
}

}  // namespace veltrix::backend
