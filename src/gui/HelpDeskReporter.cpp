#include "gui/HelpDeskReporter.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QHttpMultiPart>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>
#include <spdlog/spdlog.h>

#include "core/SettingsController.h"
#include "platform/InstanceConfig.h"
#include "platform/InstancePaths.h"
#include "platform/TrustedCertificates.h"

namespace veltrix::helpdesk {
namespace {

constexpr int kExcerptSeconds = 7200;
constexpr qsizetype kLoggedBodyBytes = 500;

struct LogFile {
    const char* attachmentName;
    QString path;
};

QString q(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

QList<LogFile> logFiles() {
    const auto common = platform::paths::commonDataDir() / "Veltrix";
    return {{"VeltrixClient.log", q(platform::paths::userDataDir() / "VeltrixClient" / "VeltrixClient.log")},
            {"service.log", q(common / "service.log")},
            {"headless.log", q(common / "headless.log")}};
}

QUrl pageUrl(const char* path) { return QUrl(QStringLiteral("https://") + host() + QLatin1String(path)); }

void addAttachment(QHttpMultiPart* multipart, const QString& path, const QString& name) {
    auto* file = new QFile(path, multipart);  // the form owns the file and reads it as it sends
    if (!file->open(QIODevice::ReadOnly)) {
        delete file;
        return;
    }
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("text/plain"));
    part.setHeader(QNetworkRequest::ContentDispositionHeader,
                   QStringLiteral("form-data; name=\"attachments[]\"; filename=\"%1\"").arg(name));
    part.setBodyDevice(file);
    multipart->append(part);
}

// The ticket page of a successful answer with "lang=" added, or nothing.
QString ticketUrl(const QByteArray& body, const QString& language) {
    QByteArray json = body;
    if (json.startsWith("\xEF\xBB\xBF")) json.remove(0, 3);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError) {
        spdlog::info("HelpDesk: failed to parse response JSON: {}", error.errorString().toStdString());
        return {};
    }
    const QJsonObject object = document.object();
    const QJsonValue url = object.value(QStringLiteral("url"));
    if (!document.isObject() || !object.value(QStringLiteral("success")).toBool(false) || !url.isString()) {
        spdlog::warn("HelpDesk: response JSON missing success/url fields");
        return {};
    }
    QString page = url.toString();
    // Only a web page may be opened: another scheme would hand the help desk's text to any handler.
    if (QUrl(page, QUrl::StrictMode).scheme() != QLatin1String("https")) {
        spdlog::warn("HelpDesk: ticket URL is not https, opening the new-ticket page instead");
        return {};
    }
    if (!page.contains(QLatin1String("lang=")))
        page += (page.contains(QLatin1Char('?')) ? QStringLiteral("&lang=") : QStringLiteral("?lang=")) + language;
    spdlog::info("HelpDesk: ticket prefilled, opening URL");
    return page;
}

void onHelpDeskReply(QNetworkReply* reply, QNetworkAccessManager* manager, const QString& language,
                     const std::function<void()>& done, const QString& folder) {
    QString page;
    if (reply->error() != QNetworkReply::NoError) {
        spdlog::warn("HelpDesk POST failed: {}", reply->errorString().toStdString());
    } else {
        const QByteArray body = reply->readAll();
        spdlog::info("HelpDesk response: status={}, body='{}'",
                     reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                     body.left(kLoggedBodyBytes).toStdString());
        page = ticketUrl(body, language);
    }
    if (page.isEmpty()) page = pageUrl(kFallbackPath).toString() + QStringLiteral("?lang=") + language;
    QDesktopServices::openUrl(QUrl(page));
    done();
    QDir(folder).removeRecursively();
    reply->deleteLater();
    manager->deleteLater();
}

}  // namespace

QString host() {
    const auto configured = platform::config::value(kHostKey);
    if (configured && !configured->empty()) return QString::fromStdString(*configured).trimmed();
    return QString::fromLatin1(kDefaultHost);
}

QByteArray recentLogExcerpt(const QString& path, const QDateTime& since) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
    QByteArray taken;
    bool anyTaken = false;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (line.size() > 19 && line.startsWith('[')) {
            const QDateTime stamp = QDateTime::fromString(QString::fromLatin1(line.mid(1, 19)),
                                                          QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            if (!stamp.isValid() || stamp < since) continue;
        } else if (!anyTaken) {
            continue;
        }
        taken += line;
        anyTaken = true;
    }
    return taken;
}

QString helpDeskLanguage() { return helpDeskLanguage(QLocale::system().name()); }

QString helpDeskLanguage(const QString& systemLocaleName) {
    static const QStringList kSupported = {"cs", "en", "de", "hu", "pl", "sk", "es"};
    QString language = SettingsController().language();
    if (language.isEmpty()) language = systemLocaleName.left(2);
    return kSupported.contains(language) ? language : QStringLiteral("en");
}

void addFormField(QHttpMultiPart* multipart, const QString& name, const QString& value) {
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentDispositionHeader, QStringLiteral("form-data; name=\"%1\"").arg(name));
    part.setBody(value.toUtf8());
    multipart->append(part);
}

void reportIssue(const QString& clientId, QObject* parent, std::function<void()> done,
                 std::chrono::milliseconds timeout) {
    spdlog::info("Reporting issue to HelpDesk");
    const QDateTime since = QDateTime::currentDateTime().addSecs(-kExcerptSeconds);
    QTemporaryDir folder;
    if (!folder.isValid()) {
        spdlog::error("HelpDesk: failed to create temp directory");
        done();
        return;
    }
    folder.setAutoRemove(false);

    auto* multipart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    addFormField(multipart, QStringLiteral("prefill"), QStringLiteral("1"));
    addFormField(multipart, QStringLiteral("Subject"),
                 QStringLiteral("Veltrix v%1 - Client %2").arg(QLatin1String(kProductVersion), clientId));
    addFormField(multipart, QStringLiteral("CreatorEmail"), QString());
    addFormField(multipart, QStringLiteral("CreatorName"), QString());
    for (const LogFile& log : logFiles()) {
        const QByteArray excerpt = recentLogExcerpt(log.path, since);
        if (excerpt.isEmpty()) continue;
        const QString copy = folder.filePath(QLatin1String(log.attachmentName));
        QFile out(copy);
        if (!out.open(QIODevice::WriteOnly) || out.write(excerpt) != excerpt.size()) continue;
        out.close();
        addAttachment(multipart, copy, QLatin1String(log.attachmentName));
    }

    const QString language = helpDeskLanguage();
    auto* manager = new QNetworkAccessManager(parent);
    QNetworkRequest request(pageUrl(kFormPath));
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Veltrix/%1").arg(QLatin1String(kProductVersion)));
    request.setSslConfiguration(platform::tls::clientConfiguration());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    request.setTransferTimeout(static_cast<int>(timeout.count()));
    QNetworkReply* reply = manager->post(request, multipart);
    multipart->setParent(reply);
    const QString folderPath = folder.path();
    QObject::connect(reply, &QNetworkReply::finished, manager, [=] {
        onHelpDeskReply(reply, manager, language, done, folderPath);
    });
}

}  // namespace veltrix::helpdesk
