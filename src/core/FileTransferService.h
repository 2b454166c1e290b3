#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "shared/FileEntry.h"

namespace veltrix {

namespace platform::files {
struct ReadableFile;
}
namespace filetransfer {
class WireReader;
enum class SubType : std::uint8_t;
}
namespace transferpath {
struct CheckedTransferPath;
}

// Moves files and directory listings between the two ends of a session inside its encrypted
// control channel. It issues the local client's requests to the peer and, on the shared side of
// the session only, serves the peer's requests on this machine (list, download, upload, make
// directory). The viewing side answers every request with "Access denied: ..." and touches no
// file: the machine being viewed has no business with the viewer's files.
// Every path from either side passes transferpath::validateTransferPath; file access on this
// machine runs as the interactive user (the file-system calls only: nothing is logged or sent
// meanwhile) and never follows a link. Files are capped at
// 104857600 bytes, sent in 64 KiB chunks paced on the transport's send buffer, and written under
// their name only once complete.
//
// Thread: the service's Qt thread only. A send runs the event loop nested while the transport's
// buffer drains, and briefly every 20 ms otherwise, so any message may arrive in the middle of
// it; a second transfer is refused until the send in progress returns. Deleting the instance
// inside the event loop run by a send (the session ended) stops the send at once; the owner
// should still prefer deleteLater().
class FileTransferService : public QObject {
    Q_OBJECT

public:
    // Sends one file-transfer message (sub-type byte and body); false when it was not sent, for
    // instance because the session has no transport any more. A failed send stops the transfer.
    using SendFunction = std::function<bool(const QByteArray& message)>;
    // Bytes queued in the transport's send buffer.
    using BufferedAmountFunction = std::function<std::uint64_t()>;

    // The session's side this service runs on: Viewing (the Master) only requests; Shared (the
    // Target) also serves.
    enum class Side { Viewing, Shared };

    FileTransferService(SendFunction send, BufferedAmountFunction bufferedAmount, Side side, QObject* parent = nullptr);
    ~FileTransferService() override;

    // One received file-transfer message (after the control type byte).
    void handleFileTransferMessage(const std::uint8_t* data, std::size_t length);

    void requestListing(const QString& remotePath);
    void requestCreateDirectory(const QString& remotePath);
    void requestDownload(const QString& remotePath, const QString& localPath);
    void sendFile(const QString& localPath, const QString& remotePath);

    // The session is over: a download in progress fails with fileError and leaves no file, a
    // partly received upload is dropped, this side's upload in progress fails with fileError at
    // once (its send stops at its next chunk, or when the instance is deleted), and nothing is
    // sent any more.
    void endSession();

    // Whether `path` names a directory made here by the peer's MKDIR during this session.
    bool isCreatedDirectory(const QString& path) const;
    // True while a file is being sent (either role).
    bool isSending() const { return sending_; }

    // How long a send waits for a stalled transport before it goes on (30 s).
    void setPacingTimeout(std::chrono::milliseconds timeout) { pacingTimeout_ = timeout; }

signals:
    void directoryListed(const QString& path, const QList<veltrix::FileEntry>& entries);
    void fileDownloadProgress(const QString& path, int percent);
    void fileDownloadComplete(const QString& localPath);
    void fileUploadProgress(const QString& path, int percent);
    void fileUploadComplete();
    void fileError(const QString& error);
    void transferStats(qint64 bytesPerSec, int etaSeconds, int percent);

private:
    enum class StreamResult { Done, SendFailed, ReadFailed, Destroyed };

    // Serving side.
    void refuseToServe(filetransfer::SubType type, filetransfer::WireReader& body);
    void serveListing(filetransfer::WireReader& body);
    void serveDownload(filetransfer::WireReader& body);
    void receiveUploadStart(filetransfer::WireReader& body);
    void receiveUploadChunk(filetransfer::WireReader& body);
    void finishUpload();
    void makeDirectory(filetransfer::WireReader& body);
    // Requesting side.
    void receiveListing(const std::uint8_t* body, std::size_t size);
    void receiveTransferError(filetransfer::WireReader& body);
    void receiveDownloadStart(filetransfer::WireReader& body);
    void receiveDownloadChunk(filetransfer::WireReader& body);
    void finishDownload();

    bool sendMessage(const QByteArray& message);
    void sendTransferError(const QString& text);
    // Logs why a path was refused and answers the peer with `message`.
    void refusePath(const transferpath::CheckedTransferPath& checked, const QString& message);
    // Sends the file in chunks of `type`, at most its size at open, pacing before each chunk.
    // `afterChunk`(bytes sent so far, chunk size) runs after every chunk.
    StreamResult streamFile(const platform::files::ReadableFile& file, filetransfer::SubType type,
                            const std::function<void(std::uint64_t, std::size_t)>& afterChunk);
    // Waits while the transport holds too much; false when the instance was deleted meanwhile.
    bool waitForSendBuffer();
    void addTransferredBytes(qint64 bytes);
    void appendDownloadBytes(const std::uint8_t* data, std::size_t size);
    void clearDownload();
    void clearUpload();

    SendFunction send_;
    BufferedAmountFunction bufferedAmount_;
    Side side_;
    std::chrono::milliseconds pacingTimeout_{30000};
    bool sending_ = false;
    bool sessionEnded_ = false;

    QSet<QString> createdDirectories_;
    // Listings asked for and not answered yet (a few; the oldest is forgotten first).
    QStringList requestedListings_;
    // The local file of this side's upload while it is sent; empty otherwise.
    QString uploadSending_;

    // The current download: requested, then started by DOWNLOAD_START.
    bool downloadRequested_ = false;
    bool downloadStarted_ = false;
    QString downloadLocalPath_;
    QString downloadRemotePath_;
    QByteArray downloadBuffer_;
    std::uint64_t downloadExpectedSize_ = 0;

    // The upload being received; no upload while the path is empty.
    QString uploadPath_;
    QByteArray uploadBuffer_;
    std::uint64_t uploadExpectedSize_ = 0;

    QElapsedTimer yieldClock_;  // when a send last let the event loop run
    QElapsedTimer transferClock_;
    qint64 bytesTransferred_ = 0;
    qint64 bytesTotal_ = 0;
};

}  // namespace veltrix
