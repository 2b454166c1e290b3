// The main window's chat: one dialog per connected session, the send step and the partner's lines.
#include <QAction>

#include <spdlog/spdlog.h>

#include "agent/ServiceIpcClient.h"
#include "gui/ChatDialog.h"
#include "gui/MainWindow.h"

namespace veltrix {

namespace {

// The unread mark after the Chat action's text: a blank and U+25CF.
const QString kUnreadMark = QStringLiteral(" \u25CF");

}  // namespace

void MainWindow::connectChatSignals() {
    connect(chatAction_, &QAction::triggered, this, &MainWindow::onChatActionTriggered);
    // Connected once: the handler always works on the current session's dialog.
    connect(ipcClient_, &ServiceIpcClient::chatMessageReceived, this, &MainWindow::onChatMessageReceived);
}

void MainWindow::recreateChatDialog() {
    discardChatDialog();
    chatDialog_ = new ChatDialog(this);
    chatAction_->setText(tr("Chat"));
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
    chatAction_->setText(tr("Chat"));
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
        chatAction_->setText(tr("Chat") + kUnreadMark);
    }
}

}  // namespace veltrix
