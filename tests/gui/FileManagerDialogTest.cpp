// The file manager against a test server on the real pipe: what it lists and how it moves between
// the partner's folders, the one-at-a-time download and upload batches with their questions and
// statuses, copy and paste between the panes, the remote folder walk with its caps, errors that skip
// a file or stay in the status, and the transfer token it shares with the paste flow.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileSystemModel>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

#include <algorithm>
#include <string>
#include <vector>

#include "GuiTestSupport.h"
#include "RecordingPipeServer.h"
#include "gui/FileManagerDialog.h"
#include "gui/FileTransferOwnership.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {

struct Entry {
    const char* name;
    bool isDir = false;
    qint64 size = 0;
};

const QString kBusy = QString::fromUtf8("Another file transfer is in progress — please wait until it finishes.");

class FileManagerDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string failure;
        ASSERT_TRUE(pipe.start(failure)) << failure;
        ASSERT_TRUE(local.isValid());
        dialog = std::make_unique<FileManagerDialog>(&pipe.client(), &ownership);
        opening = pipe.sent();
    }

    void listed(const QString& path, const std::vector<Entry>& entries) {
        nlohmann::json list = nlohmann::json::array();
        for (const Entry& e : entries) list.push_back({{"name", e.name}, {"is_dir", e.isDir}, {"size", e.size}});
        ASSERT_TRUE(pipe.deliver({{"type", "FILE_DIR_LISTED"}, {"path", path.toStdString()}, {"entries", list}}));
    }
    void fileError(const std::string& text) { ASSERT_TRUE(pipe.deliver({{"type", "FILE_ERROR"}, {"error", text}})); }
    void downloadComplete(const QString& localPath) {
        ASSERT_TRUE(pipe.deliver({{"type", "FILE_DOWNLOAD_COMPLETE"}, {"local_path", localPath.toStdString()}}));
    }
    void uploadComplete() { ASSERT_TRUE(pipe.deliver({{"type", "FILE_UPLOAD_COMPLETE"}})); }

    // The messages of one type sent since the last call (the others are dropped).
    std::vector<IpcMessage> sentOfType(const std::string& type) {
        std::vector<IpcMessage> matching;
        for (auto& message : pipe.sent())
            if (message.value("type", "") == type) matching.push_back(message);
        return matching;
    }
    std::vector<std::string> listedPaths() {
        std::vector<std::string> paths;
        for (const auto& message : sentOfType("FILE_LIST_DIR")) paths.push_back(message.value("path", "?"));
        return paths;
    }

    QTreeWidgetItem* remoteItem(const QString& name) const {
        const auto found = dialog->remoteView()->findItems(name, Qt::MatchExactly, 0);
        return found.isEmpty() ? nullptr : found.first();
    }
    void openRemote(const QString& name) {
        QTreeWidgetItem* item = remoteItem(name);
        ASSERT_NE(item, nullptr) << name.toStdString();
        dialog->onRemoteItemDoubleClicked(item, 0);
    }
    // Opens `path` below the top view one double-click at a time ("/home/u": home, then u).
    void browseTo(const QString& path) {
        QString current;
        for (const QString& name : path.split('/', Qt::SkipEmptyParts)) {
            listed(current, {{name.toUtf8().constData(), true}});
            openRemote(name);
            current += '/' + name;
        }
        ASSERT_EQ(dialog->currentRemotePath(), path);
        pipe.sent();
    }
    void selectRemote(const QStringList& names) {
        dialog->remoteView()->clearSelection();
        for (const QString& name : names) {
            QTreeWidgetItem* item = remoteItem(name);
            ASSERT_NE(item, nullptr) << name.toStdString();
            item->setSelected(true);
        }
    }
    void selectLocal(const QStringList& paths) {
        QItemSelectionModel* selection = dialog->localView()->selectionModel();
        selection->clearSelection();
        for (const QString& path : paths)
            selection->select(dialog->localModel()->index(path), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    void setLocalFolder(const QString& path) {
        dialog->localView()->setCurrentIndex(dialog->localModel()->index(path));
        ASSERT_EQ(dialog->localDestination(), path);
    }
    QString makeFile(const QString& relative, const QByteArray& content = "data") {
        const QString path = local.filePath(relative);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return path;
    }
    // Ctrl+C on the remote item `name`, then Ctrl+V into the temporary folder, answering Yes.
    void copyRemoteFolderToLocal(const QString& name) {
        selectRemote({name});
        dialog->onCopyFromRemotePane();
        setLocalFolder(local.path());
        boxes.answerWith(QMessageBox::Yes);
        dialog->onPasteToLocalPane();
    }
    void putUrlsOnClipboard(const QStringList& paths) {
        QList<QUrl> urls;
        for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
        auto* data = new QMimeData;
        data->setUrls(urls);
        QGuiApplication::clipboard()->setMimeData(data);
    }

    QString status() const { return dialog->statusLabel()->text(); }
    bool barShown() const { return !dialog->progressBar()->isHidden(); }

    test::TempInstanceRoot root;
    test::LogCapture logs;
    test::RecordingPipeServer pipe;
    FileTransferOwnership ownership;
    QObject pasteFlow;  // the window's other transfer owner
    QTemporaryDir local;
    test::MessageBoxCatcher boxes;
    std::unique_ptr<FileManagerDialog> dialog;
    std::vector<IpcMessage> opening;
};

TEST_F(FileManagerDialogTest, OpensOnThePartnersTopViewWithItsLayout) {
    ASSERT_EQ(opening.size(), 1u);
    EXPECT_EQ(opening[0].value("type", ""), "FILE_LIST_DIR");
    EXPECT_EQ(opening[0].value("path", "?"), "");
    EXPECT_EQ(dialog->remotePathLabel()->text(), "<b>Remote: </b>/");
    EXPECT_EQ(status(), "Loading remote directory...");

    EXPECT_EQ(dialog->windowTitle(), "File Manager");
    EXPECT_EQ(dialog->size(), QSize(1000, 600));
    QTreeWidget* remote = dialog->remoteView();
    EXPECT_EQ(remote->headerItem()->text(0), "Name");
    EXPECT_EQ(remote->headerItem()->text(1), "Size");
    EXPECT_EQ(remote->headerItem()->text(2), "Type");
    EXPECT_EQ(remote->columnWidth(0), 250);
    EXPECT_EQ(remote->columnWidth(1), 80);
    EXPECT_EQ(remote->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(dialog->localView()->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(dialog->backButton()->toolTip(), "Go up one directory");
    EXPECT_EQ(dialog->downloadButton()->text(), "Download");
    EXPECT_EQ(dialog->downloadButton()->toolTip(), "Download selected remote file to local");
    EXPECT_EQ(dialog->uploadButton()->text(), "Upload");
    EXPECT_EQ(dialog->uploadButton()->toolTip(), "Upload selected local file to remote");
    EXPECT_TRUE(dialog->progressBar()->isHidden());
    EXPECT_EQ(dialog->statusLabel()->styleSheet(), "color: #666; font-size: 11px;");
    EXPECT_EQ(dialog->statusLabel()->textFormat(), Qt::PlainText) << "the partner's names are not markup";

    listed("", {{"home", true}, {"vmlinuz", false, 1536}, {"etc", true}});
    ASSERT_EQ(remote->topLevelItemCount(), 3);
    // Sorted by name; folders show no size.
    EXPECT_EQ(remote->topLevelItem(0)->text(0), "etc");
    EXPECT_EQ(remote->topLevelItem(0)->text(2), "Folder");
    EXPECT_EQ(remoteItem("vmlinuz")->text(1), "1.5 KB");
    EXPECT_EQ(remoteItem("vmlinuz")->text(2), "File");
    EXPECT_EQ(remoteItem("home")->text(1), "");
    EXPECT_EQ(status(), "3 items");

    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    setLocalFolder(local.path());
    EXPECT_FALSE(test::saveArtefact(*dialog, "gui_tests", "file-manager").isEmpty());
}

TEST_F(FileManagerDialogTest, SizeTexts) {
    const std::pair<qint64, const char*> cases[] = {
        {0, "0 B"},  // an empty file: its size, not the blank of a folder
        {1, "1 B"},
        {1023, "1023 B"},
        {1024, "1.0 KB"},
        {1536, "1.5 KB"},
        {1048575, "1024.0 KB"},
        {1048576, "1.0 MB"},
        {1073741823, "1024.0 MB"},
        {1073741824, "1.00 GB"},
        {5368709120, "5.00 GB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(FileManagerDialog::sizeText(bytes), text) << bytes;
}

TEST_F(FileManagerDialogTest, DoubleClickAndBackMoveThroughThePartnersFolders) {
    listed("", {{"home", true}, {"C:/", true}, {"D:", true}, {"notes.txt"}});
    dialog->onRemoteItemDoubleClicked(remoteItem("notes.txt"), 0);
    EXPECT_TRUE(listedPaths().empty()) << "a file is not opened";

    struct Step {
        const char* action;  // a name to double-click, or "back"
        const char* listing; // the folder the dialog asks for next ("-": asks for nothing)
        std::vector<Entry> entries;
    };
    const Step steps[] = {
        {"C:/", "C:/", {{"Users", true}}},
        {"Users", "C:/Users", {{"x", true}}},
        {"x", "C:/Users/x", {}},
        {"back", "C:/Users", {{"x", true}}},
        {"back", "C:/", {{"Users", true}}},
        {"back", "", {{"D:", true}, {"home", true}}},
        {"D:", "D:", {}},
        {"back", "", {{"home", true}}},
        {"home", "/home", {{"user", true}}},
        {"user", "/home/user", {}},
        {"back", "/home", {}},
        {"back", "", {}},
        {"back", "-", {}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.action) + " -> " + step.listing);
        if (std::string(step.action) == "back")
            dialog->onRemoteBackClicked();
        else
            openRemote(step.action);
        const auto paths = listedPaths();
        if (std::string(step.listing) == "-") {
            EXPECT_TRUE(paths.empty());
            continue;
        }
        ASSERT_EQ(paths, std::vector<std::string>{step.listing});
        EXPECT_EQ(dialog->remotePathLabel()->text(),
                  QString("<b>Remote: </b>%1").arg(*step.listing ? step.listing : "/"));
        EXPECT_EQ(dialog->remoteView()->topLevelItemCount(), 0) << "cleared while loading";
        listed(step.listing, step.entries);
    }
}

TEST_F(FileManagerDialogTest, AListingForAFolderNoLongerShownIsDropped) {
    listed("", {{"home", true}});
    openRemote("home");
    listed("", {{"etc", true}, {"home", true}});
    EXPECT_EQ(dialog->remoteView()->topLevelItemCount(), 0);
    EXPECT_EQ(status(), "Loading remote directory...");
    listed("/home", {{"user", true}});
    ASSERT_EQ(dialog->remoteView()->topLevelItemCount(), 1);
    EXPECT_EQ(status(), "1 item");
}

TEST_F(FileManagerDialogTest, DownloadsRunOneAtATimeAfterOneQuestion) {
    browseTo("/data");
    listed("/data", {{"a.txt", false, 10}, {"b.txt", false, 20}, {"c.txt", false, 30}, {"sub", true}});
    setLocalFolder(local.path());
    makeFile("b.txt", "old");

    selectRemote({"a.txt", "b.txt", "c.txt", "sub"});
    dialog->statusLabel()->setText("All uploads complete.");  // an earlier batch's outcome
    dialog->onDownloadClicked();  // the catcher answers OK, which is not Yes
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(status(), QString::fromUtf8("Download cancelled \u2014 nothing was overwritten."));
    EXPECT_EQ(boxes.boxes()[0].title, "Overwrite?");
    EXPECT_EQ(boxes.boxes()[0].text,
              "These files already exist locally and will be overwritten:\nb.txt\n\nContinue?");
    EXPECT_EQ(boxes.boxes()[0].defaultButton, QMessageBox::No);
    EXPECT_TRUE(sentOfType("FILE_DOWNLOAD").empty());
    EXPECT_FALSE(dialog->isTransferring());
    EXPECT_FALSE(ownership.isHeld());
    EXPECT_FALSE(barShown());

    boxes.answerWith(QMessageBox::Yes);
    dialog->onDownloadClicked();
    EXPECT_EQ(boxes.boxes().size(), 2u) << "one question per batch";
    EXPECT_TRUE(ownership.isHeldBy(dialog.get()));
    EXPECT_TRUE(barShown());
    const std::string base = local.path().toStdString() + "/";
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
        SCOPED_TRACE(name);
        const auto downloads = sentOfType("FILE_DOWNLOAD");
        ASSERT_EQ(downloads.size(), 1u) << "the next file waits for the previous one";
        EXPECT_EQ(downloads[0].value("remote_path", ""), std::string("/data/") + name);
        EXPECT_EQ(downloads[0].value("local_path", ""), base + name);
        EXPECT_EQ(status(), QString("Copying %1 of 3: %2").arg(name[0] - 'a' + 1).arg(name));
        ASSERT_TRUE(pipe.deliver({{"type", "FILE_DOWNLOAD_PROGRESS"}, {"path", "x"}, {"percent", 42}}));
        EXPECT_EQ(dialog->progressBar()->value(), 42);
        downloadComplete(QString::fromStdString(base) + name);
    }
    EXPECT_TRUE(sentOfType("FILE_DOWNLOAD").empty());
    EXPECT_EQ(status(), "All downloads complete.");
    EXPECT_FALSE(barShown());
    EXPECT_FALSE(ownership.isHeld());
}

TEST_F(FileManagerDialogTest, AFailedFileIsSkippedAndTheBatchGoesOn) {
    browseTo("/data");
    listed("/data", {{"a.txt"}, {"b.txt"}, {"c.txt"}});
    setLocalFolder(local.path());
    selectRemote({"a.txt", "b.txt", "c.txt"});
    struct Case {
        const char* name;
        bool lastFails;
        QString end;
    };
    const Case cases[] = {
        {"the last one done", false, "Finished with 1 of 3 file(s) skipped."},
        {"the last one failed", true, "Error: Remote file download failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dialog->onDownloadClicked();
        EXPECT_TRUE(boxes.boxes().empty()) << "nothing exists locally: no question";
        ASSERT_EQ(sentOfType("FILE_DOWNLOAD").size(), 1u);
        downloadComplete(local.filePath("a.txt"));
        ASSERT_EQ(sentOfType("FILE_DOWNLOAD").size(), 1u);

        fileError("Cannot open file: /data/b.txt");
        EXPECT_EQ(status(), "Skipped b.txt (Cannot open file: /data/b.txt). Continuing with 1 remaining.");
        const auto third = sentOfType("FILE_DOWNLOAD");
        ASSERT_EQ(third.size(), 1u);
        EXPECT_EQ(third[0].value("remote_path", ""), "/data/c.txt");
        EXPECT_TRUE(barShown());

        if (c.lastFails)
            fileError("Remote file download failed");
        else
            downloadComplete(local.filePath("c.txt"));
        EXPECT_EQ(status(), c.end);
        EXPECT_FALSE(barShown());
        EXPECT_FALSE(dialog->isTransferring());
        EXPECT_FALSE(ownership.isHeld());
        EXPECT_TRUE(pipe.sent().empty());
    }
}

TEST_F(FileManagerDialogTest, DownloadAndUploadRefuseWhatTheyCannotMove) {
    browseTo("/data");
    listed("/data", {{"sub", true}, {"..", false, 5}, {"ok.txt"}});
    dialog->onDownloadClicked();
    EXPECT_EQ(status(), "Select one or more remote files to download.");
    selectRemote({"sub", ".."});
    dialog->onDownloadClicked();
    EXPECT_EQ(status(), "No files selected (folders are skipped).");
    EXPECT_TRUE(logs.contains("skipping the partner's entry '..'"));

    dialog->onUploadClicked();
    EXPECT_EQ(status(), "Select one or more local files to upload.");
    QDir(local.path()).mkdir("folder");
    selectLocal({local.filePath("folder")});
    dialog->onUploadClicked();
    EXPECT_EQ(status(), "Select one or more local files to upload.");
    EXPECT_TRUE(sentOfType("FILE_DOWNLOAD").empty());
    EXPECT_TRUE(pipe.sent().empty());
}

TEST_F(FileManagerDialogTest, UploadsAskForExistingRemoteNamesAndRefreshAtTheEnd) {
    browseTo("/home/u");
    listed("/home/u", {{"one.txt", false, 3}, {"two.txt", true}});
    const QString one = makeFile("one.txt");
    const QString two = makeFile("two.txt");
    selectLocal({one, two});

    dialog->onUploadClicked();
    ASSERT_EQ(boxes.boxes().size(), 1u) << "only the remote file counts, not the folder of the same name";
    EXPECT_EQ(boxes.boxes()[0].text,
              "These files already exist on the remote and will be overwritten:\none.txt\n\nContinue?");
    EXPECT_EQ(boxes.boxes()[0].defaultButton, QMessageBox::No);
    EXPECT_TRUE(pipe.sent().empty());
    EXPECT_EQ(status(), QString::fromUtf8("Upload cancelled \u2014 nothing was overwritten."));

    boxes.answerWith(QMessageBox::Yes);
    dialog->onUploadClicked();
    std::vector<std::string> uploaded;
    for (int i = 0; i < 2; ++i) {
        const auto uploads = sentOfType("FILE_UPLOAD");
        ASSERT_EQ(uploads.size(), 1u);
        uploaded.push_back(uploads[0].value("remote_path", ""));
        EXPECT_EQ(status(), QString("Copying %1 of 2: %2")
                                .arg(i + 1)
                                .arg(QFileInfo(QString::fromStdString(uploads[0].value("local_path", ""))).fileName()));
        uploadComplete();
    }
    std::sort(uploaded.begin(), uploaded.end());
    EXPECT_EQ(uploaded, (std::vector<std::string>{"/home/u/one.txt", "/home/u/two.txt"}));
    EXPECT_EQ(listedPaths(), std::vector<std::string>{"/home/u"}) << "the folder is listed again";
    EXPECT_EQ(status(), "All uploads complete.");
    listed("/home/u", {{"one.txt", false, 4}, {"two.txt", true}});
    EXPECT_EQ(status(), "All uploads complete.") << "the outcome stays over the new listing";
    EXPECT_EQ(remoteItem("one.txt")->text(1), "4 B");
    EXPECT_FALSE(barShown());
    EXPECT_FALSE(ownership.isHeld());
}

TEST_F(FileManagerDialogTest, PastingALocalFolderCreatesEveryFolderThenUploadsOneByOne) {
    makeFile("pics/a.png");
    makeFile("pics/sub/b.png");
    makeFile("pics/sub/deeper/c.png");
    makeFile("pics/.hidden");
    QDir(local.path()).mkpath("pics/empty");
    const QString loose = makeFile("loose.txt");
    QFile::link(local.filePath("pics/sub"), local.filePath("pics/loop"));  // never followed
    QFile::link(loose, local.filePath("shortcut.txt"));                   // chosen itself: read from its target
    putUrlsOnClipboard({local.filePath("pics"), loose, local.filePath("shortcut.txt"), local.filePath("gone.txt")});
    browseTo("/home/u");

    boxes.answerWith(QMessageBox::Yes);
    dialog->onPasteToRemotePane();
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].title, "Copy to remote?");
    EXPECT_EQ(boxes.boxes()[0].text,
              "Copy 4 item(s) to the remote folder?\n\nExisting files with the same name will be overwritten.");
    EXPECT_EQ(boxes.boxes()[0].defaultButton, QMessageBox::Yes);

    const auto messages = pipe.sent();
    std::vector<std::string> folders;
    std::size_t firstUpload = messages.size();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const std::string type = messages[i].value("type", "");
        if (type == "FILE_CREATE_DIR") {
            EXPECT_LT(i, firstUpload) << "a folder after the first upload";
            folders.push_back(messages[i].value("remote_path", ""));
        } else if (type == "FILE_UPLOAD" && firstUpload == messages.size()) {
            firstUpload = i;
        }
    }
    ASSERT_EQ(folders.size(), 4u);
    EXPECT_EQ(folders[0], "/home/u/pics");
    const auto position = [&](const std::string& folder) {
        return std::find(folders.begin(), folders.end(), folder) - folders.begin();
    };
    EXPECT_LT(position("/home/u/pics/sub"), position("/home/u/pics/sub/deeper"));
    EXPECT_LT(position("/home/u/pics/empty"), 4);
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const IpcMessage& m) { return m.value("type", "") == "FILE_UPLOAD"; }),
              1);

    // A folder that could not be made is no file's failure: the running upload stays the head.
    fileError("Failed to create directory: /home/u/pics/empty");
    EXPECT_EQ(status(), "Error: Failed to create directory: /home/u/pics/empty");
    fileError("Access denied: invalid directory path");
    EXPECT_TRUE(pipe.sent().empty()) << "no upload started beside the running one";

    std::vector<std::string> uploaded{messages[firstUpload].value("remote_path", "")};
    std::string shortcutSource;
    for (;;) {
        uploadComplete();
        const auto next = sentOfType("FILE_UPLOAD");
        if (next.empty()) break;
        ASSERT_EQ(next.size(), 1u);
        uploaded.push_back(next[0].value("remote_path", ""));
        if (uploaded.back() == "/home/u/shortcut.txt") shortcutSource = next[0].value("local_path", "");
    }
    std::sort(uploaded.begin(), uploaded.end());
    EXPECT_EQ(uploaded, (std::vector<std::string>{"/home/u/loose.txt", "/home/u/pics/a.png", "/home/u/pics/sub/b.png",
                                                  "/home/u/pics/sub/deeper/c.png", "/home/u/shortcut.txt"}));
    EXPECT_EQ(shortcutSource, QFileInfo(loose).canonicalFilePath().toStdString());
    EXPECT_FALSE(ownership.isHeld());
}

