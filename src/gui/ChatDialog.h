#pragma once

#include <QDateTime>
#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;
class QTextBrowser;

namespace veltrix {

// The small stay-on-top window in which the two ends of a session exchange text. It only shows and
// collects text: the main window sends what `messageSent` carries and feeds both its own and the
// partner's lines back through `appendMessage`. The dialog never adds a sent line by itself.
class ChatDialog : public QDialog {
    Q_OBJECT
public:
    // Longest message sent; longer input is cut (before a split surrogate pair) with a warning.
    static constexpr int kMaxMessageLength = 10000;

    explicit ChatDialog(QWidget* parent = nullptr);

    // The sender label of the user's own lines (the translated "Me"); any other label is the partner.
    static QString meLabel() { return tr("Me"); }

    // Appends one line: drawn as the user's own when `from` is the translated "Me", else as the
    // partner's. Sender and text are shown literally (HTML-escaped); the time as 24-hour "HH:mm".
    void appendMessage(const QString& from, const QString& text, const QDateTime& timestamp);

    QTextBrowser* history() const { return history_; }
    QLineEdit* input() const { return input_; }
    QPushButton* sendButton() const { return sendButton_; }

    // The first `maxLength` UTF-16 units of `text`, one fewer when the cut would split a pair.
    static QString truncatedWhole(const QString& text, int maxLength);

signals:
    void messageSent(QString text);

public slots:
    void onSendClicked();

private:
    QTextBrowser* history_ = nullptr;
    QLineEdit* input_ = nullptr;
    QPushButton* sendButton_ = nullptr;
};

}  // namespace veltrix
