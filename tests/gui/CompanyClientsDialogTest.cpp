// The company-clients picker: rows and headers from the service's list, the search over ID,
// grouped ID, label and name, the age texts, lists of the wrong kind, and the main window's part
// (which answers open it, and the picked ID in the partner box).
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "GuiTestSupport.h"
#include "RecordingPipeServer.h"
#include "core/SettingsController.h"
#include "gui/CompanyClientsDialog.h"
#include "gui/MainWindow.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {

class CompanyClientsDialogTestAccess {
public:
    explicit CompanyClientsDialogTestAccess(CompanyClientsDialog& dialog) : d(dialog) {}
    int rowCount() const { return static_cast<int>(d.rows_.size()); }
    QWidget* row(int i) const { return d.rows_[i].widget; }
    bool online(int i) const { return d.rows_[i].online; }
    // The texts of a row's four labels: grouped ID, label, client name, age.
    QStringList texts(int i) const {
        QStringList texts;
        for (auto* label : d.rows_[i].widget->findChildren<QLabel*>()) texts << label->text();
        return texts;
    }
    QStringList shownIds() const {
        QStringList ids;
        for (const auto& row : d.rows_)
            if (!row.widget->isHidden()) ids << row.id;
        return ids;
    }
    QLabel* onlineHeader() const { return d.onlineHeader_; }
    QLabel* offlineHeader() const { return d.offlineHeader_; }
    QLineEdit* search() const { return d.searchEdit_; }

private:
    CompanyClientsDialog& d;
};

namespace {

using nlohmann::json;

json sampleClients() {
    return json::array({
        {{"id", "123456789"}, {"label", "Front desk"}, {"client_name", "RECEPTION-PC"}, {"is_online", true}},
        {{"id", "123400001"}, {"label", "Lab"}, {"client_name", "lab-01"}, {"is_online", false}},
        {{"id", "987654321"}, {"label", "Warehouse"}, {"client_name", "Scanner"}},
        {{"id", "555000111"}, {"label", "Boss"}, {"client_name", "Laptop"}, {"is_online", true}},
    });
}

class CompanyClientsDialogTest : public ::testing::Test {
protected:
    void build(const json& clients) {
        dialog = std::make_unique<CompanyClientsDialog>("Acme Support", clients);
        access = std::make_unique<CompanyClientsDialogTestAccess>(*dialog);
    }

    test::TempInstanceRoot root;
    std::unique_ptr<CompanyClientsDialog> dialog;
    std::unique_ptr<CompanyClientsDialogTestAccess> access;
};

TEST_F(CompanyClientsDialogTest, AnEmptyListShowsNoRowsAndNoHeaders) {
    build(json::array());
    EXPECT_EQ(access->rowCount(), 0);
    EXPECT_TRUE(access->onlineHeader()->isHidden());
    EXPECT_TRUE(access->offlineHeader()->isHidden());
    EXPECT_EQ(dialog->windowTitle(), "Company Clients");
    EXPECT_EQ(dialog->size(), QSize(700, 450));
}

TEST_F(CompanyClientsDialogTest, RowsGoToTheirSectionsWithGroupedIdsAndCountedHeaders) {
    build(sampleClients());
    ASSERT_EQ(access->rowCount(), 4);
    EXPECT_EQ(access->texts(0).mid(0, 3), (QStringList{"123 456 789", "Front desk", "RECEPTION-PC"}));
    EXPECT_TRUE(access->online(0));
    EXPECT_FALSE(access->online(1));
    EXPECT_FALSE(access->online(2));  // no is_online: offline
    EXPECT_EQ(access->onlineHeader()->text(), "● ONLINE (2)");
    EXPECT_EQ(access->offlineHeader()->text(), "● OFFLINE (2)");
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    // Online rows sit above the offline header, offline rows below it.
    const int offlineTop = access->offlineHeader()->mapTo(dialog.get(), QPoint()).y();
    EXPECT_LT(access->row(3)->mapTo(dialog.get(), QPoint()).y(), offlineTop);
    EXPECT_GT(access->row(1)->mapTo(dialog.get(), QPoint()).y(), offlineTop);
    EXPECT_FALSE(test::saveArtefact(*dialog, "gui_tests", "company-clients").isEmpty());
}

// Every text of the list comes from the backend: markup in it is shown as the characters it is,
// so a label cannot draw large red text and an ID shows exactly what a double-click picks.
TEST_F(CompanyClientsDialogTest, MarkupInTheBackendsTextsIsShownAsText) {
    const QString fake = "<h1 style='color:red'>FAKE</h1>";
    dialog = std::make_unique<CompanyClientsDialog>("<i>Acme</i>", json::array({
        {{"id", "<b>999</b>"}, {"label", fake.toStdString()}, {"client_name", "<u>pc</u>"}, {"is_online", true}},
        {{"id", "123456789"}, {"label", "Front desk"}, {"client_name", "RECEPTION-PC"}, {"is_online", true}},
    }));
    access = std::make_unique<CompanyClientsDialogTestAccess>(*dialog);
    for (QLabel* label : dialog->findChildren<QLabel*>()) {
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
    }
    EXPECT_EQ(access->texts(0).mid(0, 3), (QStringList{"<b>999</b>", fake, "<u>pc</u>"}));
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    EXPECT_EQ(access->row(0)->height(), access->row(1)->height()) << "the label was drawn as a heading";
    const QImage picture = dialog->grab().toImage();
    int red = 0;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const QColor c = picture.pixelColor(x, y);
            red += c.red() > 200 && c.green() < 80 && c.blue() < 80;
        }
    EXPECT_LT(red, 20) << "red text on the list";
    EXPECT_FALSE(test::saveArtefact(*dialog, "gui_tests", "company-clients-markup").isEmpty());