TEST_F(FileManagerDialogTest, PasteToTheRemotePaneRefusals) {
    putUrlsOnClipboard({makeFile("x.txt")});
    dialog->onPasteToRemotePane();
    EXPECT_EQ(status(), QString::fromUtf8("Open a remote folder first — the drives view isn't a paste destination."));

    browseTo("/home");
    QGuiApplication::clipboard()->setText("just text");
    dialog->onPasteToRemotePane();
    EXPECT_EQ(status(), "Nothing on the clipboard to paste.");

    auto* remoteOnly = new QMimeData;
    remoteOnly->setUrls({QUrl("https://example.org/file")});
    QGuiApplication::clipboard()->setMimeData(remoteOnly);
    dialog->onPasteToRemotePane();
    EXPECT_EQ(status(), "Clipboard items are not local files.");

    putUrlsOnClipboard({local.filePath("gone")});
    boxes.answerWith(QMessageBox::Yes);
    dialog->onPasteToRemotePane();
    EXPECT_EQ(status(), "Nothing to upload.");
    EXPECT_FALSE(ownership.isHeld());

    boxes.answerWith(QMessageBox::No);
    putUrlsOnClipboard({makeFile("y.txt")});
    dialog->onPasteToRemotePane();
    EXPECT_TRUE(pipe.sent().empty());
}

