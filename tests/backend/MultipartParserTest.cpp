#include <gtest/gtest.h>

#include "MultipartParser.h"

namespace veltrix::backend {
namespace {

QByteArray form(const QList<QByteArray>& parts, const QByteArray& boundary = "XyZ") {
    QByteArray body;
    for (const QByteArray& part : parts) body += "--" + boundary + "\r\n" + part + "\r\n";
    return body + "--" + boundary + "--\r\n";
}

TEST(MultipartParserTest, ReadsFieldsAndFiles) {
    const QByteArray body =
        form({"Content-Disposition: form-data; name=\"prefill\"\r\n\r\n1",
              "Content-Disposition: form-data; name=\"CreatorEmail\"\r\n\r\n",
              "content-type: text/plain\r\nCONTENT-DISPOSITION: form-data; name=\"attachments[]\"; "
              "filename=\"say \\\"hi\\\".log\"\r\n\r\nline 1\r\n-- XyZ\r\n--Xy\r\n\r\nline 3\r\n",
              "Content-Disposition: form-data; name=Subject\r\n\r\nVeltrix v1.301 - Client 123456789"});
    MultipartParser parser;
    const auto parts = parser.parse(body, "XyZ");
    ASSERT_TRUE(parts) << parser.error().toStdString();
    ASSERT_EQ(parts->size(), 4);
    EXPECT_EQ((*parts)[0].name, "prefill");
    EXPECT_EQ((*parts)[0].body, "1");
    EXPECT_FALSE((*parts)[0].filename);
    EXPECT_EQ((*parts)[1].body, "");
    EXPECT_EQ((*parts)[2].name, "attachments[]");
    EXPECT_EQ((*parts)[2].filename.value_or("none"), "say \"hi\".log");
    EXPECT_EQ((*parts)[2].contentType, "text/plain");
    EXPECT_EQ((*parts)[2].body, "line 1\r\n-- XyZ\r\n--Xy\r\n\r\nline 3\r\n");
    EXPECT_EQ((*parts)[3].body, "Veltrix v1.301 - Client 123456789");
}

TEST(MultipartParserTest, FindsTheBoundaryOfTheContentType) {
    EXPECT_EQ(MultipartParser::boundaryOf("multipart/form-data; boundary=\"boundary_.oOo._AbC+/=\"").value_or("-"),
              "boundary_.oOo._AbC+/=");
    EXPECT_EQ(MultipartParser::boundaryOf("Multipart/Form-Data;boundary=abc").value_or("-"), "abc");
    for (const QByteArray& refused : {QByteArray("text/plain; boundary=abc"), QByteArray("multipart/form-data"),
                                      QByteArray("multipart/form-data; boundary="), QByteArray("multipart/form-data; boundary=\"a\r\nb\""),
                                      QByteArray("multipart/form-data; boundary=\"unterminated"),
                                      QByteArray("multipart/form-data; boundary=" + QByteArray(71, 'a'))}) {
        EXPECT_FALSE(MultipartParser::boundaryOf(refused)) << refused.toStdString();
    }
}

TEST(MultipartParserTest, RefusesMalformedOrOversizedBodies) {
    MultipartParser::Limits limits;
    limits.maxParts = 3;
    limits.maxPartHeaderBytes = 128;
    limits.maxFieldBytes = 16;
    const QByteArray ok = "Content-Disposition: form-data; name=\"a\"\r\n\r\nv";
    struct Case {
        QByteArray body;
        bool tooLarge;
    };
    const QList<Case> cases = {
        {"", false},
        {"no boundary at all", false},
        {"--XyZ\r\n" + ok, false},                                          // never terminated
        {"--XyZ\r\n" + ok.left(ok.indexOf("\r\n\r\n")), false},            // header never ended
        {"--XyZjunk\r\n" + ok + "\r\n--XyZ--", false},                      // bad boundary line
        {form({"\r\nno headers"}), false},                                  // no Content-Disposition
        {form({"Content-Disposition: attachment; name=\"a\"\r\n\r\nv"}), false},
        {form({"Content-Disposition: form-data; filename=\"f\"\r\n\r\nv"}), false},
        {form({"Content-Disposition: form-data; name=\"a\"; name=\"b\"\r\n\r\nv"}), false},
        {form({"Content-Disposition: form-data; name=\"a\r\n\r\nv"}), false},
        {form({" folded: header\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv"}), false},
        {form({"Content-Disposition: form-data; name=\"a\"\r\n\r\n\xC3\x28"}), false},  // not UTF-8
        {form({"Content-Disposition: form-data; name=\"\xFF\"\r\n\r\nv"}), false},
        {form({ok, ok, ok, ok}), true},
        {form({"X-Padding: " + QByteArray(200, 'p') + "\r\n" + ok}), true},
        {form({"Content-Disposition: form-data; name=\"a\"\r\n\r\n" + QByteArray(17, 'v')}), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.toStdString());
        MultipartParser parser(limits);
        EXPECT_FALSE(parser.parse(c.body, "XyZ"));
        EXPECT_FALSE(parser.error().isEmpty());
        EXPECT_EQ(parser.tooLarge(), c.tooLarge);
    }
    // The same bounds let through what stays inside them: files are bounded by the body alone.
    MultipartParser parser(limits);
    const auto parts = parser.parse(
        form({ok, ok, "Content-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\n" + QByteArray(1000, 'f')}), "XyZ");
    ASSERT_TRUE(parts) << parser.error().toStdString();
    EXPECT_EQ(parts->at(2).body.size(), 1000);
}

}  // namespace
}  // namespace veltrix::backend
