#include <gtest/gtest.h>

#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QLocale>

#include <filesystem>
#include <fstream>
#include <memory>

#include "GuiTestSupport.h"
#include "core/SettingsController.h"
#include "gui/HelpDeskReporter.h"
#include "platform/InstancePaths.h"
#include "support/LocalHttpsServer.h"
#include "support/LogCapture.h"
#include "support/LogFileLines.h"
#include "support/TempInstanceRoot.h"
#include "support/TestCertificates.h"
#include "support/WaitUntil.h"

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using test::logStamp;
using test::writeTextFile;

TEST(HelpDeskExcerptTest, TakesRecentEntriesAndTheirContinuations) {
    test::TempInstanceRoot root;
    const fs::path log = root.path() / "some.log";
    const QDateTime since = QDateTime::currentDateTime().addSecs(-7200);
    writeTextFile(log, logStamp(3 * 3600) + "[info] old entry\n  old continuation\n");
    EXPECT_TRUE(helpdesk::recentLogExcerpt(QString::fromStdString(log.string()), since).isEmpty());

    const std::string recent =
        logStamp(1800) + "[error] crash\n    at frame 1\n    at frame 2\n" + logStamp(60) + "[info] later\n";
    writeTextFile(log, "  stray continuation\n" + logStamp(3 * 3600) + "[info] old\n  old trace\n[short]\n" + recent);
    EXPECT_EQ(helpdesk::recentLogExcerpt(QString::fromStdString(log.string()), since).toStdString(), recent);
    EXPECT_TRUE(helpdesk::recentLogExcerpt(QStringLiteral("/nonexistent/log"), since).isEmpty());
}

TEST(HelpDeskLanguageTest, SettingThenLocaleThenEnglish) {
    test::TempInstanceRoot root;
    struct Case {
        const char* setting;
        const char* locale;
        const char* expected;
    };
    for (const Case c : {Case{"fr", "cs_CZ", "en"}, Case{"", "cs_CZ", "cs"}, Case{"de", "cs_CZ", "de"},
                         Case{"", "fr_FR", "en"}, Case{"DE", "en_US", "en"}}) {
        SCOPED_TRACE(std::string(c.setting) + "/" + c.locale);
        SettingsController().setLanguage(QString::fromLatin1(c.setting));
        EXPECT_EQ(helpdesk::helpDeskLanguage(QString::fromLatin1(c.locale)).toStdString(), c.expected);
    }
}

class HelpDeskReporterTest : public ::testing::Test {
protected:
    void SetUp() override {
        certificates = test::makeTestCertificates(root.path() / "tls");
        server = std::make_unique<test::LocalHttpsServer>(certificates.serverCertificate, certificates.serverKey);
        writeTextFile(root.path() / "instance.ini", "[tls]\nextra_ca_file=" + certificates.caCertificate.string() +
                                                    "\n[helpdesk]\nhost=" + server->origin().toStdString() + "\n");
        SettingsController().setLanguage(QStringLiteral("de"));
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &opened, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &opened, "open");
    }
    void TearDown() override {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    }

    void answer(const QByteArray& body) { server->setResponse(QString::fromLatin1(helpdesk::kFormPath), {200, body, {}, -1}); }

    // Runs one report; the URL it opened.
    QString report(std::chrono::milliseconds timeout = helpdesk::kReplyTimeout) {
        helpdesk::reportIssue(QStringLiteral("123456789"), &parent, [this] { ++callbacks; }, timeout);
        EXPECT_TRUE(test::waitUntil([&] { return callbacks > 0; }, 10s));
        test::runEventsFor(50ms);
        EXPECT_EQ(callbacks, 1);
        EXPECT_EQ(opened.opened.size(), 1);
        return opened.opened.isEmpty() ? QString() : opened.opened.last().toString();
    }

    QString fallback() const {
        return QStringLiteral("https://%1/HelpDesk/AddNewTicket/1/496/Veltrix/?lang=de").arg(server->origin());
    }

    test::TempInstanceRoot root;
    test::LogCapture logs;
    test::TestCertificates certificates;
    std::unique_ptr<test::LocalHttpsServer> server;
    test::UrlCatcher opened;
    QObject parent;
    int callbacks = 0;
};