TEST_F(FileManagerDialogTest, CopyFromEitherPane) {
    dialog->onCopyFromLocalPane();
    EXPECT_EQ(status(), "Nothing selected to copy.");
    const QString a = makeFile("a.txt");
    QDir(local.path()).mkdir("folder");
    selectLocal({a, local.filePath("folder")});
    dialog->onCopyFromLocalPane();
    EXPECT_EQ(status(), "Copied 2 local item(s). Paste in remote pane to upload, or paste anywhere on the system.");
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    ASSERT_TRUE(data && data->hasUrls());
    QStringList copied;
    for (const QUrl& url : data->urls()) copied << url.toLocalFile();
    copied.sort();
    EXPECT_EQ(copied, (QStringList{a, local.filePath("folder")}));

    dialog->onCopyFromRemotePane();
    EXPECT_EQ(status(), "Nothing selected to copy.");
    listed("", {{"home", true}, {"vmlinuz"}});
    selectRemote({"home", "vmlinuz"});
    dialog->onCopyFromRemotePane();
    EXPECT_EQ(status(), "Copied 2 remote item(s). Paste in local pane to download.");

    dialog->remoteView()->clearSelection();
    dialog->onCopyFromRemotePane();
    EXPECT_EQ(status(), "Nothing selected to copy.");
}

