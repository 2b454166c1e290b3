// veltrix_window_shot <window id> <file.png>: saves a picture of one X window of the current
// display (the demo's and the tests' pictures of the client's windows).
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: veltrix_window_shot <window id> <file.png>\n", stderr);
        return 2;
    }
    QGuiApplication app(argc, argv);
    bool ok = false;
    const WId window = QString::fromLocal8Bit(argv[1]).toULongLong(&ok, 0);
    if (!ok) {
        std::fprintf(stderr, "veltrix_window_shot: not a window id: %s\n", argv[1]);
        return 2;
    }
    const QPixmap picture = QGuiApplication::primaryScreen()->grabWindow(window);
    if (picture.isNull() || !picture.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "veltrix_window_shot: cannot save %s\n", argv[2]);
        return 1;
    }
    return 0;
}
