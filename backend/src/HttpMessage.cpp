#include "HttpMessage.h"

namespace veltrix::backend {

bool HttpRequest::isWebSocketUpgrade() const {
    return header("upgrade").trimmed().toLower() == "websocket" && header("connection").toLower().contains("upgrade");
}

QByteArray reasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 302: return "Found";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 409: return "Conflict";
        case 411: return "Length Required";
        case 413: return "Payload Too Large";
        case 415: return "Unsupported Media Type";
        case 422: return "Unprocessable Entity";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

QByteArray serializeResponse(const HttpResponse& response, bool keepAlive) {
    QByteArray out;
    out.reserve(response.body.size() + 160);
    out += "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
    out += "Content-Type: " + response.contentType + "\r\n";
    out += "Content-Length: " +
           QByteArray::number(response.announcedLength >= 0 ? response.announcedLength : response.body.size()) + "\r\n";
    for (const QByteArray& header : response.headers) out += header + "\r\n";
    out += "Cache-Control: no-store\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    out += response.body;
    return out;
}

}  // namespace veltrix::backend
