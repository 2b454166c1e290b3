// Pasting copied files into the partner's desktop, against a test server on the real pipe and the
// display's real clipboard: what Ctrl+V in the viewer sends and shows, one upload at a time, the
// pause before the four keys, the refusals and failures, the window's one file-transfer token,
// and the shared side, which puts only files staged inside its paste folder on the clipboard.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QUuid>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "GuiTestSupport.h"
#include "RecordingPipeServer.h"
#include "core/SettingsController.h"
#include "gui/FileTransferOwnership.h"
#include "gui/MainWindow.h"
#include "gui/RemoteDesktopWidget.h"
#include "gui/StagedClipboardFiles.h"
#include "platform/InstancePaths.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

namespace veltrix {

// The paste flow's state, for these tests only.
class MainWindowPasteTestAccess {
public:
    explicit MainWindowPasteTestAccess(MainWindow& window) : w(window) {}
    RemoteDesktopWidget* viewer() const { return w.viewer_; }
    QString status() const { return w.statusLabel_->text(); }
    QString statusColour() const {
        const QString style = w.statusLabel_->styleSheet();
        return style.mid(style.indexOf('#'), 7);
    }
    bool pasteInProgress() const { return w.pasteInProgress_; }
    FileTransferOwnership& ownership() const { return w.m_fileTransferOwnership; }

private:
    MainWindow& w;
};

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// X key codes as the X server reports them: evdev code + 8.
constexpr quint32 kXKeyV = 47 + 8;

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

QString qPath(const fs::path& path) { return QString::fromStdString(path.string()); }

void putUrlsOnClipboard(const std::vector<fs::path>& paths) {
    QList<QUrl> urls;
    for (const fs::path& path : paths) urls.append(QUrl::fromLocalFile(qPath(path)));
    auto* mime = new QMimeData;
    mime->setUrls(urls);
    QGuiApplication::clipboard()->setMimeData(mime);
}

class MainWindowPasteTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string failure;
        ASSERT_TRUE(pipe.start(failure)) << failure;
        window = std::make_unique<MainWindow>(&pipe.client(), &settings);
        access = std::make_unique<MainWindowPasteTestAccess>(*window);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        files = root.path() / "local";
        writeFile(files / "a.txt", "first");
        writeFile(files / "b.txt", "second");
        fs::create_directories(files / "folder");
    }

    void TearDown() override { QGuiApplication::clipboard()->clear(); }

    void state(const char* name, const char* role) {
        pipe.deliver({{"type", "STATE"}, {"session_state", name}, {"session_role", role}, {"authenticated", true}});
    }

    // A slot on a state change sees the role of the STATE before, as the service reports them.
    void connectAsViewer() {
        state("Initiating", "master");
        state("Connected", "master");
        pipe.sent();
    }

    // Ctrl (and the given extra modifiers) + V pressed in the viewer; true when the viewer saw it.
    bool pressCtrlV(Qt::KeyboardModifiers extra = Qt::NoModifier) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier | extra, kXKeyV, 0, 0);
        QApplication::sendEvent(access->viewer(), &press);
        return press.isAccepted() && sentOfType("INPUT").size() == 1;
    }

    // The messages of `type` sent since the last read; every file command and key joins
    // `recorded` (the window's other traffic, such as the viewer's encode size, does not).
    std::vector<IpcMessage> sentOfType(const std::string& type) {
        std::vector<IpcMessage> matching;
        for (IpcMessage& message : pipe.sent()) {
            const std::string sentType = message.value("type", "");
            if (sentType.rfind("FILE_", 0) == 0 || sentType == "SET_REMOTE_CLIPBOARD_FILES" || sentType == "INPUT")
                recorded.push_back(message);
            if (sentType == type) matching.push_back(message);
        }
        return matching;
    }

    // Starts a run with `paths` on the clipboard; the folder it made on the partner.
    std::string startRun(const std::vector<fs::path>& paths) {
        putUrlsOnClipboard(paths);
        pressCtrlV();
        for (const IpcMessage& message : recorded)
            if (message.value("type", "") == "FILE_CREATE_DIR") return message.value("remote_path", "");
        return {};
    }

    void uploadConfirmed() { pipe.deliver({{"type", "FILE_UPLOAD_COMPLETE"}}); }

    test::TempInstanceRoot root;
    test::LogCapture logs;
    test::RecordingPipeServer pipe;
    SettingsController settings;
    test::MessageBoxCatcher boxes;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<MainWindowPasteTestAccess> access;
    fs::path files;
    std::vector<IpcMessage> recorded;  // file commands and keys, in order
};

