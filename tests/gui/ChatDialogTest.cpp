// The chat dialog on its own: what a send emits (trim, cut with a warning, whole characters kept)
// and how history lines are drawn (literal text, the sender's style, 24-hour time).
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextBrowser>

#include "GuiTestSupport.h"
#include "gui/ChatDialog.h"

namespace veltrix {
namespace {

class ChatDialogTest : public ::testing::Test {
protected:
    ChatDialog dialog;
    QSignalSpy sent{&dialog, &ChatDialog::messageSent};
    test::MessageBoxCatcher boxes;

    QString sendTyped(const QString& text) {
        dialog.input()->setText(text);
        dialog.onSendClicked();
        return sent.isEmpty() ? QString() : sent.takeFirst().at(0).toString();
    }
};

TEST_F(ChatDialogTest, LayoutTitleAndButtons) {
    EXPECT_EQ(dialog.windowTitle(), "Chat");
    EXPECT_TRUE(dialog.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(dialog.size(), QSize(340, 460));
    EXPECT_TRUE(dialog.history()->isReadOnly());
    EXPECT_FALSE(dialog.history()->openLinks());
    EXPECT_EQ(dialog.input()->placeholderText(), QString::fromUtf8("Type a message…"));
    EXPECT_EQ(dialog.sendButton()->text(), "Send");
    EXPECT_FALSE(dialog.sendButton()->isDefault());
    EXPECT_FALSE(dialog.sendButton()->autoDefault());
}

TEST_F(ChatDialogTest, BlankInputSendsNothingAndKeepsTheLine) {
    dialog.input()->setText("   ");
    dialog.onSendClicked();
    EXPECT_TRUE(sent.isEmpty());
    EXPECT_EQ(dialog.input()->text(), "   ");
}

TEST_F(ChatDialogTest, SendTrimsClearsAndEmitsOnReturnAndClick) {
    dialog.input()->setText("  hello there ");
    QTest::keyClick(dialog.input(), Qt::Key_Return);
    ASSERT_EQ(sent.size(), 1);
    EXPECT_EQ(sent.takeFirst().at(0).toString(), "hello there");
    EXPECT_TRUE(dialog.input()->text().isEmpty());

    dialog.input()->setText("again");
    dialog.sendButton()->click();
    ASSERT_EQ(sent.size(), 1);
    EXPECT_EQ(sent.takeFirst().at(0).toString(), "again");
    EXPECT_TRUE(boxes.boxes().empty());
    // The dialog leaves the history to the window.
    EXPECT_TRUE(dialog.history()->toPlainText().isEmpty());
}

TEST_F(ChatDialogTest, OverlongMessageIsCutWithAWarning) {
    const QString exact(ChatDialog::kMaxMessageLength, 'a');
    EXPECT_EQ(sendTyped(exact), exact);
    EXPECT_TRUE(boxes.boxes().empty());

    const QString text = QString(10000, 'x') + "y";
    EXPECT_EQ(sendTyped(text), QString(10000, 'x'));
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].title, "Chat");
    EXPECT_EQ(boxes.boxes()[0].text, "Message truncated to 10 000 characters.");
    EXPECT_TRUE(dialog.input()->text().isEmpty());
}

TEST_F(ChatDialogTest, CutNeverSplitsASurrogatePair) {
    const QString smile = QString::fromUtf8("\xF0\x9F\x98\x80");  // two UTF-16 units
    const QString text = QString(9999, 'x') + smile + "tail";
    const QString message = sendTyped(text);
    EXPECT_EQ(message, QString(9999, 'x'));
    EXPECT_FALSE(message.back().isHighSurrogate());

    const QString whole = QString(9998, 'x') + smile + "tail";
    EXPECT_EQ(sendTyped(whole), QString(9998, 'x') + smile);
}

TEST_F(ChatDialogTest, LinesAreLiteralStyledBySenderAndTimed) {
    const QDateTime evening(QDate(2026, 3, 4), QTime(21, 7, 59));
    dialog.appendMessage(ChatDialog::meLabel(), "<b>bold</b> & <a href='x'>link</a>", evening);
    dialog.appendMessage("Remote", "hi", QDateTime(QDate(2026, 3, 4), QTime(9, 5)));

    EXPECT_EQ(dialog.history()->toPlainText(),
              "Me 21:07\n<b>bold</b> & <a href='x'>link</a>\nRemote 09:05\nhi");
    const QString html = dialog.history()->toHtml();
    // The two senders carry their own colours from the document's style sheet.
    EXPECT_TRUE(html.contains("#4da6ff")) << html.toStdString();
    EXPECT_TRUE(html.contains("#66bb6a")) << html.toStdString();
    EXPECT_FALSE(html.contains("<a ")) << html.toStdString();

    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    test::saveArtefact(dialog, "gui_tests", "chat-dialog");
}

}  // namespace
}  // namespace veltrix
