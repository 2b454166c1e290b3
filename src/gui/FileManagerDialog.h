#pragma once

#include <QDialog>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include "agent/FileRequestLedger.h"
#include "shared/FileEntry.h"

class QFileSystemModel;
class QLabel;
class QProgressBar;
class QPushButton;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

namespace veltrix {

class FileTransferOwnership;
class ServiceIpcClient;

// The two-pane file manager of a viewing session: the partner's files on the left, listed on
// demand through the service, this computer's on the right. Files move one at a time: each
// transfer is one pipe command, and the next is sent only when the service reports the previous
// one complete or failed; a failed file is skipped and the batch goes on. Remote folders are
// downloaded by walking them listing by listing (at most 32 levels and 50000 entries), local
// folders are uploaded by creating every remote folder first and then sending the files.
//
// The service runs one transfer at a time for the whole client and does not say whose a progress,
// completion or error is. The dialog therefore starts a batch only after taking the window's
// transfer token, reacts to transfer signals only while it holds it, gives it back when the batch
// ends, and refuses with a status while anyone (itself included) runs a batch. Closing the window
// hides it; a running batch goes on in the background.
class FileManagerDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int kMaxWalkDepth = 32;
    static constexpr int kMaxWalkEntries = 50000;
    // What each remote item keeps in its first column.
    static constexpr int kIsFolderRole = Qt::UserRole;
    static constexpr int kNameRole = Qt::UserRole + 1;

    // Lists the partner's top view at once. Neither argument is owned; both must stay valid while
    // the dialog handles events. The token frees itself when the dialog is destroyed.
    FileManagerDialog(ServiceIpcClient* ipcClient, FileTransferOwnership* transferOwnership,
                      QWidget* parent = nullptr);

    // A file's size as the Size column shows it: "0 B", "1023 B", "1.0 KB", "1.0 MB", "1.00 GB".
    static QString sizeText(qint64 bytes);

    const QString& currentRemotePath() const { return currentRemotePath_; }
    // Whether a walk, a download batch or an upload batch of this dialog is under way.
    bool isTransferring() const;
    // Where downloads and pastes into the local pane go: the local view's current folder (the
    // current item itself, or its folder for a file), else the home folder.
    QString localDestination() const;

    QTreeWidget* remoteView() const { return remoteView_; }
    QTreeView* localView() const { return localView_; }
    QFileSystemModel* localModel() const { return localModel_; }
    QLabel* remotePathLabel() const { return remotePathLabel_; }
    QLabel* statusLabel() const { return statusLabel_; }
    QProgressBar* progressBar() const { return progressBar_; }
    QPushButton* backButton() const { return backButton_; }
    QPushButton* downloadButton() const { return downloadButton_; }
    QPushButton* uploadButton() const { return uploadButton_; }

public slots:
    void onRemoteDirectoryListed(QString path, QList<veltrix::FileEntry> entries);
    // The running transfer (the walk's listing, or the head of the download or upload queue)
    // failed: a failed file is skipped and the batch goes on; a failed listing ends the walk.
    void onRemoteItemDoubleClicked(QTreeWidgetItem* item, int column);
    void onRemoteBackClicked();
    void onDownloadClicked();
    void onUploadClicked();
    void onTransferError(QString error);
    void onDownloadComplete(QString localPath);
    void onUploadComplete();
    void onCopyFromRemotePane();
    void onCopyFromLocalPane();
    void onPasteToRemotePane();
    void onPasteToLocalPane();

private:
    using PathPair = QPair<QString, QString>;
    struct WalkFolder {
        QString remote;
        QString local;
        int depth = 0;
    };

    void setupUi();
    QWidget* buildRemotePane();
    QWidget* buildButtonColumn();
    QWidget* buildLocalPane();
    void connectSignals();
    void addShortcuts();

    void openRemoteFolder(const QString& path);
    // Lists the current folder again, keeping `status` (a batch's outcome) over its listing.
    void refreshRemoteFolder(const QString& status);
    void showListing(const QList<FileEntry>& entries);
    void setStatus(const QString& text);
    QStringList selectedLocalPaths() const;
    // Asks a Yes/No question; false for anything but Yes, and when the dialog went away meanwhile.
    bool confirm(const QString& title, const QString& text, bool yesByDefault);
    // True when none of `names` exists yet, or the user agrees to replace them (`question` holds
    // the names as %1); the answer defaults to No.
    bool confirmOverwrite(const QStringList& names, const QString& question);

    // The transfer token: whether this dialog may start a batch now (a status tells why not), taking
    // the token when it may, and giving it back.
    bool transferBlocked();
    bool beginBatch();
    void endBatch();
    bool holdsTransfer() const;
    void showBarAt(int percent);
    void hideBar(const QString& status);
    void onTransferProgress(int percent);
    // A file request failed: the running transfer's failure, or a listing's or a folder's, which
    // leaves the batch alone.
    void onRequestFailed(const FileRequest& request, const QString& error);
    bool isRunningDownload(const FileRequest& request) const;
    bool isRunningUpload(const FileRequest& request) const;

    // A batch's queue is set: count it, show the bar at 0 and send its first transfer.
    void startDownloadQueue();
    void startUploadQueue();
    void startNextDownload();
    void startNextUpload();
    void startUploads(const QStringList& localPaths);
    void downloadRemoteItems(const QString& destination);
    void takeNextWalkStep();
    void finishWalk();
    void onWalkListing(const QList<FileEntry>& entries);
    void failWalk(const QString& error);
    // "All ... complete." unless files of the batch were skipped: a skipped file is not a success.
    QString batchEndStatus(const QString& allDone, int total) const;

    ServiceIpcClient* ipcClient_;
    FileTransferOwnership* transferOwnership_;
    QTreeWidget* remoteView_ = nullptr;
    QLabel* remotePathLabel_ = nullptr;
    QString currentRemotePath_;
    QString listingStatus_;  // shown instead of "%1 items" when the pending listing arrives
    QFileSystemModel* localModel_ = nullptr;
    QTreeView* localView_ = nullptr;
    QList<PathPair> downloadQueue_;  // (remote, local); the head is the transfer in progress
    QList<PathPair> uploadQueue_;    // (local, remote); the head is the transfer in progress
    int downloadTotal_ = 0;
    int uploadTotal_ = 0;
    QStringList remoteClipboardPaths_;
    QList<bool> remoteClipboardIsFolder_;
    bool walking_ = false;
    QList<WalkFolder> walkQueue_;
    WalkFolder walkFolder_;
    QStringList foldersToCreate_;
    int walkTotal_ = 0;
    int skippedFiles_ = 0;  // files of the running batch that failed and were skipped
    QProgressBar* progressBar_ = nullptr;
    QLabel* statusLabel_ = nullptr;

    QPushButton* backButton_ = nullptr;
    QPushButton* downloadButton_ = nullptr;
    QPushButton* uploadButton_ = nullptr;
};

}  // namespace veltrix