TEST_F(MainWindowPasteTest, TextOnTheClipboardLeavesCtrlVToTheViewer) {
    connectAsViewer();
    QGuiApplication::clipboard()->setText("plain text");
    EXPECT_TRUE(pressCtrlV());
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0]["event"]["vk_code"], 0x56);
    EXPECT_FALSE(access->pasteInProgress());
}

TEST_F(MainWindowPasteTest, TwoFilesAndAFolderUploadTheFilesInTurnThenPressCtrlVOnThePartner) {
    connectAsViewer();
    putUrlsOnClipboard({files / "a.txt", files / "folder", files / "b.txt"});
    EXPECT_FALSE(pressCtrlV()) << "the viewer must not forward the Ctrl+V that starts a paste";

    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0]["type"], "FILE_CREATE_DIR");
    const QString folder = QString::fromStdString(recorded[0]["remote_path"].get<std::string>());
    EXPECT_TRUE(QRegularExpression("^/home/Public/Veltrix/Paste/[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
                    .match(folder)
                    .hasMatch())
        << folder.toStdString();
    EXPECT_EQ(recorded[1]["type"], "FILE_UPLOAD");
    EXPECT_EQ(recorded[1]["local_path"], (files / "a.txt").string());
    EXPECT_EQ(recorded[1]["remote_path"], (folder + "/a.txt").toStdString());
    EXPECT_EQ(access->status(), "● Uploading 2 file(s) for paste...");
    EXPECT_EQ(access->statusColour(), "#3498db");
    EXPECT_TRUE(logs.contains("Paste: skipped 1 folder(s) (v1 = files only)"));

    uploadConfirmed();
    EXPECT_EQ(access->status(), "● Uploading for paste: 1 of 2 done");
    auto uploads = sentOfType("FILE_UPLOAD");
    ASSERT_EQ(uploads.size(), 1u) << "the second upload starts only after the first is confirmed";
    EXPECT_EQ(uploads[0]["local_path"], (files / "b.txt").string());
    EXPECT_EQ(uploads[0]["remote_path"], (folder + "/b.txt").toStdString());

    const qint64 lastConfirmedMs = QDateTime::currentMSecsSinceEpoch();
    uploadConfirmed();
    // The window's status passes through the tray's mirror, which logs every text it is given.
    EXPECT_TRUE(logs.contains("Tray status updated: Uploading for paste: 2 of 2 done"));
    const auto clipboard = sentOfType("SET_REMOTE_CLIPBOARD_FILES");
    ASSERT_EQ(clipboard.size(), 1u);
    EXPECT_EQ(clipboard[0]["source_paths"], IpcMessage({(files / "a.txt").string(), (files / "b.txt").string()}));
    EXPECT_EQ(clipboard[0]["staging_root"], folder.toStdString());
    EXPECT_EQ(access->status(), "● Setting remote clipboard...");

    std::vector<IpcMessage> keys;
    ASSERT_TRUE(test::waitUntil([&] {
        for (auto& key : sentOfType("INPUT")) keys.push_back(key);
        return keys.size() >= 4;
    }, 5s));
    ASSERT_EQ(keys.size(), 4u);
    const std::pair<int, int> expected[] = {{5, 0x11}, {5, 0x56}, {6, 0x56}, {6, 0x11}};
    for (std::size_t i = 0; i < 4; ++i) {
        const auto& event = keys[i]["event"];
        EXPECT_EQ(event["type"], expected[i].first) << i;
        EXPECT_EQ(event["vk_code"], expected[i].second) << i;
        EXPECT_EQ(event["scan_code"], 0);
        EXPECT_EQ(event["extended"], false);
        EXPECT_EQ(event["mouse_button"], 1);
        // After the 200 ms pause (a coarse timer may fire up to 5 % early).
        EXPECT_GE(event["timestamp_ms"].get<std::int64_t>(), lastConfirmedMs + 190) << i;
    }
    EXPECT_EQ(access->status(), "● Pasted 2 file(s) into remote desktop");
    EXPECT_EQ(access->statusColour(), "#27ae60");
    EXPECT_TRUE(logs.contains("Injected synthetic Ctrl+V into remote session"));
    EXPECT_FALSE(access->pasteInProgress());
    EXPECT_FALSE(access->ownership().isHeld());
}