TEST_F(FileManagerDialogTest, TheCopyAndPasteKeysOfEachPane) {
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    dialog->localView()->setFocus();
    QTest::keySequence(dialog->localView(), QKeySequence::Paste);
    EXPECT_EQ(status(), "Nothing on the remote clipboard. Use Ctrl+C in the remote pane first.");
    QTest::keySequence(dialog->localView(), QKeySequence::Copy);
    EXPECT_EQ(status(), "Nothing selected to copy.");

    listed("", {{"home", true}});
    dialog->remoteView()->setFocus();
    QTest::keySequence(dialog->remoteView(), QKeySequence::Paste);
    EXPECT_EQ(status(), QString::fromUtf8("Open a remote folder first — the drives view isn't a paste destination."));
    selectRemote({"home"});
    QTest::keySequence(dialog->remoteView(), QKeySequence::Copy);
    EXPECT_EQ(status(), "Copied 1 remote item(s). Paste in local pane to download.");
}

TEST_F(FileManagerDialogTest, PastedRemoteFolderIsWalkedThenDownloaded) {
    browseTo("/data");
    listed("/data", {{"proj", true}, {"readme"}});
    selectRemote({"proj", "readme"});
    dialog->onCopyFromRemotePane();
    setLocalFolder(local.path());

    boxes.answerWith(QMessageBox::Yes);
    dialog->onPasteToLocalPane();
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].title, "Copy from remote?");
    EXPECT_EQ(boxes.boxes()[0].text, QString("Copy 2 remote item(s) to '%1'?\n\nExisting files with the same name "
                                             "will be overwritten.")
                                         .arg(local.path()));
    EXPECT_EQ(boxes.boxes()[0].defaultButton, QMessageBox::Yes);
    EXPECT_EQ(listedPaths(), std::vector<std::string>{"/data/proj"});
    EXPECT_EQ(status(), "Enumerating remote folder 1 of 1...");
    EXPECT_EQ(dialog->progressBar()->maximum(), 0) << "busy while the size is unknown";

    // The partner's names become local path components: only plain ones are taken.
    const QList<FileEntry> proj = {{"src", true, 0},  {"a.c", false, 1},          {"..", true, 0},
                                   {".", false, 1},   {"../../escape", false, 1}, {"a\\b", false, 1},
                                   {"", false, 1},    {QString("x") + QChar(u'\0') + "y", false, 1}};
    dialog->onRemoteDirectoryListed("/data/proj", proj);
    EXPECT_EQ(logs.count("skipping the partner's entry"), 6u);
    EXPECT_EQ(listedPaths(), std::vector<std::string>{"/data/proj/src"});
    EXPECT_EQ(status(), "Enumerating remote folder 2 of 2...");
    listed("/data/other", {{"ignored"}});  // not the folder being walked: the walk waits
    EXPECT_TRUE(pipe.sent().empty());
    listed("/data/proj/src", {{"main.c"}});

    EXPECT_TRUE(QFileInfo(local.filePath("proj/src")).isDir()) << "folders made before the downloads";
    std::vector<std::pair<std::string, std::string>> downloaded;
    for (;;) {
        const auto next = sentOfType("FILE_DOWNLOAD");
        if (next.empty()) break;
        ASSERT_EQ(next.size(), 1u);
        downloaded.emplace_back(next[0].value("remote_path", ""), next[0].value("local_path", ""));
        downloadComplete(QString::fromStdString(downloaded.back().second));
    }
    const std::string base = local.path().toStdString();
    std::sort(downloaded.begin(), downloaded.end());
    EXPECT_EQ(downloaded, (std::vector<std::pair<std::string, std::string>>{
                              {"/data/proj/a.c", base + "/proj/a.c"},
                              {"/data/proj/src/main.c", base + "/proj/src/main.c"},
                              {"/data/readme", base + "/readme"},
                          }));
    EXPECT_EQ(status(), "All downloads complete.");
    EXPECT_FALSE(ownership.isHeld());
}

