#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

namespace veltrix::test {

// Stands in for the browser: registered with QDesktopServices::setUrlHandler, it records every
// URL the client opens.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

}  // namespace veltrix::test