// Every file lands in one staging folder on the partner: a second file of the same name, from
// another folder here, is left out instead of overwriting the first there.
TEST_F(MainWindowPasteTest, ASecondFileOfTheSameNameIsLeftOutNotOverwritten) {
    writeFile(files / "other" / "a.txt", "another a");
    connectAsViewer();
    const std::string folder = startRun({files / "a.txt", files / "other" / "a.txt", files / "b.txt"});
    ASSERT_FALSE(folder.empty());
    uploadConfirmed();
    uploadConfirmed();
    const auto clipboard = sentOfType("SET_REMOTE_CLIPBOARD_FILES");
    std::vector<IpcMessage> uploads;
    for (const IpcMessage& message : recorded)
        if (message.value("type", "") == "FILE_UPLOAD") uploads.push_back(message);
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_EQ(uploads[0]["local_path"], (files / "a.txt").string());
    EXPECT_EQ(uploads[1]["local_path"], (files / "b.txt").string());
    EXPECT_TRUE(logs.contains("Paste: skipped '" + (files / "other" / "a.txt").string() +
                              "': a file of that name is already in this paste"));
    ASSERT_EQ(clipboard.size(), 1u);
    EXPECT_EQ(clipboard[0]["source_paths"], IpcMessage({(files / "a.txt").string(), (files / "b.txt").string()}));
}

// The keys as the X server delivers them, through the application's shortcut handling.
TEST_F(MainWindowPasteTest, CtrlVTypedOnTheKeyboardStartsARunAndOnlyCtrlReachesThePartner) {
    connectAsViewer();
    putUrlsOnClipboard({files / "a.txt"});
    window->activateWindow();
    access->viewer()->setFocus();
    QProcess::execute("xdotool", {"windowfocus", "--sync", QString::number(window->winId()), "key", "ctrl+v"});
    ASSERT_TRUE(test::waitUntil([&] { return access->pasteInProgress(); }, 5s));
    test::runEventsFor(50ms);
    sentOfType("");
    const auto count = [&](const std::string& type) {
        return std::count_if(recorded.begin(), recorded.end(), [&](const IpcMessage& m) { return m["type"] == type; });
    };
    EXPECT_EQ(count("FILE_CREATE_DIR"), 1);
    EXPECT_EQ(count("FILE_UPLOAD"), 1);
    for (const IpcMessage& message : recorded) {
        const bool vDown = message["type"] == "INPUT" && message["event"]["type"] == 5 && message["event"]["vk_code"] == 0x56;
        EXPECT_FALSE(vDown) << "the V that started the paste went to the partner";
    }
}