TEST_F(FileManagerDialogTest, WalkIsCappedAtDepth32AndDownloadsWhatItFound) {
    browseTo("/data");
    listed("/data", {{"d", true}});
    copyRemoteFolderToLocal("d");

    // A tree 40 levels deep: folders at depth 0 to 32 are listed, and the last listing is not taken.
    QString folder = "/data/d";
    for (int depth = 0; depth <= FileManagerDialog::kMaxWalkDepth; ++depth) {
        SCOPED_TRACE(depth);
        ASSERT_EQ(listedPaths(), std::vector<std::string>{folder.toStdString()});
        EXPECT_FALSE(logs.contains("folder walk capped"));
        listed(folder, {{"d", true}, {"f"}});
        folder += "/d";
    }
    EXPECT_TRUE(logs.contains("folder walk capped"));
    const auto afterWalk = pipe.sent();
    ASSERT_EQ(afterWalk.size(), 1u);
    EXPECT_EQ(afterWalk[0].value("type", ""), "FILE_DOWNLOAD");
    downloadComplete(QString::fromStdString(afterWalk[0].value("local_path", "")));
    QString deepest = local.filePath("d");
    for (int i = 0; i < 32; ++i) deepest += "/d";
    EXPECT_TRUE(QFileInfo(deepest).isDir());
    EXPECT_FALSE(QFileInfo(deepest + "/d").exists());
    EXPECT_EQ(status(), "Copying 2 of 32: f");
    int downloads = 1;
    for (;;) {
        const auto next = sentOfType("FILE_DOWNLOAD");
        if (next.empty()) break;
        ++downloads;
        downloadComplete(QString::fromStdString(next[0].value("local_path", "")));
    }
    EXPECT_EQ(downloads, 32);
}

