#pragma once

#include <QFile>
#include <QObject>
#include <QString>
#include <QUrl>

#include <chrono>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

namespace veltrix {

// Checks the download host's manifest for a newer release, downloads the installer it names and
// accepts the file only after the size, SHA-256 and publisher-signature checks. GUI thread only;
// every request goes to the download host over https with the instance's trusted CAs, and a
// redirect may not leave that host (scheme, host and port).
class UpdateService : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kMaxInstallerBytes = 157286400;  // 150 MiB
    static constexpr qint64 kMinInstallerBytes = 1024;
    static constexpr const char* kExpectedPublisher = "Brackwell Systems Ltd";
    static constexpr const char* kDownloadHostKey = "update/host";
    static constexpr const char* kDefaultDownloadHost = "download.veltrix.app";
    // A manifest or installer request fails after this long without a byte moving, so a host
    // that stops answering cannot leave a check or a download pending for good.
    static constexpr std::chrono::milliseconds kTransferTimeout{30000};

    explicit UpdateService(QObject* parent = nullptr);
    ~UpdateService() override;

    // "host" or "host:port" from "[update] host" in the instance file, else the built-in host.
    static QString downloadHost();
    QUrl manifestUrl() const { return manifestUrl_; }
    // The staged installer's path: userDataDir()/update/VeltrixSetup.exe.
    static QString stagedInstallerPath();

    // For tests: a shorter transfer time-out for the requests that follow.
    void setTransferTimeout(std::chrono::milliseconds timeout) { transferTimeout_ = timeout; }

    void checkForUpdates();
    void downloadUpdate(const QString& url);

    // True when dotted version `a` is newer than `b` (missing or non-numeric parts count as 0).
    static bool isNewerVersion(const QString& a, const QString& b);
    static bool verifyInstallerHash(const QString& path, const QString& expectedSha256);
    static bool verifyInstallerSignature(const QString& path);
    static QString signerDisplayName(const QString& path);

    QString latestVersion() const { return latestVersion_; }

signals:
    void updateAvailable(const QString& version, const QString& downloadUrl, const QString& releaseNotes);
    void downloadProgress(int percent);
    void readyToInstall(const QString& installerPath);
    void updateError(const QString& error);

private slots:
    void onManifestReply(QNetworkReply* reply);
    void onDownloadReply(QNetworkReply* reply);

private:
    bool isOnDownloadHost(const QUrl& url) const;
    QNetworkReply* get(const QUrl& url);
    void onDownloadProgress(QNetworkReply* reply, qint64 received, qint64 total);
    void failStaged(const QString& path, const QString& error);

    QNetworkAccessManager* network_;
    QString host_;
    QUrl hostUrl_;
    QUrl manifestUrl_;
    QString latestVersion_;
    QString releaseNotes_;
    QString downloadUrl_;
    QString sha256_;
    std::unique_ptr<QFile> stagedHandle_;
    std::chrono::milliseconds transferTimeout_ = kTransferTimeout;
};

}  // namespace veltrix
