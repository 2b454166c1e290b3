#pragma once

#include <QString>

#include <optional>

#include "HttpMessage.h"
#include "MultipartParser.h"

namespace veltrix::backend {

// The help-desk host of the client's issue reports:
//   POST /HelpDesk/PrefillTicket/1/496/     a multipart form; its fields and files are stored in
//                                           <data folder>/helpdesk/<n>/ and the reply names the
//                                           ticket page {"success": true, "url": "https://<host>/HelpDesk/Ticket/<n>"};
//   GET  /HelpDesk/AddNewTicket/1/496/Veltrix/   the plain new-ticket page;
//   GET  /HelpDesk/Ticket/<n>               the page of a stored ticket.
// A ticket folder holds form.json ({"fields": {name: value}, "files": [{"field", "filename",
// "content_type", "size", "stored_as"}], "user_agent"}) and the files under attachments/.
class HelpDeskHost {
public:
    // How the form post is answered; everything but Success is a test switch.
    enum class Reply { Success, SuccessFalse, Malformed, ByteOrderMark, NonHttpsUrl, None };

    struct Options {
        QString dataFolder;
        Reply reply = Reply::Success;
    };

    // Form bodies carry up to two hours of three logs.
    static constexpr qint64 kMaxBodyBytes = 64LL * 1024 * 1024;

    explicit HelpDeskHost(Options options);

    HttpResponse handle(const HttpRequest& request);

    // "success", "success-false", "malformed", "bom", "non-https", "none".
    static std::optional<Reply> replyFromName(const QString& name);

private:
    HttpResponse prefillTicket(const HttpRequest& request);
    HttpResponse ticketPage(const QString& number) const;
    // Stores the parts as the next ticket; its number, or 0 when it could not be written.
    int store(const QList<FormPart>& parts, const QByteArray& userAgent);

    Options options_;
    QString ticketsFolder_;
    MultipartParser parser_;
};

}  // namespace veltrix::backend