TEST_F(FileManagerDialogTest, WalkIsCappedAt50000Entries) {
    browseTo("/data");
    listed("/data", {{"big", true}});
    copyRemoteFolderToLocal("big");
    pipe.sent();

    QList<FileEntry> many;
    for (int i = 0; i < FileManagerDialog::kMaxWalkEntries; ++i) many.append({QString("f%1").arg(i), false, 1});
    many.append({"more", true, 0});
    many.append({"again", true, 0});
    dialog->onRemoteDirectoryListed("/data/big", many);  // 50000 files and two folders: still taken
    EXPECT_EQ(listedPaths(), std::vector<std::string>{"/data/big/more"});
    dialog->onRemoteDirectoryListed("/data/big/more", {{"late", false, 1}});
    EXPECT_TRUE(logs.contains("folder walk capped"));
    EXPECT_EQ(status(), "Copying 1 of 50000: f0") << "neither the late file nor the last folder was taken";
    EXPECT_TRUE(listedPaths().empty());
}

TEST_F(FileManagerDialogTest, ErrorsOutsideAFileStayInTheStatus) {
    // A failed listing while nothing runs.
    listed("", {{"gone", true}});
    openRemote("gone");
    fileError("Directory does not exist: /gone");
    EXPECT_EQ(status(), "Error: Directory does not exist: /gone");
    dialog->onRemoteBackClicked();

    // A failed listing during a download batch is not the running download's failure.
    browseTo("/data");
    listed("/data", {{"a"}, {"b"}, {"lost", true}});
    setLocalFolder(local.path());
    selectRemote({"a", "b"});
    dialog->onDownloadClicked();
    ASSERT_EQ(sentOfType("FILE_DOWNLOAD").size(), 1u);
    openRemote("lost");
    fileError("Directory does not exist: /data/lost");
    EXPECT_EQ(status(), "Error: Directory does not exist: /data/lost");
    EXPECT_TRUE(sentOfType("FILE_DOWNLOAD").empty()) << "no second download beside the first";
    EXPECT_TRUE(dialog->isTransferring());

    // During a walk, a failed listing ends the walk.
    downloadComplete(local.filePath("a"));
    downloadComplete(local.filePath("b"));
    ASSERT_FALSE(dialog->isTransferring());
    listed("/data/lost", {{"tree", true}});
    selectRemote({"tree"});
    dialog->onCopyFromRemotePane();
    boxes.answerWith(QMessageBox::Yes);
    dialog->onPasteToLocalPane();
    fileError("Directory does not exist: /data/lost/tree");
    EXPECT_EQ(status(), "Error during enumeration: Directory does not exist: /data/lost/tree");
    EXPECT_FALSE(barShown());
    EXPECT_FALSE(dialog->isTransferring());
    EXPECT_FALSE(ownership.isHeld());
    EXPECT_FALSE(QFileInfo(local.filePath("tree")).exists());
}

