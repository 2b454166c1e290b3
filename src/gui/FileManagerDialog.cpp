// FileManagerDialog: layout, browsing the partner's folders, and copy and paste between the panes.
// The transfers themselves (queues, folder walk, errors) are in FileManagerDialogTransfers.cpp.
#include "gui/FileManagerDialog.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QShortcut>
#include <QSplitter>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "agent/ServiceIpcClient.h"
#include "gui/FileTransferOwnership.h"
#include "gui/RemotePaths.h"

namespace veltrix {

namespace {

bool isTopView(const QString& remotePath) { return remotePath.isEmpty() || remotePath == u"/"; }

QPushButton* iconButton(const QString& text, const char* icon, const QString& toolTip, QWidget* parent) {
    auto* button = new QPushButton(QIcon(QString::fromLatin1(icon)), text, parent);
    button->setToolTip(toolTip);
    button->setAutoDefault(false);
    return button;
}

}  // namespace

FileManagerDialog::FileManagerDialog(ServiceIpcClient* ipcClient, FileTransferOwnership* transferOwnership,
                                     QWidget* parent)
    : QDialog(parent), ipcClient_(ipcClient), transferOwnership_(transferOwnership) {
    setupUi();
    connectSignals();
    addShortcuts();
    openRemoteFolder(QString());
}

QString FileManagerDialog::sizeText(qint64 bytes) {
    constexpr qint64 kKiB = 1024;
    constexpr qint64 kMiB = kKiB * 1024;
    constexpr qint64 kGiB = kMiB * 1024;
    if (bytes < kKiB) return tr("%1 B").arg(bytes);
    if (bytes < kMiB) return tr("%1 KB").arg(double(bytes) / kKiB, 0, 'f', 1);
    if (bytes >= kGiB) return tr("%1 GB").arg(double(bytes) / kGiB, 0, 'f', 2);
    return tr("%1 MB").arg(double(bytes) / kMiB, 0, 'f', 1);
}

// --- layout -------------------------------------------------------------------------------------

void FileManagerDialog::setupUi() {
    setWindowTitle(tr("File Manager"));
    resize(1000, 600);
    auto* layout = new QVBoxLayout(this);

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->addWidget(buildRemotePane());
    splitter->addWidget(buildButtonColumn());
    splitter->addWidget(buildLocalPane());
    splitter->setSizes({400, 100, 400});
    layout->addWidget(splitter, 1);

    progressBar_ = new QProgressBar(this);
    progressBar_->setRange(0, 100);
    progressBar_->setTextVisible(true);
    progressBar_->hide();
    layout->addWidget(progressBar_);

    statusLabel_ = new QLabel(this);
    // Statuses carry the partner's file names and error texts: never read as markup.
    statusLabel_->setTextFormat(Qt::PlainText);
    statusLabel_->setStyleSheet(QStringLiteral("color: #666; font-size: 11px;"));
    layout->addWidget(statusLabel_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    layout->addWidget(buttons);
}

QWidget* FileManagerDialog::buildRemotePane() {
    auto* pane = new QWidget(this);
    auto* layout = new QVBoxLayout(pane);
    layout->setContentsMargins(0, 0, 0, 0);

    auto* row = new QHBoxLayout;
    backButton_ = iconButton(QString(), ":/icons/arrow_back", tr("Go up one directory"), pane);
    row->addWidget(backButton_);
    remotePathLabel_ = new QLabel(tr("<b>Remote Computer</b>"), pane);
    remotePathLabel_->setTextFormat(Qt::RichText);
    row->addWidget(remotePathLabel_, 1);
    layout->addLayout(row);

    remoteView_ = new QTreeWidget(pane);
    remoteView_->setHeaderLabels({tr("Name"), tr("Size"), tr("Type")});
    remoteView_->setColumnWidth(0, 250);
    remoteView_->setColumnWidth(1, 80);
    remoteView_->setSortingEnabled(true);
    remoteView_->sortByColumn(0, Qt::AscendingOrder);
    remoteView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    remoteView_->setRootIsDecorated(false);
    layout->addWidget(remoteView_, 1);
    return pane;
}

QWidget* FileManagerDialog::buildButtonColumn() {
    auto* column = new QWidget(this);
    auto* layout = new QVBoxLayout(column);
    layout->addStretch();
    downloadButton_ = iconButton(tr("Download"), ":/icons/download", tr("Download selected remote file to local"), column);
    layout->addWidget(downloadButton_);
    uploadButton_ = iconButton(tr("Upload"), ":/icons/upload", tr("Upload selected local file to remote"), column);
    layout->addWidget(uploadButton_);
    layout->addStretch();
    return column;
}

QWidget* FileManagerDialog::buildLocalPane() {
    auto* pane = new QWidget(this);
    auto* layout = new QVBoxLayout(pane);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* heading = new QLabel(tr("<b>Local Computer</b>"), pane);
    heading->setTextFormat(Qt::RichText);
    layout->addWidget(heading);

    localModel_ = new QFileSystemModel(this);
    // No QDir::Hidden and no QDir::System: hidden and system entries are not shown.
    localModel_->setFilter(QDir::AllDirs | QDir::Files | QDir::Drives | QDir::NoDotAndDotDot);
    localModel_->setRootPath(QString());
    localView_ = new QTreeView(pane);
    localView_->setModel(localModel_);
    localView_->setColumnWidth(0, 250);
    localView_->header()->setStretchLastSection(true);
    localView_->setSortingEnabled(true);
    localView_->sortByColumn(0, Qt::AscendingOrder);
    localView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    layout->addWidget(localView_, 1);
    return pane;
}

void FileManagerDialog::connectSignals() {
    connect(ipcClient_, &ServiceIpcClient::fileDirectoryListed, this, &FileManagerDialog::onRemoteDirectoryListed);
    connect(ipcClient_, &ServiceIpcClient::fileRequestFailed, this, &FileManagerDialog::onRequestFailed);
    connect(ipcClient_, &ServiceIpcClient::fileDownloadComplete, this, &FileManagerDialog::onDownloadComplete);
    connect(ipcClient_, &ServiceIpcClient::fileUploadSent, this, [this](const FileRequest& request) {
        if (isRunningUpload(request)) onUploadComplete();
    });
    connect(ipcClient_, &ServiceIpcClient::fileDownloadProgress, this,
            [this](const QString&, int percent) { onTransferProgress(percent); });
    connect(ipcClient_, &ServiceIpcClient::fileUploadProgress, this,
            [this](const QString&, int percent) { onTransferProgress(percent); });

    connect(remoteView_, &QTreeWidget::itemDoubleClicked, this, &FileManagerDialog::onRemoteItemDoubleClicked);
    connect(backButton_, &QPushButton::clicked, this, &FileManagerDialog::onRemoteBackClicked);
    connect(downloadButton_, &QPushButton::clicked, this, &FileManagerDialog::onDownloadClicked);
    connect(uploadButton_, &QPushButton::clicked, this, &FileManagerDialog::onUploadClicked);
}

void FileManagerDialog::addShortcuts() {
    const auto shortcut = [this](QWidget* view, QKeySequence::StandardKey key, void (FileManagerDialog::*slot)()) {
        auto* s = new QShortcut(QKeySequence(key), view);
        s->setContext(Qt::WidgetWithChildrenShortcut);
        connect(s, &QShortcut::activated, this, slot);
    };
    shortcut(remoteView_, QKeySequence::Copy, &FileManagerDialog::onCopyFromRemotePane);
    shortcut(remoteView_, QKeySequence::Paste, &FileManagerDialog::onPasteToRemotePane);
    shortcut(localView_, QKeySequence::Copy, &FileManagerDialog::onCopyFromLocalPane);
    shortcut(localView_, QKeySequence::Paste, &FileManagerDialog::onPasteToLocalPane);
}

void FileManagerDialog::setStatus(const QString& text) { statusLabel_->setText(text); }

bool FileManagerDialog::confirm(const QString& title, const QString& text, bool yesByDefault) {
    // The question runs a nested event loop, in which the window may replace (delete) this dialog
    // when a new session connects; the box is its child and goes with it.
    const QPointer<FileManagerDialog> self(this);
    const QPointer<QMessageBox> box =
        new QMessageBox(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, this);
    box->setTextFormat(Qt::PlainText);  // it may list the partner's file names
    box->setDefaultButton(yesByDefault ? QMessageBox::Yes : QMessageBox::No);
    const int answer = box->exec();
    if (!self) return false;
    delete box.data();
    return answer == QMessageBox::Yes;
}

bool FileManagerDialog::confirmOverwrite(const QStringList& names, const QString& question) {
    return names.isEmpty() || confirm(tr("Overwrite?"), question.arg(names.join(u'\n')), false);
}

// --- the remote pane ----------------------------------------------------------------------------

void FileManagerDialog::openRemoteFolder(const QString& path) {
    listingStatus_.clear();
    currentRemotePath_ = path;
    remotePathLabel_->setText(tr("<b>Remote: </b>%1").arg(path.isEmpty() ? QStringLiteral("/") : path.toHtmlEscaped()));
    remoteView_->clear();
    setStatus(tr("Loading remote directory..."));
    ipcClient_->listRemoteDirectory(path);
}

void FileManagerDialog::refreshRemoteFolder(const QString& status) {
    openRemoteFolder(currentRemotePath_);
    setStatus(status);
    listingStatus_ = status;
}

void FileManagerDialog::onRemoteDirectoryListed(QString path, QList<FileEntry> entries) {
    // The walk's own folder is the walk's; any other listing may still be the view's.
    if (walking_ && path == walkFolder_.remote) return onWalkListing(entries);
    if (path != currentRemotePath_) return;  // the user has moved on since asking
    showListing(entries);
}

void FileManagerDialog::showListing(const QList<FileEntry>& entries) {
    remoteView_->clear();
    remoteView_->setSortingEnabled(false);  // sorted once at the end, not per item
    const QIcon folderIcon(QStringLiteral(":/icons/folder"));
    const QIcon fileIcon(QStringLiteral(":/icons/file"));
    QList<QTreeWidgetItem*> items;
    items.reserve(entries.size());
    for (const FileEntry& entry : entries) {
        auto* item = new QTreeWidgetItem(
            {entry.name, entry.isDir ? QString() : sizeText(entry.size), entry.isDir ? tr("Folder") : tr("File")});
        item->setIcon(0, entry.isDir ? folderIcon : fileIcon);
        item->setData(0, kIsFolderRole, entry.isDir);
        item->setData(0, kNameRole, entry.name);
        items.append(item);
    }
    remoteView_->addTopLevelItems(items);
    remoteView_->setSortingEnabled(true);
    const QString count = entries.size() == 1 ? tr("1 item") : tr("%1 items").arg(entries.size());
    setStatus(listingStatus_.isEmpty() ? count : listingStatus_);
    listingStatus_.clear();
}

void FileManagerDialog::onRemoteItemDoubleClicked(QTreeWidgetItem* item, int) {
    if (!item || !item->data(0, kIsFolderRole).toBool()) return;
    openRemoteFolder(remote_paths::join(currentRemotePath_, item->data(0, kNameRole).toString()));
}

void FileManagerDialog::onRemoteBackClicked() {
    if (currentRemotePath_.isEmpty()) return;
    openRemoteFolder(remote_paths::parent(currentRemotePath_));
}

// --- the local pane -----------------------------------------------------------------------------

QString FileManagerDialog::localDestination() const {
    const QModelIndex current = localView_->currentIndex();
    if (!current.isValid()) return QDir::homePath();
    const QFileInfo info = localModel_->fileInfo(current);
    return info.isDir() ? info.absoluteFilePath() : info.absolutePath();
}

QStringList FileManagerDialog::selectedLocalPaths() const {
    QStringList paths;
    for (const QModelIndex& row : localView_->selectionModel()->selectedRows(0)) {
        const QString path = localModel_->filePath(row);
        if (!paths.contains(path)) paths << path;
    }
    return paths;
}

// --- copy and paste between the panes -----------------------------------------------------------

void FileManagerDialog::onCopyFromLocalPane() {
    const QStringList paths = selectedLocalPaths();
    if (paths.isEmpty()) return setStatus(tr("Nothing selected to copy."));
    QList<QUrl> urls;
    for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
    auto* data = new QMimeData;
    data->setUrls(urls);
    QGuiApplication::clipboard()->setMimeData(data);
    setStatus(tr("Copied %1 local item(s). Paste in remote pane to upload, or paste anywhere on the system.")
                  .arg(paths.size()));
}

void FileManagerDialog::onCopyFromRemotePane() {
    const QList<QTreeWidgetItem*> selected = remoteView_->selectedItems();
    if (selected.isEmpty()) return setStatus(tr("Nothing selected to copy."));
    remoteClipboardPaths_.clear();
    remoteClipboardIsFolder_.clear();
    for (const QTreeWidgetItem* item : selected) {
        remoteClipboardPaths_ << remote_paths::join(currentRemotePath_, item->data(0, kNameRole).toString());
        remoteClipboardIsFolder_ << item->data(0, kIsFolderRole).toBool();
    }
    setStatus(tr("Copied %1 remote item(s). Paste in local pane to download.").arg(selected.size()));
}

void FileManagerDialog::onPasteToRemotePane() {
    if (isTopView(currentRemotePath_))
        return setStatus(tr("Open a remote folder first \u2014 the drives view isn't a paste destination."));
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (!data || !data->hasUrls()) return setStatus(tr("Nothing on the clipboard to paste."));
    QStringList paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
    if (paths.isEmpty()) return setStatus(tr("Clipboard items are not local files."));
    if (transferBlocked()) return;
    if (!confirm(tr("Copy to remote?"),
                 tr("Copy %1 item(s) to the remote folder?\n\nExisting files with the same name will be overwritten.")
                     .arg(paths.size()),
                 true))
        return;
    startUploads(paths);
}

void FileManagerDialog::onPasteToLocalPane() {
    if (remoteClipboardPaths_.isEmpty())
        return setStatus(tr("Nothing on the remote clipboard. Use Ctrl+C in the remote pane first."));
    if (transferBlocked()) return;
    const QString destination = localDestination();
    if (!confirm(tr("Copy from remote?"),
                 tr("Copy %1 remote item(s) to '%2'?\n\nExisting files with the same name will be overwritten.")
                     .arg(QString::number(remoteClipboardPaths_.size()), destination),
                 true))
        return;
    downloadRemoteItems(destination);
}

}  // namespace veltrix
