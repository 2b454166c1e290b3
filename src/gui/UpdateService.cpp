#include "gui/UpdateService.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringList>

#include <spdlog/spdlog.h>

#include "gui/ClientVersion.h"
#include "platform/CodeSigning.h"
#include "platform/InstanceConfig.h"
#include "platform/InstancePaths.h"
#include "platform/PrivateFiles.h"
#include "platform/TrustedCertificates.h"

namespace veltrix {
namespace {

std::string s(const QString& text) { return text.toStdString(); }

// Reads one manifest key: missing is empty, another type is a parse error.
bool readStringKey(const QJsonObject& object, const char* key, QString& out, QString& error) {
    const auto value = object.value(QLatin1String(key));
    if (value.isUndefined()) {
        out.clear();
        return true;
    }
    if (!value.isString()) {
        error = QStringLiteral("key \"%1\" is not a string").arg(QLatin1String(key));
        return false;
    }
    out = value.toString();
    return true;
}

}  // namespace

UpdateService::UpdateService(QObject* parent)
    : QObject(parent),
      network_(new QNetworkAccessManager(this)),
      host_(downloadHost()),
      hostUrl_(QStringLiteral("https://") + host_),
      manifestUrl_(QStringLiteral("https://") + host_ + QStringLiteral("/download/VeltrixSetup.json")) {}

UpdateService::~UpdateService() = default;  // closes the staged-installer handle

QString UpdateService::downloadHost() {
    const auto configured = platform::config::value(kDownloadHostKey);
    if (configured && !configured->empty()) return QString::fromStdString(*configured).trimmed();
    return QString::fromLatin1(kDefaultDownloadHost);
}

QString UpdateService::stagedInstallerPath() {
    return QString::fromStdString((platform::paths::userDataDir() / "update" / "VeltrixSetup.exe").string());
}

QNetworkReply* UpdateService::get(const QUrl& url) {
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    // Qt follows redirects to any https host by default, which would step around the host check.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    request.setSslConfiguration(platform::tls::clientConfiguration());
    request.setTransferTimeout(static_cast<int>(transferTimeout_.count()));
    return network_->get(request);
}

void UpdateService::checkForUpdates() {
    spdlog::info("Checking for updates at {}", s(manifestUrl_.toString()));
    QNetworkReply* reply = get(manifestUrl_);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onManifestReply(reply); });
}

void UpdateService::onManifestReply(QNetworkReply* reply) {
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        spdlog::warn("Update check failed: {}", s(reply->errorString()));
        return;
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(reply->readAll(), &parseError);
    QString error;
    QString version, url, notes, sha256;
    if (parseError.error != QJsonParseError::NoError) {
        error = parseError.errorString();
    } else if (!document.isObject()) {
        error = QStringLiteral("manifest is not a JSON object");
    } else {
        const QJsonObject object = document.object();
        if (readStringKey(object, "version", version, error) && readStringKey(object, "download_url", url, error) &&
            readStringKey(object, "release_notes", notes, error) && readStringKey(object, "sha256", sha256, error)) {
            error.clear();
        }
    }
    if (!error.isEmpty()) {
        spdlog::warn("Update manifest parse error: {}", s(error));
        return;
    }
    latestVersion_ = version;
    downloadUrl_ = url;
    releaseNotes_ = notes;
    sha256_ = sha256;
    const QString current = QCoreApplication::applicationVersion().isEmpty()
                                ? QString::fromLatin1(kClientVersion)
                                : QCoreApplication::applicationVersion();
    spdlog::info("Update check: current={}, latest={}", s(current), s(latestVersion_));
    if (!latestVersion_.isEmpty() && isNewerVersion(latestVersion_, current)) {
        spdlog::info("Update available: v{}", s(latestVersion_));
        emit updateAvailable(latestVersion_, downloadUrl_, releaseNotes_);
    }
}

bool UpdateService::isNewerVersion(const QString& a, const QString& b) {
    const QStringList left = a.split(QLatin1Char('.'));
    const QStringList right = b.split(QLatin1Char('.'));
    const qsizetype length = std::max(left.size(), right.size());
    for (qsizetype i = 0; i < length; ++i) {
        const int l = i < left.size() ? left[i].toInt() : 0;  // toInt gives 0 for a non-number
        const int r = i < right.size() ? right[i].toInt() : 0;
        if (l != r) return l > r;
    }
    return false;
}

bool UpdateService::isOnDownloadHost(const QUrl& url) const {
    return url.isValid() && url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 &&
           url.host().compare(hostUrl_.host(), Qt::CaseInsensitive) == 0 && url.port(443) == hostUrl_.port(443);
}