// The partner refuses to list a folder while a download runs (a name it cannot take, "x:y"): the
// refusal answers the listing, whatever its words; the running download goes on alone.
TEST_F(FileManagerDialogTest, ARefusedListingLeavesARunningBatchAlone) {
    browseTo("/data");
    listed("/data", {{"a"}, {"b"}, {"x:y", true}});
    setLocalFolder(local.path());
    selectRemote({"a", "b"});
    dialog->onDownloadClicked();
    ASSERT_EQ(sentOfType("FILE_DOWNLOAD").size(), 1u);
    ASSERT_TRUE(pipe.deliver({{"type", "FILE_DOWNLOAD_PROGRESS"}, {"path", "/data/a"}, {"percent", 0}}));
    openRemote("x:y");
    fileError("Access denied: invalid path");
    EXPECT_EQ(status(), "Error: Access denied: invalid path");
    EXPECT_TRUE(sentOfType("FILE_DOWNLOAD").empty()) << "no second download beside the first";
    EXPECT_TRUE(dialog->isTransferring());
    downloadComplete(local.filePath("a"));
    const auto next = sentOfType("FILE_DOWNLOAD");
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].value("remote_path", ""), "/data/b");
    EXPECT_EQ(status(), "Copying 2 of 2: b");

    // The same words before the download began are the download's own refusal: it is skipped.
    dialog->onRemoteBackClicked();
    fileError("Access denied: invalid path");
    EXPECT_EQ(status(), "Error: Access denied: invalid path");
    EXPECT_FALSE(dialog->isTransferring());
    EXPECT_FALSE(ownership.isHeld());
}

