#include <gtest/gtest.h>

#include "HttpRequestParser.h"

using veltrix::backend::HttpRequestParser;

namespace {

TEST(HttpRequestParserTest, ReadsPipelinedRequestsAndBodiesSplitAcrossReads) {
    HttpRequestParser parser;
    QByteArray buffer = "POST /sessions/a%20b/close?x=1 HTTP/1.1\r\nContent-Length: 4\r\nAuthorization: Bearer t\r\n\r\nab";
    EXPECT_EQ(parser.parse(buffer), HttpRequestParser::Result::NeedMore);
    buffer += "cdGET / HTTP/1.1\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(parser.parse(buffer), HttpRequestParser::Result::Complete);
    EXPECT_EQ(parser.request().method, "POST");
    EXPECT_EQ(parser.request().path, "/sessions/a b/close");
    EXPECT_EQ(parser.request().query, "x=1");
    EXPECT_EQ(parser.request().header("authorization"), "Bearer t");
    EXPECT_EQ(parser.request().body, "abcd");
    EXPECT_TRUE(parser.request().keepAlive);
    ASSERT_EQ(parser.parse(buffer), HttpRequestParser::Result::Complete);
    EXPECT_EQ(parser.request().path, "/");
    EXPECT_FALSE(parser.request().keepAlive);
    EXPECT_TRUE(buffer.isEmpty());
}

TEST(HttpRequestParserTest, RefusesWhatItCannotBoundOrRead) {
    struct Case {
        QByteArray bytes;
        int status;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\nContent-Length: 70000\r\n\r\n", 413},
        {"GET / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
        {"GET / HTTP/2\r\n\r\n", 400},
        {"GET http://x/ HTTP/1.1\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nno colon here\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nX: " + QByteArray(20000, 'a'), 431},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.left(60).toStdString());
        HttpRequestParser parser;
        QByteArray buffer = c.bytes;
        EXPECT_EQ(parser.parse(buffer), HttpRequestParser::Result::Error);
        EXPECT_EQ(parser.errorStatus(), c.status);
    }
}

}  // namespace
