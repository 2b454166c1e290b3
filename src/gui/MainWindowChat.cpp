// The main window's chat: one dialog per connected session, the send step and the partner's lines.
#include <QAction>
#include <QIcon>
#include <QPainter>
#include <QPixmap>

#include <spdlog/spdlog.h>

#include "agent/ServiceIpcClient.h"
#include "gui/ChatDialog.h"
#include "gui/MainWindow.h"

namespace veltrix {

namespace {

// The unread mark after the Chat action's text: a blank and U+25CF.
const QString kUnreadMark = QStringLiteral(" \u25CF");
const QColor kUnreadBadgeColour(0xff, 0x52, 0x52);

// The chat icon with a red dot in its top right corner: the toolbar shows icons only, so the
// mark has to be in the picture.
QIcon withUnreadBadge(const QIcon& icon) {
    QIcon marked;
    for (const int side : {22, 44}) {
        QPixmap picture = icon.pixmap(side, side);
        if (picture.isNull()) picture = QPixmap(side, side);
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal diameter = side * 0.5;
        painter.setPen(QPen(QColor(0x0d, 0x1b, 0x2a), side / 22.0));
        painter.setBrush(kUnreadBadgeColour);
        painter.drawEllipse(QRectF(side - diameter - 0.5, 0.5, diameter, diameter));
        painter.end();
        marked.addPixmap(picture);
    }
    return marked;
}

}  // namespace

void MainWindow::connectChatSignals() {
    connect(chatAction_, &QAction::triggered, this, &MainWindow::onChatActionTriggered);
    // Connected once: the handler always works on the current session's dialog.
    connect(ipcClient_, &ServiceIpcClient::chatMessageReceived, this, &MainWindow::onChatMessageReceived);
}

void MainWindow::recreateChatDialog() {
    discardChatDialog();
    chatDialog_ = new ChatDialog(this);
    setChatUnread(false);
    connect(chatDialog_, &ChatDialog::messageSent, this, &MainWindow::onChatMessageSent);
}

void MainWindow::discardChatDialog() {
    if (!chatDialog_) return;
    // Later, not now: a modal box of the dialog's own slot may still be on the stack.
    chatDialog_->hide();
    chatDialog_->deleteLater();
    chatDialog_ = nullptr;
}

void MainWindow::onChatActionTriggered() {
    if (!chatDialog_) return;
    chatDialog_->show();
    chatDialog_->raise();
    chatDialog_->activateWindow();
    setChatUnread(false);
}

void MainWindow::setChatUnread(bool unread) {
    if (chatIcon_.isNull()) chatIcon_ = chatAction_->icon();
    chatAction_->setText(unread ? tr("Chat") + kUnreadMark : tr("Chat"));
    chatAction_->setIcon(unread ? withUnreadBadge(chatIcon_) : chatIcon_);
}

void MainWindow::onChatMessageSent(const QString& text) {
    spdlog::info("Chat: sending message '{}' ({} chars)", text.toStdString(), text.size());
    ipcClient_->sendChatMessage(text);
    if (chatDialog_) chatDialog_->appendMessage(ChatDialog::meLabel(), text, QDateTime::currentDateTime());
}

void MainWindow::onChatMessageReceived(const QString&, const QString& text, const QDateTime& timestamp) {
    if (!chatDialog_) return;
    // The partner's own name is not shown: every incoming line is the translated "Remote".
    chatDialog_->appendMessage(tr("Remote"), text, timestamp);
    if (chatDialog_->isVisible()) return;
    if (ipcClient_->sessionRole() == SessionRole::Target) {
        chatDialog_->show();
        chatDialog_->raise();
        chatDialog_->activateWindow();
    } else {
        setChatUnread(true);
    }
}

}  // namespace veltrix
