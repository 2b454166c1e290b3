#include "HelpDeskHost.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QTemporaryDir>
#include <QUrlQuery>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include "DownloadHost.h"

namespace veltrix::backend {
namespace {

using json = nlohmann::json;

constexpr const char* kPrefillPath = "/HelpDesk/PrefillTicket/1/496/";
constexpr const char* kNewTicketPath = "/HelpDesk/AddNewTicket/1/496/Veltrix/";
constexpr const char* kTicketPrefix = "/HelpDesk/Ticket/";
constexpr int kMaxStoredNameChars = 100;
constexpr int kMaxUserAgentBytes = 512;
constexpr qint64 kMaxFormJsonBytes = 4 * 1024 * 1024;

HttpResponse fail(int status, const std::string& detail) {
    return {status, "application/json", QByteArray::fromStdString(json{{"detail", detail}}.dump())};
}

HttpResponse page(const QString& title, const QString& content) {
    const QString html = QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%1</title></head>"
                                        "<body><h1>%1</h1>%2</body></html>\n")
                             .arg(title.toHtmlEscaped(), content);
    return {200, "text/html; charset=utf-8", html.toUtf8()};
}

std::string s(const QString& text) { return text.toStdString(); }

// A file name that is safe to create in the ticket folder: no folders, no hidden names, only
// plain characters; unique among `used`.
QString storedName(const QString& filename, QSet<QString>& used) {
    QString name = filename.section(QLatin1Char('/'), -1).section(QLatin1Char('\\'), -1);
    for (QChar& c : name) {
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                           c == u'.' || c == u'_' || c == u'-';
        if (!plain) c = u'_';
    }
    while (name.startsWith(QLatin1Char('.'))) name.remove(0, 1);
    name.truncate(kMaxStoredNameChars);
    if (name.isEmpty()) name = QStringLiteral("attachment");
    QString unique = name;
    for (int i = 2; used.contains(unique); ++i) unique = QStringLiteral("%1-%2").arg(i).arg(name);
    used.insert(unique);
    return unique;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

int highestTicket(const QString& folder) {
    int highest = 0;
    for (const QString& entry : QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const int number = entry.toInt(&ok);
        if (ok && number > highest) highest = number;
    }
    return highest;
}

}  // namespace

HelpDeskHost::HelpDeskHost(Options options)
    : options_(std::move(options)), ticketsFolder_(QDir(options_.dataFolder).filePath(QStringLiteral("helpdesk"))) {}

std::optional<HelpDeskHost::Reply> HelpDeskHost::replyFromName(const QString& name) {
    static const QHash<QString, Reply> names = {{"success", Reply::Success},      {"success-false", Reply::SuccessFalse},
                                                {"malformed", Reply::Malformed},  {"bom", Reply::ByteOrderMark},
                                                {"non-https", Reply::NonHttpsUrl}, {"none", Reply::None}};
    const auto it = names.find(name);
    if (it == names.end()) return std::nullopt;
    return *it;
}

HttpResponse HelpDeskHost::handle(const HttpRequest& request) {
    HttpResponse response;
    const QString& path = request.path;
    const bool isGet = request.method == "GET";
    if (path == QLatin1String(kPrefillPath)) {
        response = request.method == "POST" ? prefillTicket(request) : fail(405, "Method not allowed");
    } else if (path == QLatin1String(kNewTicketPath)) {
        const QString language = QUrlQuery(QString::fromLatin1(request.query)).queryItemValue(QStringLiteral("lang"));
        static const QRegularExpression code(QStringLiteral("^[a-z]{2}$"));
        response = isGet ? page(QStringLiteral("New ticket"),
                                QStringLiteral("<p>Describe the problem.</p><p>Language: %1</p>")
                                    .arg(code.match(language).hasMatch() ? language : QStringLiteral("en")))
                         : fail(405, "Method not allowed");
    } else if (path.startsWith(QLatin1String(kTicketPrefix))) {
        response = isGet ? ticketPage(path.mid(int(qstrlen(kTicketPrefix)))) : fail(405, "Method not allowed");
    } else {
        response = fail(404, "Not found");
    }
    spdlog::info("HelpDesk: {} {} -> {}", request.method.toStdString(), s(path),
                 response.withheld ? std::string("no answer") : std::to_string(response.status));
    return response;
}

HttpResponse HelpDeskHost::prefillTicket(const HttpRequest& request) {
    const auto boundary = MultipartParser::boundaryOf(request.header("content-type"));
    if (!boundary) return fail(415, "Expected a multipart/form-data body with a boundary");
    const auto parts = parser_.parse(request.body, *boundary);
    if (!parts) return fail(parser_.tooLarge() ? 413 : 400, "Malformed form: " + s(parser_.error()));
    const int number = store(*parts, request.header("user-agent").left(kMaxUserAgentBytes));
    if (number == 0) return fail(500, "Cannot store the ticket");

    const QString ticket = QStringLiteral("%1/HelpDesk/Ticket/%2").arg(requestOrigin(request, QStringLiteral("127.0.0.1"))).arg(number);
    const std::string url = "https://" + s(ticket);
    const QByteArray success = QByteArray::fromStdString(json{{"success", true}, {"url", url}}.dump());
    switch (options_.reply) {
        case Reply::Success: return {200, "application/json", success};
        case Reply::SuccessFalse: return {200, "application/json", R"({"success":false})"};
        case Reply::Malformed: return {200, "application/json", success.left(success.size() / 2)};
        case Reply::ByteOrderMark: return {200, "application/json", "\xEF\xBB\xBF" + success};
        case Reply::NonHttpsUrl:
            return {200, "application/json", QByteArray::fromStdString(json{{"success", true}, {"url", "http://" + s(ticket)}}.dump())};
        case Reply::None: break;
    }
    HttpResponse none;
    none.withheld = true;
    return none;
}

int HelpDeskHost::store(const QList<FormPart>& parts, const QByteArray& userAgent) {
    if (!QDir().mkpath(ticketsFolder_)) {
        spdlog::error("HelpDesk: cannot create {}", s(ticketsFolder_));
        return 0;
    }
    // Everything is written into a fresh folder that becomes the ticket only when complete.
    QTemporaryDir incoming(QDir(ticketsFolder_).filePath(QStringLiteral(".incoming-XXXXXX")));
    if (!incoming.isValid() || !QDir(incoming.path()).mkdir(QStringLiteral("attachments"))) {
        spdlog::error("HelpDesk: cannot create a ticket folder in {}", s(ticketsFolder_));
        return 0;
    }
    json fields = json::array();
    json files = json::array();
    QSet<QString> used;
    for (const FormPart& part : parts) {
        if (!part.filename) {
            fields.push_back({{"name", s(part.name)}, {"value", part.body.toStdString()}});
            continue;
        }
        const QString name = storedName(*part.filename, used);
        if (!writeFile(incoming.filePath(QStringLiteral("attachments/") + name), part.body)) return 0;
        files.push_back({{"field", s(part.name)},
                         {"filename", s(*part.filename)},
                         {"content_type", QString::fromLatin1(part.contentType).toStdString()},
                         {"size", part.body.size()},
                         {"stored_as", "attachments/" + s(name)}});
    }
    const json form = {{"fields", fields}, {"files", files}, {"user_agent", QString::fromLatin1(userAgent).toStdString()}};
    if (!writeFile(incoming.filePath(QStringLiteral("form.json")), QByteArray::fromStdString(form.dump(1)))) return 0;

    for (int number = highestTicket(ticketsFolder_) + 1, tries = 0; tries < 100; ++number, ++tries) {
        if (QDir().rename(incoming.path(), QDir(ticketsFolder_).filePath(QString::number(number)))) {
            incoming.setAutoRemove(false);
            spdlog::info("HelpDesk: stored ticket {} ({} fields, {} files)", number, fields.size(), files.size());
            return number;
        }
    }
    spdlog::error("HelpDesk: cannot name a ticket folder in {}", s(ticketsFolder_));
    return 0;
}

HttpResponse HelpDeskHost::ticketPage(const QString& number) const {
    static const QRegularExpression digits(QStringLiteral("^[1-9][0-9]{0,8}$"));
    if (!digits.match(number).hasMatch()) return fail(404, "No such ticket");
    QFile file(QDir(ticketsFolder_).filePath(number + QStringLiteral("/form.json")));
    if (!file.open(QIODevice::ReadOnly)) return fail(404, "No such ticket");
    const QByteArray bytes = file.read(kMaxFormJsonBytes);
    const json form = json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (!form.is_object() || !form.contains("fields") || !form["fields"].is_array()) return fail(500, "Unreadable ticket");
    QString subject;
    for (const json& field : form["fields"]) {
        if (field.value("name", std::string()) == "Subject") subject = QString::fromStdString(field.value("value", std::string()));
    }
    QString attachments;
    if (form.contains("files") && form["files"].is_array()) {
        for (const json& entry : form["files"]) {
            attachments += QStringLiteral("<li>%1</li>").arg(QString::fromStdString(entry.value("filename", std::string())).toHtmlEscaped());
        }
    }
    return page(QStringLiteral("Ticket %1").arg(number),
                QStringLiteral("<p>%1</p><ul>%2</ul>").arg(subject.toHtmlEscaped(), attachments));
}

}  // namespace veltrix::backend
