#include "DownloadHost.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

namespace veltrix::backend {
namespace {

constexpr const char* kManifestPath = "/download/VeltrixSetup.json";
constexpr const char* kDownloadPrefix = "/download/";

HttpResponse fail(int status, const std::string& detail) {
    return {status, "application/json", QByteArray::fromStdString(nlohmann::json{{"detail", detail}}.dump())};
}

// A name without folders, links upwards or hidden files.
bool isPlainName(const QString& name) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{0,127}$"));
    return plain.match(name).hasMatch();
}

}  // namespace

QString requestOrigin(const HttpRequest& request, const QString& fallback) {
    static const QRegularExpression origin(QStringLiteral("^([A-Za-z0-9.-]{1,253}|\\[[0-9A-Fa-f:.]{2,45}\\])(:[0-9]{1,5})?$"));
    const QString host = QString::fromLatin1(request.header("host"));
    return origin.match(host).hasMatch() ? host : fallback;
}

QString requestHostName(const HttpRequest& request) {
    const QString origin = requestOrigin(request, QStringLiteral("127.0.0.1"));
    if (origin.startsWith(QLatin1Char('['))) return origin.left(origin.indexOf(QLatin1Char(']')) + 1);
    return origin.section(QLatin1Char(':'), 0, 0);
}

HttpResponse DownloadHost::handle(const HttpRequest& request) const {
    HttpResponse response;
    if (request.method != "GET") {
        response = fail(405, "Method not allowed");
    } else if (options_.redirectPort) {
        QByteArray target = "https://" + requestHostName(request).toLatin1() + ':' +
                            QByteArray::number(options_.redirectPort) + QUrl::toPercentEncoding(request.path, "/");
        if (!request.query.isEmpty()) target += '?' + request.query;
        response = {302, "application/json", R"({"detail":"Moved"})"};
        response.headers.append("Location: " + target);
    } else if (request.path == QLatin1String(kManifestPath)) {
        response = options_.manifestFile.isEmpty() ? fail(404, "No update manifest") : serveFile(options_.manifestFile);
        if (response.status == 200) response.contentType = "application/json";
    } else if (request.path.startsWith(QLatin1String(kDownloadPrefix)) &&
               isPlainName(request.path.mid(int(qstrlen(kDownloadPrefix)))) && !options_.updateFolder.isEmpty()) {
        response = serveFile(QDir(options_.updateFolder).filePath(request.path.mid(int(qstrlen(kDownloadPrefix)))));
        if (response.status == 200) {
            response.contentType = "application/octet-stream";
            if (options_.oversizedLength) response.announcedLength = kOversizedLength;
        }
    } else {
        response = fail(404, "Not found");
    }
    spdlog::info("Download: {} {} -> {}", request.method.toStdString(), request.path.toStdString(), response.status);
    return response;
}

HttpResponse DownloadHost::serveFile(const QString& path) const {
    const QFileInfo info(path);
    // Only regular files of the folder itself: a link could point anywhere on the machine.
    if (!info.exists() || info.isSymLink() || !info.isFile()) return fail(404, "Not found");
    if (info.size() > kMaxFileBytes) return fail(500, "File too large to serve");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        spdlog::error("Download: cannot read {}: {}", path.toStdString(), file.errorString().toStdString());
        return fail(500, "Cannot read the file");
    }
    return {200, "application/octet-stream", file.read(kMaxFileBytes)};
}

}  // namespace veltrix::backend