TEST_F(FileManagerDialogTest, SharesOneTransferWithThePasteFlow) {
    browseTo("/data");
    listed("/data", {{"a"}, {"b"}});
    setLocalFolder(local.path());
    selectRemote({"a", "b"});

    // While the paste flow holds the token the dialog starts nothing and hears nothing.
    ASSERT_TRUE(ownership.tryAcquire(&pasteFlow));
    dialog->onDownloadClicked();
    EXPECT_EQ(status(), kBusy);
    putUrlsOnClipboard({makeFile("x")});
    dialog->onPasteToRemotePane();
    EXPECT_EQ(status(), kBusy);
    EXPECT_TRUE(boxes.boxes().empty()) << "refused before any question";
    uploadComplete();
    fileError("Cannot write file: /home/Public/Veltrix/Paste/x");
    EXPECT_EQ(status(), kBusy);
    EXPECT_TRUE(pipe.sent().empty());
    ownership.release(&pasteFlow);

    // While the dialog runs a batch, the paste flow is refused, and so is a second batch.
    dialog->onDownloadClicked();
    ASSERT_EQ(sentOfType("FILE_DOWNLOAD").size(), 1u);
    EXPECT_FALSE(ownership.tryAcquire(&pasteFlow));
    dialog->onDownloadClicked();
    EXPECT_EQ(status(), kBusy);
    EXPECT_TRUE(pipe.sent().empty());
    uploadComplete();  // not a download: nothing moves
    EXPECT_TRUE(pipe.sent().empty());
    downloadComplete(local.filePath("a"));
    ASSERT_EQ(sentOfType("FILE_DOWNLOAD").size(), 1u);
    downloadComplete(local.filePath("b"));
    EXPECT_TRUE(ownership.tryAcquire(&pasteFlow)) << "given back when the batch ended";
    ownership.release(&pasteFlow);

    // Once the token is taken from it (as the window does when a new session replaces it), the
    // dialog no longer counts transfer signals as its own.
    const QString upload = makeFile("up.txt");
    selectLocal({upload});
    dialog->onUploadClicked();
    ASSERT_EQ(sentOfType("FILE_UPLOAD").size(), 1u);
    ownership.release(dialog.get());
    ASSERT_TRUE(ownership.tryAcquire(&pasteFlow));
    const QString running = status();
    uploadComplete();
    fileError("Cannot write file: /data/up.txt");
    ASSERT_TRUE(pipe.deliver({{"type", "FILE_UPLOAD_PROGRESS"}, {"path", "x"}, {"percent", 77}}));
    EXPECT_EQ(status(), running);
    EXPECT_NE(dialog->progressBar()->value(), 77);
    EXPECT_TRUE(pipe.sent().empty());
    ownership.release(&pasteFlow);
    dialog = std::make_unique<FileManagerDialog>(&pipe.client(), &ownership);
    pipe.sent();
    browseTo("/data");
    listed("/data", {{"a"}, {"b"}});
    setLocalFolder(local.path());
    selectRemote({"a", "b"});

    // A question open when the paste flow starts: the answer no longer starts the batch.
    makeFile("a");
    boxes.answerWith(QMessageBox::Yes);
    QTimer::singleShot(0, [this] { ownership.tryAcquire(&pasteFlow); });
    dialog->onDownloadClicked();
    EXPECT_EQ(status(), kBusy);
    EXPECT_TRUE(pipe.sent().empty());
}

TEST_F(FileManagerDialogTest, ADialogDeletedDuringItsQuestionStopsThere) {
    browseTo("/data");
    listed("/data", {{"a"}});
    setLocalFolder(local.path());
    makeFile("a");
    selectRemote({"a"});
    boxes.answerWith(QMessageBox::Yes);
    FileManagerDialog* doomed = dialog.release();
    QTimer::singleShot(0, doomed, [doomed] { delete doomed; });
    doomed->onDownloadClicked();  // returns once the box closes with its dialog
    EXPECT_TRUE(pipe.sent().empty());
    EXPECT_FALSE(ownership.isHeld());
}

}  // namespace
}  // namespace veltrix