    QTest::mouseDClick(access->row(0), Qt::LeftButton);
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(dialog->selectedClientId(), "<b>999</b>");
}

TEST_F(CompanyClientsDialogTest, SearchMatchesIdGroupedIdLabelAndName) {
    build(sampleClients());
    struct Case {
        QString query;
        QStringList shown;
        QString online;   // empty: header hidden
        QString offline;
    };
    const std::vector<Case> cases = {
        {"123 4", {"123456789", "123400001"}, "● ONLINE (1)", "● OFFLINE (1)"},
        {"1234", {"123456789", "123400001"}, "● ONLINE (1)", "● OFFLINE (1)"},
        {"  LAB  ", {"123400001"}, "", "● OFFLINE (1)"},
        {"scanner", {"987654321"}, "", "● OFFLINE (1)"},
        {"laptop", {"555000111"}, "● ONLINE (1)", ""},
        {"nothing like it", {}, "", ""},
        {"", {"123456789", "123400001", "987654321", "555000111"}, "● ONLINE (2)", "● OFFLINE (2)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query.toStdString());
        access->search()->setText(c.query);
        EXPECT_EQ(access->shownIds(), c.shown);
        EXPECT_EQ(access->onlineHeader()->isHidden(), c.online.isEmpty());
        EXPECT_EQ(access->offlineHeader()->isHidden(), c.offline.isEmpty());
        if (!c.online.isEmpty()) {
            EXPECT_EQ(access->onlineHeader()->text(), c.online);
        }
        if (!c.offline.isEmpty()) {
            EXPECT_EQ(access->offlineHeader()->text(), c.offline);
        }
    }
}

TEST_F(CompanyClientsDialogTest, AgeTexts) {
    const QDateTime now = QDateTime::fromString("2026-03-10T12:00:00.000Z", Qt::ISODateWithMs);
    ASSERT_TRUE(now.isValid());
    const std::vector<std::pair<QString, QString>> cases = {
        {"", ""},
        {"2026-03-10T11:59:30.000Z", "30 s ago"},
        {"2026-03-10T11:59:30", "30 s ago"},           // no zone: UTC
        {"2026-03-10T12:59:30+01:00", "30 s ago"},     // an offset counts
        {"2026-03-10T11:01:00Z", "59 min ago"},
        {"2026-03-09T12:01:00.250Z", "23 h ago"},      // 23 h 59 min
        {"2026-03-07T12:00:00Z", "3 d ago"},
        {"2026-03-10T12:05:00Z", "0 s ago"},           // the future
        {"yesterday", "yesterday"},
    };
    for (const auto& [heartbeat, expected] : cases)
        EXPECT_EQ(CompanyClientsDialog::ageText(heartbeat, now), expected) << heartbeat.toStdString();
}

TEST_F(CompanyClientsDialogTest, ElementsAndKeysOfAnotherKindAreSkippedOrReadAsMissing) {
    build(json::parse(R"([1, "x", null, [2],
        {"id": 123456789, "label": ["a"], "client_name": "Named", "is_online": "yes", "last_heartbeat": 17},
        {"id": "111222333", "is_online": true}])"));
    ASSERT_EQ(access->rowCount(), 2);
    EXPECT_EQ(access->texts(0), (QStringList{"", "", "Named", ""}));
    EXPECT_FALSE(access->online(0));
    EXPECT_TRUE(access->online(1));
    for (const json& notAList : {json{{"a", 1}}, json("x"), json(42)}) {
        build(notAList);
        EXPECT_EQ(access->rowCount(), 0);
    }
}

// The main window's part: which answers open the picker, and what a pick does.
class CompanyClientsWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string failure;
        ASSERT_TRUE(pipe.start(failure)) << failure;
        window = std::make_unique<MainWindow>(&pipe.client(), &settings);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    // Runs showCompanyClients; `act` gets each picker that opens meanwhile. Returns how many did.
    int show(const json& clients, const std::function<void(CompanyClientsDialog&)>& act) {
        int opened = 0;
        QTimer watcher;
        watcher.setInterval(10);
        QObject::connect(&watcher, &QTimer::timeout, [&] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<CompanyClientsDialog*>(widget);
                if (!dialog || !dialog->isVisible() || dialog->property("seen").toBool()) continue;
                dialog->setProperty("seen", true);
                ++opened;
                act(*dialog);
            }
        });
        watcher.start();
        window->showCompanyClients("Acme Support", clients);
        return opened;
    }

    QString partnerText() const { return window->findChild<QComboBox*>()->currentText(); }

    test::TempInstanceRoot root;
    test::LogCapture logs;
    test::RecordingPipeServer pipe;
    SettingsController settings;
    std::unique_ptr<MainWindow> window;
};

TEST_F(CompanyClientsWindowTest, OnlyANonEmptyListOpensThePicker) {
    const auto reject = [](CompanyClientsDialog& dialog) { dialog.reject(); };
    for (const json& nothing : {json(), json::array(), json::object(), json{{"a", 1}}, json("x")}) {
        SCOPED_TRACE(nothing.dump());
        EXPECT_EQ(show(nothing, reject), 0);
    }
    EXPECT_TRUE(logs.contains("are not a list"));
    EXPECT_EQ(show(json::parse(R"([1, "x", {"id": "123456789"}])"), reject), 1);
    EXPECT_TRUE(partnerText().isEmpty());
}

TEST_F(CompanyClientsWindowTest, ADoubleClickedRowFillsThePartnerBox) {
    const int opened = show(sampleClients(), [](CompanyClientsDialog& dialog) {
        CompanyClientsDialogTestAccess access(dialog);
        QTest::mouseDClick(access.row(0), Qt::LeftButton);
    });
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(partnerText(), "123 456 789");
}

}  // namespace
}  // namespace veltrix