TEST_F(MainWindowPasteTest, ClipboardsWithoutAFileToUploadAreRefusedAndNothingIsSent) {
    connectAsViewer();
    struct Case {
        const char* name;
        std::vector<fs::path> paths;
        const char* status;
    };
    const Case cases[] = {
        {"only a folder", {files / "folder"}, "● Folder paste isn't supported yet — copy files instead."},
        {"deleted files", {files / "gone.txt", files / "also gone.txt"}, "● Nothing to paste."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        recorded.clear();
        putUrlsOnClipboard(c.paths);
        EXPECT_FALSE(pressCtrlV());
        EXPECT_TRUE(recorded.empty());
        EXPECT_EQ(access->status(), c.status);
        EXPECT_EQ(access->statusColour(), "#f1c40f");
        EXPECT_FALSE(access->pasteInProgress());
    }
}

TEST_F(MainWindowPasteTest, CtrlShiftVStartsARunAndASecondCtrlVDuringItIsNotForwarded) {
    connectAsViewer();
    putUrlsOnClipboard({files / "a.txt"});
    pressCtrlV(Qt::ShiftModifier);
    ASSERT_TRUE(access->pasteInProgress());
    recorded.clear();

    QGuiApplication::clipboard()->setText("text this time");
    EXPECT_FALSE(pressCtrlV());
    EXPECT_TRUE(recorded.empty());
    EXPECT_EQ(access->status(), "● Paste already in progress — please wait...");
    EXPECT_EQ(access->statusColour(), "#f1c40f");
}

TEST_F(MainWindowPasteTest, AFileErrorEndsTheRunWithPasteFailed) {
    connectAsViewer();
    putUrlsOnClipboard({files / "a.txt", files / "b.txt"});
    pressCtrlV();
    pipe.deliver({{"type", "FILE_ERROR"}, {"error", "Cannot open local file: <b>a.txt</b>"}});
    EXPECT_FALSE(access->pasteInProgress());
    EXPECT_FALSE(access->ownership().isHeld());
    ASSERT_TRUE(test::waitUntil([&] { return !boxes.boxes().empty(); }, 5s));
    EXPECT_EQ(boxes.boxes()[0].title, "Paste failed");
    EXPECT_EQ(boxes.boxes()[0].text, "Could not transfer files for paste: Cannot open local file: <b>a.txt</b>");
    EXPECT_EQ(boxes.boxes()[0].format, Qt::PlainText);

    recorded.clear();
    uploadConfirmed();
    test::runEventsFor(300ms);
    EXPECT_TRUE(sentOfType("FILE_UPLOAD").empty());
    EXPECT_TRUE(recorded.empty()) << "a late confirmation belongs to no run";
}

// The partner refuses an upload while the service still sends it: the run ends when the service
// has sent it, not before, so nothing starts beside it.
TEST_F(MainWindowPasteTest, AnUploadThePartnerRefusesEndsTheRunOnceItIsSent) {
    connectAsViewer();
    putUrlsOnClipboard({files / "a.txt", files / "b.txt"});
    pressCtrlV();
    pipe.deliver({{"type", "FILE_ERROR"}, {"error", "Access denied: invalid upload path"}});
    test::runEventsFor(50ms);
    EXPECT_TRUE(access->pasteInProgress());
    EXPECT_TRUE(sentOfType("FILE_UPLOAD").empty());
    uploadConfirmed();
    EXPECT_FALSE(access->pasteInProgress());
    ASSERT_TRUE(test::waitUntil([&] { return !boxes.boxes().empty(); }, 5s));
    EXPECT_EQ(boxes.boxes()[0].text, "Could not transfer files for paste: Access denied: invalid upload path");
    // The partner refuses that upload's end too: nobody's news any more.
    pipe.deliver({{"type", "FILE_ERROR"}, {"error", "Upload aborted: no valid upload in progress"}});
    test::runEventsFor(50ms);
    EXPECT_EQ(boxes.boxes().size(), 1u);
    EXPECT_TRUE(sentOfType("FILE_UPLOAD").empty());
}

// Errors that answer the file manager's requests (a listing the partner refuses, a folder it
// could not make) leave a running paste alone; the paste's own folder failing ends it.
TEST_F(MainWindowPasteTest, ErrorsOfTheFileManagersRequestsAreNotThePastes) {
    connectAsViewer();
    pipe.client().createRemoteDirectory("/data/from the file manager");
    const std::string folder = startRun({files / "a.txt"});
    ASSERT_FALSE(folder.empty());
    pipe.client().listRemoteDirectory("x:y");
    pipe.deliver({{"type", "FILE_ERROR"}, {"error", "Failed to create directory: /data/from the file manager"}});
    pipe.deliver({{"type", "FILE_ERROR"}, {"error", "Access denied: invalid path"}});
    test::runEventsFor(50ms);
    EXPECT_TRUE(access->pasteInProgress());
    EXPECT_TRUE(boxes.boxes().empty());
    uploadConfirmed();
    EXPECT_EQ(sentOfType("SET_REMOTE_CLIPBOARD_FILES").size(), 1u) << "the run went on";
    ASSERT_TRUE(test::waitUntil([&] { return !access->pasteInProgress(); }, 5s));
    EXPECT_EQ(access->status(), "● Pasted 1 file(s) into remote desktop");

    recorded.clear();
    const std::string second = startRun({files / "b.txt"});
    pipe.deliver({{"type", "FILE_ERROR"}, {"error", "Failed to create directory: " + second}});
    EXPECT_FALSE(access->pasteInProgress());
    ASSERT_TRUE(test::waitUntil([&] { return !boxes.boxes().empty(); }, 5s));
    EXPECT_EQ(boxes.boxes()[0].title, "Paste failed");
}

TEST_F(MainWindowPasteTest, APauseOfAFailedRunDoesNotPressCtrlVInTheNextRun) {
    connectAsViewer();
    const std::string first = startRun({files / "a.txt"});
    uploadConfirmed();
    ASSERT_EQ(sentOfType("SET_REMOTE_CLIPBOARD_FILES").size(), 1u);
    // The partner could not write the file it was sent; the user tries again at once.
    pipe.deliver({{"type", "FILE_ERROR"}, {"error", "Cannot write file: a.txt"}});
    ASSERT_FALSE(access->pasteInProgress());
    recorded.clear();
    const std::string second = startRun({files / "b.txt"});
    ASSERT_FALSE(second.empty());
    EXPECT_NE(second, first);
    test::runEventsFor(400ms);
    EXPECT_TRUE(sentOfType("INPUT").empty()) << "the second run's upload is not confirmed yet";
    EXPECT_TRUE(access->pasteInProgress());
}

TEST_F(MainWindowPasteTest, OnlyTheViewingSideStartsARun) {
    putUrlsOnClipboard({files / "a.txt"});
    for (const char* role : {"target", "none"}) {
        SCOPED_TRACE(role);
        state("Connected", role);
        pipe.sent();
        pressCtrlV();
        EXPECT_TRUE(sentOfType("FILE_CREATE_DIR").empty());
        EXPECT_FALSE(access->pasteInProgress());
    }
}

TEST_F(MainWindowPasteTest, TheRunEndsWithTheSessionAndWithThePipe) {
    for (const char* ending : {"Closing", "Failed", "Idle", "pipe lost"}) {
        SCOPED_TRACE(ending);
        connectAsViewer();
        startRun({files / "a.txt"});
        ASSERT_TRUE(access->pasteInProgress());
        if (std::string(ending) == "pipe lost")
            pipe.client().disconnectFromService();
        else
            state(ending, "master");
        EXPECT_FALSE(access->pasteInProgress());
        EXPECT_FALSE(access->ownership().isHeld());
        recorded.clear();
    }
}

// The file manager's batch holds the token: a paste refuses instead of starting an upload over
// it, and the batch's reports do not move a paste on.
TEST_F(MainWindowPasteTest, APasteWaitsForTheFileManagersTransfer) {
    connectAsViewer();
    QObject fileManager;
    ASSERT_TRUE(access->ownership().tryAcquire(&fileManager));
    putUrlsOnClipboard({files / "a.txt"});
    EXPECT_FALSE(pressCtrlV());
    EXPECT_TRUE(recorded.empty());
    EXPECT_EQ(access->status(), "● A file transfer is running — paste again when it has finished.");
    EXPECT_FALSE(access->pasteInProgress());
    EXPECT_TRUE(access->ownership().isHeldBy(&fileManager));

    access->ownership().release(&fileManager);
    startRun({files / "a.txt"});
    ASSERT_TRUE(access->pasteInProgress());
    EXPECT_FALSE(access->ownership().tryAcquire(&fileManager)) << "the run holds the token until it ends";
}

// --- the shared side ---------------------------------------------------------------------------

class StagedFilesTest : public MainWindowPasteTest {
protected:
    void SetUp() override {
        MainWindowPasteTest::SetUp();
        staging = platform::paths::pasteStagingDir();
        run = staging / QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
        wireRun = "/home/Public/Veltrix/Paste/" + run.filename().string();
        writeFile(run / "a.txt", "a");
        writeFile(run / "b c.txt", "b");
        writeFile(staging / "loose.txt", "in the paste folder itself");
        writeFile(root.path() / "secret" / "key.txt", "not for the partner");
        QGuiApplication::clipboard()->setText("before");
    }

    void announce(const std::string& stagingRoot, const std::vector<std::string>& names) {
        pipe.deliver({{"type", "REMOTE_CLIPBOARD_FILES"}, {"staging_root", stagingRoot}, {"file_names", names}});
    }

    static QList<QUrl> clipboardUrls() {
        const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
        return mime && mime->hasUrls() ? mime->urls() : QList<QUrl>{};
    }

    fs::path staging;
    fs::path run;
    std::string wireRun;
};

TEST_F(StagedFilesTest, StagedFilesReachTheClipboardAndNamesThatLeaveTheFolderDoNot) {
    fs::create_symlink(root.path() / "secret" / "key.txt", run / "link.txt");
    announce(wireRun, {"a.txt", "../loose.txt", "..", ".", "", "missing.txt", "link.txt", "b c.txt"});
    const QList<QUrl> expected = {QUrl::fromLocalFile(qPath(run / "a.txt")), QUrl::fromLocalFile(qPath(run / "b c.txt"))};
    ASSERT_TRUE(test::waitUntil([] { return !clipboardUrls().isEmpty(); }, 5s));
    EXPECT_EQ(clipboardUrls(), expected);
    EXPECT_TRUE(logs.contains("Set local clipboard CF_HDROP with 2 staged file(s) from '" + wireRun + "'"));
}

TEST_F(StagedFilesTest, RootsOutsideThePasteFolderAndMissingFilesLeaveTheClipboardAlone) {
    const fs::path outside = root.path() / "secret";
    fs::create_directory_symlink(outside, staging / "looks-staged");
    struct Case {
        const char* name;
        std::string root;
        std::vector<std::string> names;
        const char* warning;
    };
    const char* refused = "not a folder inside the paste staging folder";
    const Case cases[] = {
        {"the paste folder itself", "/home/Public/Veltrix/Paste", {"loose.txt"}, refused},
        {"climbing out of a run", wireRun + "/../..", {"key.txt"}, refused},
        {"a folder elsewhere", outside.string(), {"key.txt"}, refused},
        {"a link in the paste folder", "/home/Public/Veltrix/Paste/looks-staged", {"key.txt"}, refused},
        {"a run that does not exist", "/home/Public/Veltrix/Paste/00000000-0000-0000-0000-000000000000", {"a.txt"},
         refused},
        {"none of the names exist", wireRun, {"missing.txt", "../a.txt"}, "no files found in staging dir"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        logs.clear();
        announce(c.root, c.names);
        test::runEventsFor(20ms);
        EXPECT_EQ(QGuiApplication::clipboard()->text(), "before");
        EXPECT_TRUE(clipboardUrls().isEmpty());
        EXPECT_TRUE(logs.contains(c.warning));
    }
}

TEST(StagedFileName, OnlyNamesThatStayInTheirFolderArePlain) {
    for (const QString& name : {QString("a.txt"), QString("..."), QString(".hidden"), QString("b c")})
        EXPECT_TRUE(staged_files::isPlainFileName(name)) << name.toStdString();
    for (const QString& name :
         {QString(), QString("."), QString(".."), QString("a/b"), QString("a\\b"), QString("a") + QChar(0) + "b"})
        EXPECT_FALSE(staged_files::isPlainFileName(name)) << name.toStdString();
}

}  // namespace
}  // namespace veltrix
