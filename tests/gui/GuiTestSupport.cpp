#include "GuiTestSupport.h"

#include <QApplication>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSystemTrayIcon>

#include <chrono>

#include "support/WaitUntil.h"

namespace veltrix::test {

MessageBoxCatcher::MessageBoxCatcher() {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] { closeOpenBoxes(); });
    timer_.start();
}

MessageBoxCatcher::~MessageBoxCatcher() { timer_.stop(); }

void MessageBoxCatcher::closeOpenBoxes() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box || !box->isVisible()) continue;
        boxes_.push_back({box->windowTitle(), box->text(), box->standardButton(box->defaultButton()), box->textFormat()});
        box->done(answer_);
    }
}

TrayHost::TrayHost() {
    using namespace std::chrono_literals;
    if (QStandardPaths::findExecutable("icewm").isEmpty()) return;
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start("icewm", {});
    running_ = process_.waitForStarted(3000) &&
               waitUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5s);
}

TrayHost::~TrayHost() {
    using namespace std::chrono_literals;
    process_.terminate();
    if (!process_.waitForFinished(3000)) process_.kill();
    process_.waitForFinished(3000);
    waitUntil([] { return !QSystemTrayIcon::isSystemTrayAvailable(); }, 3s);
}

QStringList visibleWindows(const QString& title) {
    QProcess search;
    search.start("xdotool", {"search", "--onlyvisible", "--name", "^" + QRegularExpression::escape(title) + "$"});
    search.waitForFinished(5000);
    return QString::fromUtf8(search.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

QString saveArtefact(const QPixmap& pixmap, const QString& suite, const QString& name) {
    const QString folder = QStringLiteral(VELTRIX_TEST_BUILD_DIR "/artefacts/") + suite;
    QDir().mkpath(folder);
    const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
    return pixmap.save(path, "PNG") ? path : QString();
}

QString saveArtefact(QWidget& widget, const QString& suite, const QString& name) {
    return saveArtefact(widget.grab(), suite, name);
}

}  // namespace veltrix::test
