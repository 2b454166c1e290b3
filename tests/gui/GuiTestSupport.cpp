#include "GuiTestSupport.h"

#include <QApplication>
#include <QProcess>
#include <QRegularExpression>

#include <fstream>
#include <sstream>

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
        boxes_.push_back({box->windowTitle(), box->text()});
        box->done(QMessageBox::Ok);
    }
}

QStringList visibleWindows(const QString& title) {
    QProcess search;
    search.start("xdotool", {"search", "--onlyvisible", "--name", "^" + QRegularExpression::escape(title) + "$"});
    search.waitForFinished(5000);
    return QString::fromUtf8(search.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

std::string readTextFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
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
