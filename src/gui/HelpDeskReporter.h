#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <chrono>
#include <functional>

class QHttpMultiPart;
class QObject;

namespace veltrix::helpdesk {

inline constexpr const char* kHostKey = "helpdesk/host";
inline constexpr const char* kDefaultHost = "helpdesk.veltrix.app";
inline constexpr const char* kProductVersion = "1.301";
inline constexpr const char* kFormPath = "/HelpDesk/PrefillTicket/1/496/";
inline constexpr const char* kFallbackPath = "/HelpDesk/AddNewTicket/1/496/Veltrix/";
// A help desk that never answers counts as a network error after this long.
inline constexpr std::chrono::milliseconds kReplyTimeout{30000};

// "host" or "host:port" from "[helpdesk] host" in the instance file, else the built-in host.
QString host();

// Posts the last two hours of the three logs with a prefilled ticket form to the help-desk host
// and opens the ticket page it returns in the browser (only an https page; anything else, a
// failure or no answer within `timeout` opens the plain new-ticket page). `done` is called exactly
// once when the attempt has ended. Returns at once; the upload runs on the GUI thread.
void reportIssue(const QString& clientId, QObject* parent, std::function<void()> done,
                 std::chrono::milliseconds timeout = kReplyTimeout);

// The lines of the log at `path` from the first timestamped entry at or after `since` onwards
// (continuation lines of that entry and later ones included), line ends kept.
QByteArray recentLogExcerpt(const QString& path, const QDateTime& since);

// "general/language" of the client's settings, else the first two letters of the system locale's
// name; one of cs en de hu pl sk es, else "en".
QString helpDeskLanguage(const QString& systemLocaleName);
QString helpDeskLanguage();

// Appends one text part: Content-Disposition form-data with the name, the value in UTF-8.
void addFormField(QHttpMultiPart* multipart, const QString& name, const QString& value);

}  // namespace veltrix::helpdesk
