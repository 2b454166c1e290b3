#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace veltrix::backend {

// One part of a multipart/form-data body: a text field, or a file when it names a filename.
struct FormPart {
    QString name;
    std::optional<QString> filename;
    QByteArray contentType;  // empty when the part names none
    QByteArray body;
};

// Reads a multipart/form-data body (RFC 7578) within fixed bounds. Every part needs a
// Content-Disposition "form-data" with a name; names, filenames and text values must be UTF-8.
// Quoted parameters may escape a quotation mark or a backslash with a backslash.
class MultipartParser {
public:
    struct Limits {
        int maxParts = 32;
        int maxPartHeaderBytes = 4096;
        int maxNameBytes = 256;
        qint64 maxFieldBytes = 64 * 1024;  // a text field; files are bounded by the body alone
    };

    explicit MultipartParser(Limits limits) : limits_(limits) {}
    MultipartParser() : MultipartParser(Limits{}) {}

    // The boundary of a "multipart/form-data; boundary=..." Content-Type, or nothing.
    static std::optional<QByteArray> boundaryOf(const QByteArray& contentType);

    // The parts of `body`; nothing when it is malformed or exceeds a bound, with error() saying why
    // and tooLarge() telling a bound from a malformed body.
    std::optional<QList<FormPart>> parse(const QByteArray& body, const QByteArray& boundary);

    const QString& error() const { return error_; }
    bool tooLarge() const { return tooLarge_; }

private:
    std::optional<QList<FormPart>> fail(const QString& error, bool tooLarge = false);
    bool readHeaders(const QByteArray& block, FormPart& part);

    Limits limits_;
    QString error_;
    bool tooLarge_ = false;
};

}  // namespace veltrix::backend
