// MainWindow: pasting local files into the partner's desktop. Ctrl+V in the viewer with files on
// the clipboard uploads them one by one into a fresh staging folder on the partner, asks the
// partner's side to put them on its clipboard and then presses Ctrl+V there. The other half, for
// the shared desktop, puts the files the partner staged here on this device's clipboard.
#include <QClipboard>
#include <QDateTime>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QSet>
#include <QTimer>
#include <QUuid>

#include <spdlog/spdlog.h>

#include "agent/ServiceIpcClient.h"
#include "core/TransferPath.h"
#include "gui/MainWindow.h"
#include "gui/PlainMessageBox.h"
#include "gui/RemoteDesktopWidget.h"
#include "gui/StagedClipboardFiles.h"
#include "shared/InputEvent.h"

namespace veltrix {
namespace {

constexpr const char* kPasteNotice = "#f1c40f";
constexpr const char* kPasteProgress = "#3498db";
constexpr const char* kPasteDone = "#27ae60";
// The partner's side needs a moment to put the files on its clipboard; nothing acknowledges it.
constexpr int kKeystrokeDelayMs = 200;
constexpr std::uint32_t kVkControl = 0x11;
constexpr std::uint32_t kVkV = 0x56;

std::string utf8(const QString& text) { return text.toStdString(); }

bool isPasteKey(const QKeyEvent& key) {
    return key.key() == Qt::Key_V && key.modifiers().testFlag(Qt::ControlModifier);
}

// The local files among the clipboard's URLs, in clipboard order.
QList<QUrl> localFileUrls(const QMimeData* mime) {
    QList<QUrl> urls;
    if (mime == nullptr || !mime->hasUrls()) return urls;
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile()) urls.append(url);
    return urls;
}

}  // namespace

void MainWindow::connectPasteSignals() {
    viewer_->installEventFilter(this);
    // Only the run's own requests count: its staging folder and the uploads into it. A listing
    // the file manager asked for meanwhile, refused or not, is not the run's.
    connect(ipcClient_, &ServiceIpcClient::fileUploadSent, this, [this](const FileRequest& request) {
        if (isPasteRequest(request)) onPasteUploadComplete();
    });
    connect(ipcClient_, &ServiceIpcClient::fileRequestFailed, this,
            [this](const FileRequest& request, const QString& error) {
                if (isPasteRequest(request)) onPasteFileError(error);
            });
    connect(ipcClient_, &ServiceIpcClient::remoteClipboardFiles, this, &MainWindow::onRemoteClipboardFiles);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched != viewer_ || event->type() != QEvent::KeyPress || !isPasteKey(*static_cast<QKeyEvent*>(event)) ||
        ipcClient_->sessionRole() != SessionRole::Master) {
        return QMainWindow::eventFilter(watched, event);
    }
    if (pasteInProgress_) {
        showStatus(tr("Paste already in progress — please wait..."), kPasteNotice);
        return true;
    }
    const QList<QUrl> files = localFileUrls(QGuiApplication::clipboard()->mimeData());
    // No files: the viewer sends Ctrl+V as keys, which pastes the partner's own clipboard.
    if (files.isEmpty()) return QMainWindow::eventFilter(watched, event);
    beginPasteFiles(files);
    return true;
}

void MainWindow::beginPasteFiles(const QList<QUrl>& urls) {
    if (pasteInProgress_) return;
    QStringList files;
    QSet<QString> names;
    int skippedFolders = 0;
    for (const QUrl& url : urls) {
        const QFileInfo info(url.toLocalFile());
        if (info.isDir()) {
            ++skippedFolders;
        } else if (info.isFile()) {
            // All files land in one staging folder: a second file of a name already taken would
            // overwrite the first there, and the partner would get one of them without a word.
            if (names.contains(info.fileName())) {
                spdlog::warn("Paste: skipped '{}': a file of that name is already in this paste",
                             info.absoluteFilePath().toStdString());
                continue;
            }
            names.insert(info.fileName());
            files.append(info.absoluteFilePath());
        }
    }
    if (files.isEmpty()) {
        showStatus(skippedFolders == 0 ? tr("Nothing to paste.")
                                       : tr("Folder paste isn't supported yet — copy files instead."),
                   kPasteNotice);
        return;
    }
    // The service runs one transfer at a time and does not say whose its reports are: while the
    // file manager's batch runs, a paste would start an upload over it and count its completions.
    if (!m_fileTransferOwnership.tryAcquire(this)) {
        spdlog::info("Paste: refused while another file transfer is running");
        showStatus(tr("A file transfer is running — paste again when it has finished."), kPasteNotice);
        return;
    }

    pasteStagingFolder_ = QString::fromLatin1(transferpath::kWirePasteFolder) + u'/' +
                          QUuid::createUuid().toString(QUuid::WithoutBraces);
    pasteInProgress_ = true;
    pasteFiles_ = files;
    pasteRemainingUploads_ = static_cast<int>(files.size());
    pasteNextIndex_ = 0;
    showStatus(tr("Uploading %1 file(s) for paste...").arg(files.size()), kPasteProgress);
    ipcClient_->createRemoteDirectory(pasteStagingFolder_);
    uploadNextPasteFile();
    if (skippedFolders > 0) spdlog::info("Paste: skipped {} folder(s) (v1 = files only)", skippedFolders);
}

