#pragma once

#include <QDir>
#include <QMessageBox>
#include <QPixmap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TextFile.h"

namespace veltrix::test {

// Catches the URLs that QDesktopServices would open in the browser (set it as the scheme's
// handler with the slot "open").
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

// Records and closes every message box that opens while it lives, so slots that show modal
// boxes can run inside a test. Boxes are answered with OK unless the test chooses another button
// (for a Yes/No question, OK counts as neither).
class MessageBoxCatcher {
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        Qt::TextFormat format = Qt::AutoText;  // how the box draws its text
    };

    MessageBoxCatcher();
    ~MessageBoxCatcher();

    const std::vector<Box>& boxes() const { return boxes_; }
    void clear() { boxes_.clear(); }
    void answerWith(QMessageBox::StandardButton button) { answer_ = button; }

private:
    void closeOpenBoxes();
    QTimer timer_;
    std::vector<Box> boxes_;
    QMessageBox::StandardButton answer_ = QMessageBox::Ok;
};

// A window manager with a tray (icewm) on the current display while it lives; `running` is false
// when icewm is not installed or no tray appeared.
class TrayHost {
public:
    TrayHost();
    ~TrayHost();
    bool running() const { return running_; }

private:
    QProcess process_;
    bool running_ = false;
};

// The ids of the mapped windows of the current display whose title is exactly `title`.
QStringList visibleWindows(const QString& title);

// Saves a picture of the widget as build/artefacts/<suite>/<name>.png; the path, empty on failure.
QString saveArtefact(QWidget& widget, const QString& suite, const QString& name);
QString saveArtefact(const QPixmap& pixmap, const QString& suite, const QString& name);

}  // namespace veltrix::test