TEST_F(HelpDeskReporterTest, PostsTheFormWithTheRecentLogs) {
    const auto common = platform::paths::commonDataDir() / "Veltrix";
    writeTextFile(platform::paths::userDataDir() / "VeltrixClient" / "VeltrixClient.log", logStamp(60) + "[info] client\n");
    writeTextFile(common / "service.log", logStamp(120) + "[info] service\n");
    writeTextFile(common / "headless.log", logStamp(180) + "[info] headless\n");
    answer(R"({"success":true,"url":"https://example.test/HelpDesk/Ticket/7"})");
    EXPECT_EQ(report(), QStringLiteral("https://example.test/HelpDesk/Ticket/7?lang=de"));

    const QByteArray body = server->lastBody();
    EXPECT_TRUE(server->lastHead().contains("User-Agent: Veltrix/1.301"));
    EXPECT_TRUE(server->lastHead().startsWith("POST /HelpDesk/PrefillTicket/1/496/ "));
    EXPECT_TRUE(body.contains("name=\"Subject\"\r\n\r\nVeltrix v1.301 - Client 123456789\r\n"));
    EXPECT_TRUE(body.contains("name=\"prefill\"\r\n\r\n1\r\n"));
    EXPECT_TRUE(body.contains("name=\"CreatorEmail\"\r\n\r\n\r\n"));
    for (const char* name : {"VeltrixClient.log", "service.log", "headless.log"})
        EXPECT_TRUE(body.contains(QByteArray("filename=\"") + name + "\"")) << name;
    EXPECT_TRUE(body.contains("[info] headless"));
    EXPECT_TRUE(logs.contains("Reporting issue to HelpDesk"));
}

TEST_F(HelpDeskReporterTest, RepliesChooseThePage) {
    struct Case {
        QByteArray body;
        QString expected;  // empty: the fallback page
    };
    const QList<Case> cases = {
        {R"({"success":true,"url":"https://h.test/t?lang=cs"})", "https://h.test/t?lang=cs"},
        {R"({"success":true,"url":"https://h.test/t?id=4"})", "https://h.test/t?id=4&lang=de"},
        {"\xEF\xBB\xBF" R"({"success":true,"url":"https://h.test/t"})", "https://h.test/t?lang=de"},
        {R"({"success":false,"url":"https://h.test/t"})", {}},
        {R"({"url":"https://h.test/t"})", {}},
        {R"({"success":true})", {}},
        {"not json", {}},
        {R"({"success":true,"url":"file:///etc/passwd"})", {}},
        {R"({"success":true,"url":"http://h.test/t"})", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.toStdString());
        callbacks = 0;
        opened.opened.clear();
        answer(c.body);
        EXPECT_EQ(report(), c.expected.isEmpty() ? fallback() : c.expected);
    }
}

TEST_F(HelpDeskReporterTest, NoAnswerEndsInTheFallbackAfterTheTimeout) {
    server->setSilent(QString::fromLatin1(helpdesk::kFormPath));
    EXPECT_EQ(report(300ms), fallback());
    EXPECT_TRUE(logs.contains("HelpDesk POST failed"));
}

TEST_F(HelpDeskReporterTest, TheTemporaryFolderIsRemoved) {
    writeTextFile(platform::paths::userDataDir() / "VeltrixClient" / "VeltrixClient.log", logStamp(60) + "[info] client\n");
    answer(R"({"success":true,"url":"https://h.test/t"})");
    // A temporary folder of this test's own, so other programs' folders in /tmp do not count.
    const fs::path temp = root.path() / "tmp";
    fs::create_directories(temp);
    const QByteArray previous = qgetenv("TMPDIR");
    qputenv("TMPDIR", QByteArray::fromStdString(temp.string()));
    report();
    EXPECT_TRUE(server->lastBody().contains("[info] client"));
    qputenv("TMPDIR", previous);
    EXPECT_TRUE(fs::is_empty(temp));
}

}  // namespace
}  // namespace veltrix

