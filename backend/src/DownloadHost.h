#pragma once

#include <QString>

#include "HttpMessage.h"

namespace veltrix::backend {

// The download host of the client's updates:
//   GET /download/VeltrixSetup.json  the manifest file, read afresh for every request (404 without one);
//   GET /download/<name>             a file of the update folder; plain names only.
// Test switches make it misbehave: every request redirected to the same path on another port, or
// installers announced with a Content-Length above the client's cap (and padded to it).
class DownloadHost {
public:
    struct Options {
        QString manifestFile;        // empty: no manifest
        QString updateFolder;        // empty: no installers
        quint16 redirectPort = 0;    // non-zero: answer 302 to https://<host>:<port><path>
        bool oversizedLength = false;
    };

    // Above the client's installer cap of 150 MiB.
    static constexpr qint64 kOversizedLength = 200LL * 1024 * 1024;
    // The largest file served; beyond the client's cap, so its size check can be met.
    static constexpr qint64 kMaxFileBytes = 256LL * 1024 * 1024;

    explicit DownloadHost(Options options) : options_(std::move(options)) {}

    HttpResponse handle(const HttpRequest& request) const;

private:
    HttpResponse serveFile(const QString& path) const;

    Options options_;
};

// The host part of a request's Host header when it is a plain host name or address, else
// "127.0.0.1". Used to build URLs that point back at this server.
QString requestHostName(const HttpRequest& request);
// The whole Host header ("host" or "host:port") when it is well-formed, else `fallback`.
QString requestOrigin(const HttpRequest& request, const QString& fallback);

}  // namespace veltrix::backend