void UpdateService::downloadUpdate(const QString& url) {
    const QUrl target(url, QUrl::StrictMode);
    if (!isOnDownloadHost(target)) {
        spdlog::error("Refusing update download from disallowed URL '{}' (requires https://{})", s(url), s(host_));
        emit updateError(tr("Update rejected: untrusted download location"));
        return;
    }
    spdlog::info("Downloading update from {}", s(url));
    QNetworkReply* reply = get(target);
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, reply](qint64 received, qint64 total) { onDownloadProgress(reply, received, total); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onDownloadReply(reply); });
}

void UpdateService::onDownloadProgress(QNetworkReply* reply, qint64 received, qint64 total) {
    if (received > kMaxInstallerBytes || total > kMaxInstallerBytes) {
        spdlog::error("Update download exceeds {} byte cap (received={}, total={}); aborting", kMaxInstallerBytes,
                      received, total);
        reply->abort();
        return;
    }
    if (total > 0) emit downloadProgress(static_cast<int>(received * 100 / total));
}

void UpdateService::failStaged(const QString& path, const QString& error) {
    stagedHandle_.reset();
    QFile::remove(path);
    emit updateError(error);
}

void UpdateService::onDownloadReply(QNetworkReply* reply) {
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        spdlog::error("Update download failed: {}", s(reply->errorString()));
        emit updateError(reply->errorString());
        return;
    }
    const QByteArray body = reply->readAll();
    if (body.size() > kMaxInstallerBytes) {
        spdlog::error("Update payload {} bytes exceeds {} byte cap — aborting", body.size(), kMaxInstallerBytes);
        emit updateError(tr("Downloaded file is too large — update aborted."));
        return;
    }
    if (body.size() < kMinInstallerBytes) {
        emit updateError(tr("Downloaded file is too small — update aborted."));
        return;
    }
    // The held handle of an earlier download is released first so the new file can replace it.
    stagedHandle_.reset();
    const QString path = stagedInstallerPath();
    const std::filesystem::path stagedPath = path.toStdString();
    std::string failure;
    if (!platform::privatefiles::ensurePrivateFolder(stagedPath.parent_path(), failure) ||
        !platform::privatefiles::writeNewFile(stagedPath, body.constData(), static_cast<std::size_t>(body.size()),
                                              failure)) {
        spdlog::error("Cannot stage update at {}: {}", s(path), failure);
        emit updateError(tr("Cannot write to temp directory."));
        return;
    }
    spdlog::info("Update downloaded to {}", s(path));
    auto handle = std::make_unique<QFile>(path);
    if (!handle->open(QIODevice::ReadOnly)) {
        spdlog::error("Cannot lock staged installer '{}' (err {})", s(path), s(handle->errorString()));
        failStaged(path, tr("Update aborted: cannot secure the downloaded file."));
        return;
    }
    stagedHandle_ = std::move(handle);
    if (!verifyInstallerHash(path, sha256_)) {
        failStaged(path, tr("Update aborted: integrity check failed."));
        return;
    }
    if (!verifyInstallerSignature(path)) {
        failStaged(path, tr("Update aborted: signature verification failed."));
        return;
    }
    if (!platform::privatefiles::makeExecutable(stagedPath, failure)) {
        spdlog::error("Cannot mark staged installer '{}' executable: {}", s(path), failure);
        failStaged(path, tr("Update aborted: cannot secure the downloaded file."));
        return;
    }
    spdlog::info("Installer verified at {}", s(path));
    emit readyToInstall(path);
}

bool UpdateService::verifyInstallerHash(const QString& path, const QString& expectedSha256) {
    if (expectedSha256.isEmpty()) {
        spdlog::warn("No SHA-256 hash in manifest — skipping integrity check");
        return true;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        spdlog::error("Cannot open '{}' for hash verification", s(path));
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file) || file.error() != QFileDevice::NoError) {
        spdlog::error("Failed to read '{}' for hashing", s(path));
        return false;
    }
    const QString actual = QString::fromLatin1(hash.result().toHex());
    if (actual != expectedSha256.toLower()) {
        spdlog::error("SHA-256 mismatch for '{}': expected={}, actual={}", s(path), s(expectedSha256), s(actual));
        return false;
    }
    spdlog::info("SHA-256 verified for '{}'", s(path));
    return true;
}

bool UpdateService::verifyInstallerSignature(const QString& path) {
    const auto verification = platform::codesign::verifyFile(path.toStdString());
    if (!verification.trusted) {
        spdlog::error("Signature verification failed for '{}': 0x{:08x} ({})", s(path), verification.status,
                      verification.reason);
        return false;
    }
    const QString signer = signerDisplayName(path);
    if (signer != QLatin1String(kExpectedPublisher)) {
        spdlog::error("Publisher mismatch for '{}': got '{}', expected '{}'", s(path), s(signer), kExpectedPublisher);
        return false;
    }
    return true;
}

QString UpdateService::signerDisplayName(const QString& path) {
    return QString::fromStdString(platform::codesign::signerName(path.toStdString()));
}

}  // namespace veltrix
