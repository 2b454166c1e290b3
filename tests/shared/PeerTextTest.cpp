// What a peer's text looks like in a log line: cut, and unable to start a line of its own or to
// hide what follows it.
#include <gtest/gtest.h>

#include <QString>

#include <string>

#include "shared/Logging.h"

namespace veltrix::logging {
namespace {

TEST(PeerText, ControlCharactersBackslashesAndBrokenUtf8AreEscaped) {
    struct Case {
        std::string text;
        std::string shown;
    };
    const Case cases[] = {
        {"plain text", "plain text"},
        {"two\nlines\r\n", "two\\nlines\\r\\n"},
        {"tab\there", "tab\\there"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"\x1b[31mred", "\\x1b[31mred"},
        {"del\x7f", "del\\x7f"},
        {"back\\slash", "back\\\\slash"},
        {"gr\xc3\xbc\xc3\x9f", "gr\xc3\xbc\xc3\x9f"},                    // UTF-8 stays
        {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},                        // four bytes
        {"lone\xc3", "lone\\xc3"},                                       // truncated sequence
        {"\xc0\xaf", "\\xc0\\xaf"},                                      // overlong
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},                             // a surrogate
        {"next\xc2\x85line", "next\\u0085line"},                         // C1 control
        {"a\xe2\x80\xa8" "b", "a\\u2028b"},                              // line separator
        {"file\xe2\x80\xaetxt.exe", "file\\u202etxt.exe"},               // right-to-left override
    };
    for (const Case& c : cases) EXPECT_EQ(peerText(c.text), c.shown) << c.shown;
}

TEST(PeerText, LongTextsAreCutOnACharacterBoundaryWithTheRestCounted) {
    EXPECT_EQ(peerText(std::string(300, 'a')), std::string(256, 'a') + "... (44 more bytes)");
    EXPECT_EQ(peerText(std::string(256, 'a')), std::string(256, 'a'));
    // A two-byte character across the limit is left out whole.
    const std::string umlauts = std::string(255, 'a') + "\xc3\xbc" + "z";
    EXPECT_EQ(peerText(umlauts), std::string(255, 'a') + "... (3 more bytes)");
    EXPECT_EQ(peerText("abcdef", 3), "abc... (3 more bytes)");

    // A 300 KB command of many lines is one short line.
    std::string flood;
    for (int i = 0; i < 30000; ++i) flood += "[info] forged\n";
    const std::string shown = peerText(flood);
    EXPECT_EQ(shown.find('\n'), std::string::npos);
    EXPECT_LT(shown.size(), 400u);
    EXPECT_NE(shown.find("more bytes)"), std::string::npos);
}

TEST(PeerText, QStringsAreCutAndCountedInUtf8) {
    EXPECT_EQ(peerText(QStringLiteral("path/with\nnewline")), "path/with\\nnewline");
    std::string umlauts;
    for (int i = 0; i < 128; ++i) umlauts += "\xc3\xbc";
    EXPECT_EQ(peerText(QString(300, QChar(u'\u00fc'))), umlauts + "... (344 more bytes)");
    // Three million characters are counted without being shown.
    const QString huge(3'000'000, QChar(u'x'));
    EXPECT_EQ(peerText(huge), std::string(256, 'x') + "... (2999744 more bytes)");
    // A pair of surrogates at the limit is one character of four bytes.
    QString pairs = QString(255, QChar(u'y')) + QString::fromUtf8("\xf0\x9f\x98\x80\xf0\x9f\x98\x80");
    EXPECT_EQ(peerText(pairs), std::string(255, 'y') + "... (8 more bytes)");
}

}  // namespace
}  // namespace veltrix::logging
