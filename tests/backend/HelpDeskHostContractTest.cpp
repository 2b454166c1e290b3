// Contract tests of the help-desk host: the client's own issue reporter against the running
// backend (scripts/backend), and the form as the host stored it.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDesktopServices>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <filesystem>
#include <fstream>
#include <memory>

#include "UrlRecorder.h"
#include "core/SettingsController.h"
#include "gui/HelpDeskReporter.h"
#include "platform/InstancePaths.h"
#include "support/LogCapture.h"
#include "support/LogFileLines.h"
#include "support/RunningBackend.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;


QByteArray readFile(const fs::path& path) {
    QFile file(QString::fromStdString(path.string()));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class HelpDeskHostContractTest : public ::testing::Test {
protected:
    void SetUp() override {
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &browser, "open");
    }
    void TearDown() override {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }

    // The backend (help-desk reply `kind`), and the device's language set to German.
    void startBackend(const QString& kind = QStringLiteral("success")) {
        backend = std::make_unique<test::RunningBackend>(
            QStringList{"--no-turn", "--instance", QString::fromStdString(root.path().string()), "--", "--helpdesk-reply", kind});
        ASSERT_TRUE(backend->start()) << backend->output().toStdString();
        SettingsController().setLanguage(QStringLiteral("de"));
    }

    // Runs one report from client 123456789; the page it opened.
    QString report(std::chrono::milliseconds timeout = helpdesk::kReplyTimeout) {
        int callbacks = 0;
        helpdesk::reportIssue(QStringLiteral("123456789"), &parent, [&] { ++callbacks; }, timeout);
        EXPECT_TRUE(test::waitUntil([&] { return callbacks > 0; }, 15s));
        test::runEventsFor(50ms);
        EXPECT_EQ(callbacks, 1);
        EXPECT_EQ(browser.opened.size(), 1);
        return browser.opened.isEmpty() ? QString() : browser.opened.last().toString();
    }

    QString origin() const { return QStringLiteral("127.0.0.1:%1").arg(backend->helpDeskPort()); }
    QString ticketPage(int number) const { return QStringLiteral("https://%1/HelpDesk/Ticket/%2").arg(origin()).arg(number); }
    QString fallback() const { return QStringLiteral("https://%1/HelpDesk/AddNewTicket/1/496/Veltrix/?lang=de").arg(origin()); }
    fs::path ticketFolder(int number) const {
        return fs::path(backend->folder().toStdString()) / "data" / "helpdesk" / std::to_string(number);
    }
    QJsonObject storedForm(int number) const {
        return QJsonDocument::fromJson(readFile(ticketFolder(number) / "form.json")).object();
    }

    test::TempInstanceRoot root;
    test::LogCapture logs;
    test::UrlRecorder browser;
    QObject parent;
    std::unique_ptr<test::RunningBackend> backend;
};

TEST_F(HelpDeskHostContractTest, TheHostStoresTheFormWithTheThreeRecentLogs) {
    startBackend();
    const auto common = platform::paths::commonDataDir() / "Veltrix";
    // What each log contributes: its recent entries with their continuation lines.
    const QList<std::string> contents = {test::logStamp(60) + "[error] client failure\n    at frame 1\n",
                                         test::logStamp(120) + "[info] service\n", test::logStamp(180) + "[info] headless\n"};
    test::writeTextFile(platform::paths::userDataDir() / "VeltrixClient" / "VeltrixClient.log",
                        test::logStamp(3 * 3600) + "[info] too old\n" + contents[0]);
    test::writeTextFile(common / "service.log", contents[1]);
    test::writeTextFile(common / "headless.log", contents[2]);

    EXPECT_EQ(report(), ticketPage(1) + QStringLiteral("?lang=de"));

    const QJsonObject form = storedForm(1);
    EXPECT_EQ(form["user_agent"].toString(), QStringLiteral("Veltrix/1.301"));
    QJsonObject fields;
    for (const auto& entry : form["fields"].toArray()) {
        const QJsonObject field = entry.toObject();
        fields[field["name"].toString()] = field["value"];
    }
    EXPECT_EQ(fields, (QJsonObject{{"prefill", "1"},
                                   {"Subject", "Veltrix v1.301 - Client 123456789"},
                                   {"CreatorEmail", ""},
                                   {"CreatorName", ""}}));
    const QJsonArray files = form["files"].toArray();
    ASSERT_EQ(files.size(), 3);
    const QStringList names = {"VeltrixClient.log", "service.log", "headless.log"};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(names[i].toStdString());
        EXPECT_EQ(files[i].toObject()["field"].toString(), QStringLiteral("attachments[]"));
        EXPECT_EQ(files[i].toObject()["filename"].toString(), names[i]);
        EXPECT_EQ(files[i].toObject()["content_type"].toString(), QStringLiteral("text/plain"));
        EXPECT_EQ(readFile(ticketFolder(1) / files[i].toObject()["stored_as"].toString().toStdString()).toStdString(), contents[i]);
    }

    // The ticket page and the new-ticket page are there to be opened.
    test::HttpsClient http(backend->caFile());
    const test::Reply ticket = http.send("GET", ticketPage(1));
    EXPECT_EQ(ticket.status, 200);
    EXPECT_TRUE(ticket.raw.contains("Veltrix v1.301 - Client 123456789"));
    EXPECT_EQ(http.send("GET", ticketPage(2)).status, 404);
    EXPECT_EQ(http.send("GET", fallback()).status, 200);
    // A second report is the next ticket.
    browser.opened.clear();
    EXPECT_EQ(report(), ticketPage(2) + QStringLiteral("?lang=de"));
}

TEST_F(HelpDeskHostContractTest, BadFormsGetA4xxWithDetail) {
    startBackend();
    test::HttpsClient http(backend->caFile());
    const QString target = QStringLiteral("https://%1/HelpDesk/PrefillTicket/1/496/").arg(origin());
    const test::Reply notMultipart = http.send("POST", target, "{}");
    EXPECT_EQ(notMultipart.status, 415);
    EXPECT_FALSE(notMultipart.detail().isEmpty());
    EXPECT_EQ(http.send("GET", target).status, 405);
    EXPECT_EQ(http.send("GET", QStringLiteral("https://%1/HelpDesk/Ticket/..%2F..%2Fclients.json").arg(origin())).status, 404);
    EXPECT_FALSE(fs::exists(ticketFolder(1)));
}

struct ReplyCase {
    const char* kind;
    bool opensTicket;  // false: the new-ticket page
};
void PrintTo(const ReplyCase& c, std::ostream* out) { *out << c.kind; }

class HelpDeskReplyTest : public HelpDeskHostContractTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(HelpDeskReplyTest, TheReplyChoosesThePage) {
    startBackend(QString::fromLatin1(GetParam().kind));
    const QString opened = report(std::chrono::milliseconds(1500));
    EXPECT_EQ(opened, GetParam().opensTicket ? ticketPage(1) + QStringLiteral("?lang=de") : fallback());
    EXPECT_TRUE(fs::exists(ticketFolder(1) / "form.json"));  // the form arrived in every case
}

INSTANTIATE_TEST_SUITE_P(Kinds, HelpDeskReplyTest,
                         ::testing::Values(ReplyCase{"success-false", false}, ReplyCase{"malformed", false},
                                           ReplyCase{"bom", true}, ReplyCase{"non-https", false},
                                           ReplyCase{"none", false}),
                         [](const auto& info) {
                             std::string name = info.param.kind;
                             for (char& c : name) if (c == '-') c = '_';
                             return name;
                         });

}  // namespace
}  // namespace veltrix
