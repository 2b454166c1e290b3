#include "gui/ChatDialog.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace veltrix {

namespace {

constexpr const char* kHistoryStyle =
    "body { font-family: sans-serif; font-size: 13px; }"
    ".bubble { margin: 4px 0; }"
    ".me    { color: #4da6ff; font-weight: bold; }"
    ".remote{ color: #66bb6a; font-weight: bold; }"
    ".time  { color: #666; font-size: 10px; }"
    ".text  { color: #e0e0e0; }";

constexpr const char* kBubble =
    "<div class='bubble'><span class='%1'>%2</span> <span class='time'>%3</span><br/>"
    "<span class='text'>%4</span></div>";

}  // namespace

ChatDialog::ChatDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Chat"));
    setWindowFlags(Qt::Dialog | Qt::WindowStaysOnTopHint);
    resize(340, 460);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(6);

    history_ = new QTextBrowser(this);
    history_->setReadOnly(true);
    history_->setOpenLinks(false);
    history_->setOpenExternalLinks(false);
    history_->document()->setDefaultStyleSheet(QString::fromLatin1(kHistoryStyle));
    layout->addWidget(history_, 1);

    auto* row = new QHBoxLayout;
    input_ = new QLineEdit(this);
    input_->setPlaceholderText(tr("Type a message\u2026"));
    row->addWidget(input_, 1);
    sendButton_ = new QPushButton(tr("Send"), this);
    sendButton_->setAutoDefault(false);
    sendButton_->setDefault(false);
    row->addWidget(sendButton_);
    layout->addLayout(row);

    connect(input_, &QLineEdit::returnPressed, this, &ChatDialog::onSendClicked);
    connect(sendButton_, &QPushButton::clicked, this, &ChatDialog::onSendClicked);
}

QString ChatDialog::truncatedWhole(const QString& text, int maxLength) {
    if (text.size() <= maxLength) return text;
    int length = maxLength;
    // A high surrogate as the last kept unit would leave half a character behind.
    if (length > 0 && text.at(length - 1).isHighSurrogate() && text.at(length).isLowSurrogate()) --length;
    return text.left(length);
}

void ChatDialog::onSendClicked() {
    QString text = input_->text().trimmed();
    if (text.isEmpty()) return;
    if (text.size() > kMaxMessageLength) {
        text = truncatedWhole(text, kMaxMessageLength);
        QMessageBox::warning(this, tr("Chat"), tr("Message truncated to 10 000 characters."), QMessageBox::Ok);
    }
    input_->clear();
    emit messageSent(text);
}

void ChatDialog::appendMessage(const QString& from, const QString& text, const QDateTime& timestamp) {
    const QString style = from == meLabel() ? QStringLiteral("me") : QStringLiteral("remote");
    history_->append(QString::fromLatin1(kBubble)
                         .arg(style, from.toHtmlEscaped(), timestamp.toString(QStringLiteral("HH:mm")),
                              text.toHtmlEscaped()));
    QScrollBar* bar = history_->verticalScrollBar();
    bar->setValue(bar->maximum());
}

}  // namespace veltrix
