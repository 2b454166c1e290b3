// FileManagerDialog: the transfers. One command is outstanding at a time: a batch is a queue whose
// head is the running transfer, and each completion or error sends the next one. Remote folders
// are walked listing by listing before their files are downloaded.
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QProgressBar>
#include <QSet>
#include <QTreeWidget>

#include <spdlog/spdlog.h>

#include "agent/ServiceIpcClient.h"
#include "gui/FileManagerDialog.h"
#include "gui/FileTransferOwnership.h"
#include "gui/LocalUploadPlan.h"
#include "gui/RemotePaths.h"

namespace veltrix {

namespace {

QString localJoin(const QString& folder, const QString& name) { return QDir(folder).filePath(name); }

QString localFileName(const QString& path) { return QFileInfo(path).fileName(); }

// A name from the partner that would not stay one component of a local path is never used.
bool isUsableRemoteName(const QString& name, const QString& where) {
    if (remote_paths::isPlainName(name)) return true;
    spdlog::warn("FileManagerDialog: skipping the partner's entry '{}' in '{}': not a plain name", name.toStdString(),
                 where.toStdString());
    return false;
}

}  // namespace

// --- the transfer token -------------------------------------------------------------------------

bool FileManagerDialog::isTransferring() const {
    return walking_ || !downloadQueue_.isEmpty() || !uploadQueue_.isEmpty();
}

bool FileManagerDialog::holdsTransfer() const { return transferOwnership_->isHeldBy(this); }

bool FileManagerDialog::transferBlocked() {
    if (!isTransferring() && (!transferOwnership_->isHeld() || holdsTransfer())) return false;
    setStatus(tr("Another file transfer is in progress \u2014 please wait until it finishes."));
    return true;
}

bool FileManagerDialog::beginBatch() {
    // Checked again: the paste flow may have started while a question was open.
    if (transferBlocked() || !transferOwnership_->tryAcquire(this)) return false;
    skippedFiles_ = 0;
    return true;
}

void FileManagerDialog::endBatch() { transferOwnership_->release(this); }

void FileManagerDialog::showBarAt(int percent) {
    progressBar_->setRange(0, 100);
    progressBar_->setValue(percent);
    progressBar_->show();
}

void FileManagerDialog::hideBar(const QString& status) {
    progressBar_->setRange(0, 100);
    progressBar_->hide();
    setStatus(status);
}

void FileManagerDialog::onTransferProgress(int percent) {
    if (!holdsTransfer() || walking_) return;
    progressBar_->setValue(percent);
}

// --- downloads ----------------------------------------------------------------------------------

void FileManagerDialog::onDownloadClicked() {
    const QList<QTreeWidgetItem*> selected = remoteView_->selectedItems();
    if (selected.isEmpty()) return setStatus(tr("Select one or more remote files to download."));
    const QString destination = localDestination();
    QList<PathPair> pairs;
    QStringList existing;
    for (const QTreeWidgetItem* item : selected) {
        if (item->data(0, kIsFolderRole).toBool()) continue;
        const QString name = item->data(0, kNameRole).toString();
        if (!isUsableRemoteName(name, currentRemotePath_)) continue;
        const QString local = localJoin(destination, name);
        pairs.append({remote_paths::join(currentRemotePath_, name), local});
        if (QFileInfo::exists(local)) existing << name;
    }
    if (pairs.isEmpty()) return setStatus(tr("No files selected (folders are skipped)."));
    if (transferBlocked()) return;
    const QPointer<FileManagerDialog> self(this);
    if (!confirmOverwrite(existing, tr("These files already exist locally and will be overwritten:\n%1\n\nContinue?"))) {
        // The status must not go on telling of an earlier batch as if this one had run.
        if (self) setStatus(tr("Download cancelled \u2014 nothing was overwritten."));
        return;
    }
    if (!beginBatch()) return;
    downloadQueue_ = pairs;
    startDownloadQueue();
}

void FileManagerDialog::startDownloadQueue() {
    downloadTotal_ = int(downloadQueue_.size());
    showBarAt(0);
    startNextDownload();
}

void FileManagerDialog::startNextDownload() {
    const auto& [remote, local] = downloadQueue_.first();
    setStatus(tr("Copying %1 of %2: %3")
                  .arg(downloadTotal_ - downloadQueue_.size() + 1)
                  .arg(downloadTotal_)
                  .arg(localFileName(local)));
    ipcClient_->downloadFile(remote, local);
}

bool FileManagerDialog::isRunningDownload(const FileRequest& request) const {
    return holdsTransfer() && !walking_ && !downloadQueue_.isEmpty() && request.kind == FileRequest::Kind::Download &&
           request.remotePath == downloadQueue_.first().first && request.localPath == downloadQueue_.first().second;
}

bool FileManagerDialog::isRunningUpload(const FileRequest& request) const {
    return holdsTransfer() && !uploadQueue_.isEmpty() && request.kind == FileRequest::Kind::Upload &&
           request.localPath == uploadQueue_.first().first && request.remotePath == uploadQueue_.first().second;
}

void FileManagerDialog::onDownloadComplete(QString localPath) {
    if (!holdsTransfer() || downloadQueue_.isEmpty()) return;
    downloadQueue_.removeFirst();
    if (downloadQueue_.isEmpty()) {
        endBatch();
        return hideBar(batchEndStatus(tr("All downloads complete."), downloadTotal_));
    }
    setStatus(tr("Downloaded: %1 \u2014 %2 remaining")
                  .arg(localFileName(localPath), QString::number(downloadQueue_.size())));
    startNextDownload();
}

// --- uploads ------------------------------------------------------------------------------------

void FileManagerDialog::onUploadClicked() {
    QStringList files;
    for (const QString& path : selectedLocalPaths())
        if (QFileInfo(path).isFile()) files << path;
    if (files.isEmpty()) return setStatus(tr("Select one or more local files to upload."));

    QSet<QString> remoteFiles;
    for (int i = 0; i < remoteView_->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = remoteView_->topLevelItem(i);
        if (!item->data(0, kIsFolderRole).toBool()) remoteFiles.insert(item->data(0, kNameRole).toString());
    }
    QList<PathPair> pairs;
    QStringList existing;
    for (const QString& file : files) {
        const QString name = localFileName(file);
        pairs.append({file, remote_paths::join(currentRemotePath_, name)});
        if (remoteFiles.contains(name)) existing << name;
    }
    if (transferBlocked()) return;
    const QPointer<FileManagerDialog> self(this);
    if (!confirmOverwrite(existing,
                          tr("These files already exist on the remote and will be overwritten:\n%1\n\nContinue?"))) {
        if (self) setStatus(tr("Upload cancelled \u2014 nothing was overwritten."));
        return;
    }
    if (!beginBatch()) return;
    uploadQueue_ = pairs;
    startUploadQueue();
}

void FileManagerDialog::startUploadQueue() {
    uploadTotal_ = int(uploadQueue_.size());
    showBarAt(0);
    startNextUpload();
}

void FileManagerDialog::startUploads(const QStringList& localPaths) {
    if (!beginBatch()) return;
    const LocalUploadPlan plan = LocalUploadPlan::build(localPaths, currentRemotePath_);
    // Every folder exists on the partner before the first file is sent into it.
    for (const QString& folder : plan.remoteFolders) ipcClient_->createRemoteDirectory(folder);
    uploadQueue_ = plan.uploads;
    if (uploadQueue_.isEmpty()) {
        endBatch();
        return setStatus(tr("Nothing to upload."));
    }
    startUploadQueue();
}

void FileManagerDialog::startNextUpload() {
    const auto& [local, remote] = uploadQueue_.first();
    setStatus(tr("Copying %1 of %2: %3")
                  .arg(uploadTotal_ - uploadQueue_.size() + 1)
                  .arg(uploadTotal_)
                  .arg(localFileName(local)));
    ipcClient_->uploadFile(local, remote);
}

void FileManagerDialog::onUploadComplete() {
    if (!holdsTransfer() || uploadQueue_.isEmpty()) return;
    uploadQueue_.removeFirst();
    if (!uploadQueue_.isEmpty()) return startNextUpload();
    endBatch();
    progressBar_->hide();
    refreshRemoteFolder(batchEndStatus(tr("All uploads complete."), uploadTotal_));
}

// --- the folder walk ----------------------------------------------------------------------------

void FileManagerDialog::downloadRemoteItems(const QString& destination) {
    if (!beginBatch()) return;
    downloadQueue_.clear();
    walkQueue_.clear();
    foldersToCreate_.clear();
    for (int i = 0; i < remoteClipboardPaths_.size(); ++i) {
        const QString& remote = remoteClipboardPaths_.at(i);
        const QString fileName = remote_paths::fileName(remote);
        const QString name = fileName.isEmpty() ? remote : fileName;
        if (!isUsableRemoteName(name, remote)) continue;
        const QString local = localJoin(destination, name);
        if (remoteClipboardIsFolder_.at(i)) {
            foldersToCreate_ << local;
            walkQueue_.append({remote, local, 0});
        } else {
            downloadQueue_.append({remote, local});
        }
    }
    if (!walkQueue_.isEmpty()) {
        walking_ = true;
        walkTotal_ = int(walkQueue_.size());
        progressBar_->setRange(0, 0);  // busy: the number of files is not known yet
        progressBar_->show();
        setStatus(tr("Enumerating remote folder..."));
        return takeNextWalkStep();
    }
    if (downloadQueue_.isEmpty()) {
        endBatch();
        return setStatus(tr("Nothing to download."));
    }
    startDownloadQueue();
}

void FileManagerDialog::takeNextWalkStep() {
    if (walkQueue_.isEmpty()) return finishWalk();
    walkFolder_ = walkQueue_.takeFirst();
    setStatus(tr("Enumerating remote folder %1 of %2...").arg(walkTotal_ - walkQueue_.size()).arg(walkTotal_));
    ipcClient_->listRemoteDirectory(walkFolder_.remote);
}

void FileManagerDialog::onWalkListing(const QList<FileEntry>& entries) {
    const int depth = walkFolder_.depth + 1;
    if (depth > kMaxWalkDepth || walkQueue_.size() + downloadQueue_.size() > kMaxWalkEntries) {
        walkQueue_.clear();
        spdlog::warn("FileManagerDialog: folder walk capped at '{}' (depth {}, {} files queued)",
                     walkFolder_.remote.toStdString(), depth, downloadQueue_.size());
        setStatus(tr("Enumeration capped \u2014 copying %1 files found so far. (Possible folder cycle or oversized "
                     "tree.)")
                      .arg(downloadQueue_.size()));
        return takeNextWalkStep();
    }
    for (const FileEntry& entry : entries) {
        if (!isUsableRemoteName(entry.name, walkFolder_.remote)) continue;
        const QString remote = remote_paths::join(walkFolder_.remote, entry.name);
        const QString local = localJoin(walkFolder_.local, entry.name);
        if (entry.isDir) {
            foldersToCreate_ << local;
            ++walkTotal_;
            walkQueue_.append({remote, local, depth});
        } else {
            downloadQueue_.append({remote, local});
        }
    }
    takeNextWalkStep();
}

void FileManagerDialog::finishWalk() {
    walking_ = false;
    walkFolder_ = {};
    progressBar_->setRange(0, 100);
    for (const QString& folder : foldersToCreate_)
        if (!QDir().mkpath(folder)) spdlog::warn("FileManagerDialog: cannot create local folder '{}'", folder.toStdString());
    foldersToCreate_.clear();
    if (!downloadQueue_.isEmpty()) return startDownloadQueue();
    endBatch();
    hideBar(tr("Folder copied (no files)."));
}

void FileManagerDialog::failWalk(const QString& error) {
    walking_ = false;
    walkFolder_ = {};
    walkQueue_.clear();
    foldersToCreate_.clear();
    downloadQueue_.clear();
    endBatch();
    hideBar(tr("Error during enumeration: %1").arg(error));
}

// --- errors -------------------------------------------------------------------------------------

void FileManagerDialog::onRequestFailed(const FileRequest& request, const QString& error) {
    using Kind = FileRequest::Kind;
    const bool walkListing = walking_ && holdsTransfer() && request.kind == Kind::Listing &&
                             request.remotePath == walkFolder_.remote;
    if (walkListing || isRunningDownload(request) || isRunningUpload(request)) return onTransferError(error);
    // Anything else leaves a running batch alone: only the status tells of it, and only when it
    // concerns what the dialog shows (the open folder's listing, a folder of its own upload) or
    // nothing runs at all.
    const bool shown = (request.kind == Kind::Listing && request.remotePath == currentRemotePath_) ||
                       (request.kind == Kind::CreateFolder && holdsTransfer()) ||
                       (request.kind == Kind::None && !transferOwnership_->isHeld());
    if (shown) setStatus(tr("Error: %1").arg(error));
}

void FileManagerDialog::onTransferError(QString error) {
    if (!holdsTransfer()) return;
    if (walking_) return failWalk(error);
    const bool downloading = !downloadQueue_.isEmpty();
    QList<PathPair>& queue = downloading ? downloadQueue_ : uploadQueue_;
    if (!queue.isEmpty()) {
        const QString failed = localFileName(downloading ? queue.first().second : queue.first().first);
        queue.removeFirst();
        if (!queue.isEmpty()) {
            ++skippedFiles_;
            downloading ? startNextDownload() : startNextUpload();
            // Shown over the next file's "Copying" line, so that the skip is not lost at once.
            return setStatus(tr("Skipped %1 (%2). Continuing with %3 remaining.")
                                 .arg(failed, error, QString::number(queue.size())));
        }
    }
    endBatch();
    hideBar(tr("Error: %1").arg(error));
}

QString FileManagerDialog::batchEndStatus(const QString& allDone, int total) const {
    if (skippedFiles_ == 0) return allDone;
    return tr("Finished with %1 of %2 file(s) skipped.").arg(skippedFiles_).arg(total);
}

}  // namespace veltrix
