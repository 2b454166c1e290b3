// The account dialog: the checks before its two signals, untrimmed texts, Return in the password
// lines, and that it never closes itself.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>

#include <vector>

#include "GuiTestSupport.h"
#include "gui/ConnectionDialog.h"

namespace veltrix {

class ConnectionDialogTestAccess {
public:
    explicit ConnectionDialogTestAccess(ConnectionDialog& dialog) : d(dialog) {}
    QLineEdit* server() const { return d.serverEdit_; }
    QTabWidget* tabs() const { return d.tabs_; }
    QLineEdit* loginUser() const { return d.loginUserEdit_; }
    QLineEdit* loginPassword() const { return d.loginPasswordEdit_; }
    QPushButton* loginButton() const { return d.loginButton_; }
    QLineEdit* registerUser() const { return d.registerUserEdit_; }
    QLineEdit* registerPassword() const { return d.registerPasswordEdit_; }
    QLineEdit* registerClientName() const { return d.registerClientNameEdit_; }
    QPushButton* registerButton() const { return d.registerButton_; }

private:
    ConnectionDialog& d;
};

namespace {

class ConnectionDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    }

    ConnectionDialog dialog;
    ConnectionDialogTestAccess access{dialog};
    test::MessageBoxCatcher boxes;
    QSignalSpy logins{&dialog, &ConnectionDialog::loginRequested};
    QSignalSpy registrations{&dialog, &ConnectionDialog::registerRequested};
};

TEST_F(ConnectionDialogTest, TheLayoutHasItsTextsAndThePasswordsAreHidden) {
    EXPECT_EQ(dialog.windowTitle(), "Veltrix - Connect");
    EXPECT_GE(dialog.minimumWidth(), 350);
    EXPECT_TRUE(access.server()->placeholderText().startsWith("http://"));
    EXPECT_TRUE(access.server()->placeholderText().endsWith(":8080"));
    ASSERT_EQ(access.tabs()->count(), 2);
    EXPECT_EQ(access.tabs()->tabText(0), "Login");
    EXPECT_EQ(access.tabs()->tabText(1), "Register");
    EXPECT_EQ(access.registerPassword()->placeholderText(), "Password (min 7 chars)");
    EXPECT_EQ(access.registerClientName()->placeholderText(), "My PC");
    EXPECT_EQ(access.loginPassword()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(access.registerPassword()->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(test::saveArtefact(dialog, "gui_tests", "connection-dialog").isEmpty());
}

TEST_F(ConnectionDialogTest, LoginNeedsBothFieldsAndKeepsThemAsTyped) {
    struct Case {
        QString user;
        QString password;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"", "secret", false}, {"alice", "", false}, {"   ", "secret", true}, {" alice ", " pw ", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user.toStdString() + "/" + c.password.toStdString());
        boxes.clear();
        logins.clear();
        access.loginUser()->setText(c.user);
        access.loginPassword()->setText(c.password);
        QTest::mouseClick(access.loginButton(), Qt::LeftButton);
        if (c.accepted) {
            ASSERT_EQ(logins.count(), 1);
            EXPECT_EQ(logins[0][0].toString(), c.user);
            EXPECT_EQ(logins[0][1].toString(), c.password);
            EXPECT_TRUE(boxes.boxes().empty());
        } else {
            EXPECT_EQ(logins.count(), 0);
            ASSERT_EQ(boxes.boxes().size(), 1u);
            EXPECT_EQ(boxes.boxes()[0].title, "Error");
            EXPECT_EQ(boxes.boxes()[0].text, "Please fill in all fields.");
        }
    }
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(registrations.count(), 0);
}

TEST_F(ConnectionDialogTest, RegisterNeedsSevenCharacters) {
    struct Case {
        QString user;
        QString password;
        QString warning;  // empty: accepted
    };
    const std::vector<Case> cases = {
        {"", "seven77", "Please fill in username and password."},
        {"bob", "", "Please fill in username and password."},
        {"bob", "six666", "Password must be at least 7 characters."},
        {"bob", "seven77", ""},
    };
    access.tabs()->setCurrentIndex(1);
    access.registerClientName()->setText("");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.password.toStdString());
        boxes.clear();
        registrations.clear();
        access.registerUser()->setText(c.user);
        access.registerPassword()->setText(c.password);
        QTest::mouseClick(access.registerButton(), Qt::LeftButton);
        if (c.warning.isEmpty()) {
            ASSERT_EQ(registrations.count(), 1);
            EXPECT_EQ(registrations[0][0].toString(), "bob");
            EXPECT_EQ(registrations[0][1].toString(), "seven77");
            EXPECT_EQ(registrations[0][2].toString(), "");  // the client name may be empty
        } else {
            EXPECT_EQ(registrations.count(), 0);
            ASSERT_EQ(boxes.boxes().size(), 1u);
            EXPECT_EQ(boxes.boxes()[0].title, "Error");
            EXPECT_EQ(boxes.boxes()[0].text, c.warning);
        }
    }
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(logins.count(), 0);
}

TEST_F(ConnectionDialogTest, ReturnInAPasswordLineClicksItsButton) {
    access.loginUser()->setText("alice");
    access.loginPassword()->setText("pw");
    access.loginPassword()->setFocus();
    QTest::keyClick(access.loginPassword(), Qt::Key_Return);
    EXPECT_EQ(logins.count(), 1);

    access.tabs()->setCurrentIndex(1);
    access.registerUser()->setText("bob");
    access.registerPassword()->setText("seven77");
    access.registerClientName()->setText("Desk PC");
    access.registerPassword()->setFocus();
    QTest::keyClick(access.registerPassword(), Qt::Key_Return);
    ASSERT_EQ(registrations.count(), 1);
    EXPECT_EQ(registrations[0][2].toString(), "Desk PC");
    EXPECT_EQ(logins.count(), 1);
    EXPECT_TRUE(dialog.isVisible());
}

}  // namespace
}  // namespace veltrix
