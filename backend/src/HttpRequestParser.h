#pragma once

#include <QByteArray>

#include "HttpMessage.h"

namespace veltrix::backend {

// Reads HTTP/1.1 requests off the front of a connection's buffer, one at a time, within fixed
// bounds: a header block of at most `maxHeaderBytes` and a Content-Length body of at most
// `maxBodyBytes`. Chunked bodies are refused (the devices always send a length).
class HttpRequestParser {
public:
    enum class Result { NeedMore, Complete, Error };

    struct Limits {
        int maxHeaderBytes = 16 * 1024;
        qint64 maxBodyBytes = 64 * 1024;
    };

    HttpRequestParser() = default;
    explicit HttpRequestParser(Limits limits) : limits_(limits) {}

    // Complete: the request is removed from `buffer` and available from request(). Error: status
    // and detail say why; the connection should answer and close.
    Result parse(QByteArray& buffer);

    const HttpRequest& request() const { return request_; }
    int errorStatus() const { return errorStatus_; }
    const QByteArray& errorDetail() const { return errorDetail_; }
    // After an error: whether the head announced a body that was not read (or could not be
    // delimited), so the peer may still be sending it.
    bool hasUnreadBody() const { return errorStatus_ != 0 && (bodyLength_ > 0 || request_.headers.contains("transfer-encoding")); }

private:
    Result fail(int status, const char* detail);
    bool parseHead(const QByteArray& head);

    Limits limits_;
    HttpRequest request_;
    qint64 bodyLength_ = 0;
    int headLength_ = -1;  // bytes of the head of the request being read, once known
    int errorStatus_ = 0;
    QByteArray errorDetail_;
};

}  // namespace veltrix::backend