// One upload at a time: the next starts when the service confirms the one before.
void MainWindow::uploadNextPasteFile() {
    if (!pasteInProgress_ || pasteNextIndex_ >= pasteFiles_.size()) return;
    const QString& localPath = pasteFiles_.at(pasteNextIndex_++);
    ipcClient_->uploadFile(localPath, pasteStagingFolder_ + u'/' + QFileInfo(localPath).fileName());
}

void MainWindow::onPasteUploadComplete() {
    if (!pasteInProgress_ || pasteRemainingUploads_ <= 0 || !m_fileTransferOwnership.isHeldBy(this)) return;
    const int remainingBefore = pasteRemainingUploads_;
    pasteRemainingUploads_ = remainingBefore - 1;
    const int total = static_cast<int>(pasteFiles_.size());
    showStatus(tr("Uploading for paste: %1 of %2 done").arg(total - remainingBefore + 1).arg(total), kPasteProgress);
    if (pasteRemainingUploads_ > 0)
        uploadNextPasteFile();
    else
        onPasteAllUploadsComplete();
}

void MainWindow::onPasteAllUploadsComplete() {
    if (!pasteInProgress_) return;
    showStatus(tr("Setting remote clipboard..."), kPasteProgress);
    ipcClient_->setRemoteClipboardFiles(pasteFiles_, pasteStagingFolder_);
    // Bound to this run by its staging folder: a run that failed and was followed by a new one
    // within the pause must not press Ctrl+V in the middle of the new run's uploads.
    QTimer::singleShot(kKeystrokeDelayMs, this, [this, run = pasteStagingFolder_] {
        if (!pasteInProgress_ || pasteStagingFolder_ != run) return;
        const qsizetype count = pasteFiles_.size();
        injectPasteKeystrokeOnRemote();
        showStatus(tr("Pasted %1 file(s) into remote desktop").arg(count), kPasteDone);
        clearPasteState();
    });
}

void MainWindow::injectPasteKeystrokeOnRemote() {
    const auto send = [this](std::uint8_t type, std::uint32_t virtualKey) {
        InputEvent key;
        key.type = type;
        key.timestamp_ms = QDateTime::currentMSecsSinceEpoch();
        key.vk_code = virtualKey;
        ipcClient_->sendInputEvent(key);
    };
    send(InputEvent::KeyDown, kVkControl);
    send(InputEvent::KeyDown, kVkV);
    send(InputEvent::KeyUp, kVkV);
    send(InputEvent::KeyUp, kVkControl);
    spdlog::info("Injected synthetic Ctrl+V into remote session");
}

bool MainWindow::isPasteRequest(const FileRequest& request) const {
    if (!pasteInProgress_ || pasteStagingFolder_.isEmpty()) return false;
    switch (request.kind) {
    case FileRequest::Kind::CreateFolder: return request.remotePath == pasteStagingFolder_;
    case FileRequest::Kind::Upload: return request.remotePath.startsWith(pasteStagingFolder_ + u'/');
    default: return false;
    }
}

void MainWindow::onPasteFileError(const QString& error) {
    if (!pasteInProgress_ || !m_fileTransferOwnership.isHeldBy(this)) return;
    spdlog::warn("Paste: failed: {}", utf8(error));
    clearPasteState();
    // The box waits for the user; shown from the event loop, not from inside the pipe's poll.
    QTimer::singleShot(0, this, [this, error] {
        warnInPlainText(this, tr("Paste failed"), tr("Could not transfer files for paste: %1").arg(error));
    });
}

void MainWindow::clearPasteState() {
    pasteInProgress_ = false;
    pasteRemainingUploads_ = 0;
    pasteNextIndex_ = 0;
    pasteFiles_.clear();
    pasteStagingFolder_.clear();
    m_fileTransferOwnership.release(this);
}

// --- the shared desktop ------------------------------------------------------------------------

void MainWindow::onRemoteClipboardFiles(QString stagingRoot, QStringList fileNames) {
    if (stagingRoot.isEmpty() || fileNames.isEmpty()) return;
    // The partner chose the root and the names; only files inside a folder of the paste staging
    // folder may reach the clipboard that its Ctrl+V is about to paste.
    const QString localRoot = staged_files::localStagingRoot(stagingRoot);
    if (localRoot.isEmpty()) {
        spdlog::warn("onRemoteClipboardFiles: refused staging dir '{}' (not a folder inside the paste staging folder)",
                     utf8(stagingRoot));
        return;
    }
    const QList<QUrl> urls = staged_files::stagedFileUrls(localRoot, fileNames);
    if (urls.isEmpty()) {
        spdlog::warn("onRemoteClipboardFiles: no files found in staging dir '{}'", utf8(stagingRoot));
        return;
    }
    auto* mime = new QMimeData;
    mime->setUrls(urls);
    QGuiApplication::clipboard()->setMimeData(mime);  // takes ownership
    spdlog::info("Set local clipboard CF_HDROP with {} staged file(s) from '{}'", urls.size(), utf8(stagingRoot));
}

}  // namespace veltrix
