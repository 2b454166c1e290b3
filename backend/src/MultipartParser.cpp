#include "MultipartParser.h"

#include <QByteArrayView>
#include <QStringDecoder>

#include <utility>

namespace veltrix::backend {
namespace {

constexpr int kMaxBoundaryBytes = 70;  // RFC 2046

bool isSpace(char c) { return c == ' ' || c == '\t'; }

std::optional<QString> utf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) return std::nullopt;
    return text;
}

// A header value of the form `type; key=value; key="quoted \" value"`: the type in lower case
// and the parameters with lower-case keys, in order. False when it does not have that form.
bool splitParameters(QByteArrayView value, QByteArray& type, QList<std::pair<QByteArray, QByteArray>>& parameters) {
    qsizetype i = 0;
    const qsizetype n = value.size();
    auto skipSpace = [&] {
        while (i < n && isSpace(value[i])) ++i;
    };
    auto token = [&] {
        const qsizetype start = i;
        while (i < n && value[i] != ';' && value[i] != '=' && value[i] != '"' && !isSpace(value[i])) ++i;
        return value.sliced(start, i - start).toByteArray().toLower();
    };
    skipSpace();
    type = token();
    if (type.isEmpty()) return false;
    skipSpace();
    while (i < n) {
        if (value[i] != ';') return false;
        ++i;
        skipSpace();
        if (i == n) break;  // a trailing ";" is tolerated
        const QByteArray key = token();
        skipSpace();
        if (key.isEmpty() || i == n || value[i] != '=') return false;
        ++i;
        skipSpace();
        QByteArray text;
        if (i < n && value[i] == '"') {
            for (++i; i < n && value[i] != '"'; ++i) {
                if (value[i] == '\\' && i + 1 < n) ++i;
                text += value[i];
            }
            if (i == n) return false;  // no closing quotation mark
            ++i;
        } else {
            const qsizetype start = i;
            while (i < n && value[i] != ';' && !isSpace(value[i])) ++i;
            text = value.sliced(start, i - start).toByteArray();
        }
        parameters.append({key, text});
        skipSpace();
    }
    return true;
}

bool isBoundaryChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           QByteArrayView("'()+_,-./:=? ").contains(c);
}

}  // namespace

std::optional<QByteArray> MultipartParser::boundaryOf(const QByteArray& contentType) {
    QByteArray type;
    QList<std::pair<QByteArray, QByteArray>> parameters;
    if (!splitParameters(contentType, type, parameters) || type != "multipart/form-data") return std::nullopt;
    for (const auto& [key, value] : parameters) {
        if (key != "boundary") continue;
        if (value.isEmpty() || value.size() > kMaxBoundaryBytes || value.endsWith(' ')) return std::nullopt;
        for (const char c : value) {
            if (!isBoundaryChar(c)) return std::nullopt;
        }
        return value;
    }
    return std::nullopt;
}

std::optional<QList<FormPart>> MultipartParser::fail(const QString& error, bool tooLarge) {
    error_ = error;
    tooLarge_ = tooLarge;
    return std::nullopt;
}

bool MultipartParser::readHeaders(const QByteArray& block, FormPart& part) {
    bool haveDisposition = false;
    for (const QByteArray& line : block.split('\n')) {
        QByteArray header = line;
        if (header.endsWith('\r')) header.chop(1);
        if (header.isEmpty()) continue;
        const qsizetype colon = header.indexOf(':');
        if (colon <= 0 || isSpace(header[0])) {
            error_ = QStringLiteral("malformed part header");
            return false;
        }
        const QByteArray name = header.left(colon).trimmed().toLower();
        const QByteArray value = header.mid(colon + 1).trimmed();
        if (name == "content-type") {
            part.contentType = value;
            continue;
        }
        if (name != "content-disposition") continue;
        QByteArray type;
        QList<std::pair<QByteArray, QByteArray>> parameters;
        if (haveDisposition || !splitParameters(value, type, parameters) || type != "form-data") {
            error_ = QStringLiteral("a part needs one Content-Disposition form-data header");
            return false;
        }
        haveDisposition = true;
        bool haveName = false;
        for (const auto& [key, text] : parameters) {
            if (key != "name" && key != "filename") continue;
            const auto decoded = utf8(text);
            if (!decoded || text.size() > limits_.maxNameBytes || (key == "name" ? haveName : part.filename.has_value())) {
                error_ = QStringLiteral("invalid or repeated %1 in Content-Disposition").arg(QString::fromLatin1(key));
                return false;
            }
            if (key == "name") {
                part.name = *decoded;
                haveName = true;
            } else {
                part.filename = *decoded;
            }
        }
    }
    if (!haveDisposition || part.name.isEmpty()) {
        error_ = QStringLiteral("a part needs a Content-Disposition form-data header with a name");
        return false;
    }
    return true;
}

std::optional<QList<FormPart>> MultipartParser::parse(const QByteArray& body, const QByteArray& boundary) {
    error_.clear();
    tooLarge_ = false;
    if (boundary.isEmpty()) return fail(QStringLiteral("no boundary"));
    const QByteArray delimiter = "--" + boundary;
    const QByteArray separator = "\r\n" + delimiter;

    // A preamble before the first delimiter is allowed and ignored.
    qsizetype at = 0;
    if (body.startsWith(delimiter)) {
        at = delimiter.size();
    } else {
        const qsizetype first = body.indexOf(separator);
        if (first < 0) return fail(QStringLiteral("no opening boundary"));
        at = first + separator.size();
    }

    QList<FormPart> parts;
    for (;;) {
        if (QByteArrayView(body).sliced(at).startsWith("--")) break;  // the closing delimiter
        while (at < body.size() && isSpace(body[at])) ++at;
        if (!QByteArrayView(body).sliced(at).startsWith("\r\n")) return fail(QStringLiteral("malformed boundary line"));
        at += 2;
        if (parts.size() == limits_.maxParts)
            return fail(QStringLiteral("more than %1 parts").arg(limits_.maxParts), true);

        // The part's header block: at most maxPartHeaderBytes, ended by an empty line.
        FormPart part;
        qsizetype contentStart = 0;
        if (QByteArrayView(body).sliced(at).startsWith("\r\n")) {
            if (!readHeaders({}, part)) return fail(error_);  // no headers: refused for want of a name
            contentStart = at + 2;
        } else {
            const qsizetype window = std::min<qsizetype>(body.size() - at, limits_.maxPartHeaderBytes + 4);
            const qsizetype end = QByteArrayView(body).sliced(at, window).indexOf("\r\n\r\n");
            if (end < 0) {
                return window > limits_.maxPartHeaderBytes
                           ? fail(QStringLiteral("part header larger than %1 bytes").arg(limits_.maxPartHeaderBytes), true)
                           : fail(QStringLiteral("unterminated part header"));
            }
            if (!readHeaders(body.sliced(at, end), part)) return fail(error_);
            contentStart = at + end + 4;
        }

        const qsizetype next = body.indexOf(separator, contentStart);
        if (next < 0) return fail(QStringLiteral("unterminated part"));
        const qsizetype size = next - contentStart;
        if (!part.filename) {
            if (size > limits_.maxFieldBytes)
                return fail(QStringLiteral("field \"%1\" larger than %2 bytes").arg(part.name).arg(limits_.maxFieldBytes), true);
            if (!utf8(body.sliced(contentStart, size)))
                return fail(QStringLiteral("field \"%1\" is not valid UTF-8").arg(part.name));
        }
        part.body = body.sliced(contentStart, size);
        parts.append(std::move(part));
        at = next + separator.size();
    }
    return parts;
}

}  // namespace veltrix::backend
