#include "core/FileTransferService.h"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <spdlog/spdlog.h>

#include "core/FileTransferWire.h"
#include "core/ImpersonationScope.h"
#include "core/TransferPath.h"
#include "platform/NoFollowFiles.h"
#include "shared/Logging.h"

namespace veltrix {

using namespace filetransfer;
namespace files = platform::files;

namespace {

constexpr std::uint64_t kPacingHighWater = 4194304;
constexpr std::uint64_t kPacingLowWater = 1048576;
constexpr qint64 kYieldIntervalMs = 20;
constexpr qsizetype kMaxRequestedListings = 64;
// A partner's error text shown to the user is cut here: it is echoed into one pipe message.
constexpr qsizetype kMaxRemoteErrorText = 4096;
const QString kNoUserSession = QStringLiteral("Access denied: no interactive user session");
const QString kViewingSideServesNothing = QStringLiteral("Access denied: the viewing side serves no files");

std::string shown(const QString& value) { return logging::peerText(value); }

// The serving side's answers to a listing, a folder or an upload request: such an error says
// nothing about a download in progress. Any other error may be the download's and ends it.
bool belongsToAnotherRequest(const QString& error) {
    static const QStringList prefixes{
        QStringLiteral("Directory does not exist: "), QStringLiteral("Cannot list directory: "),
        QStringLiteral("Failed to create directory: "), QStringLiteral("Access denied: invalid directory path"),
        QStringLiteral("Access denied: invalid upload path"), QStringLiteral("Upload too large"),
        QStringLiteral("Upload exceeded size cap"), QStringLiteral("Upload aborted: "),
        QStringLiteral("Upload incomplete: "), QStringLiteral("Cannot write file: "),
    };
    return std::any_of(prefixes.begin(), prefixes.end(), [&](const QString& p) { return error.startsWith(p); });
}

const char* requestName(SubType type) {
    switch (type) {
    case SubType::List: return "LIST";
    case SubType::DownloadRequest: return "DOWNLOAD_REQUEST";
    case SubType::UploadStart: return "UPLOAD_START";
    case SubType::UploadChunk: return "UPLOAD_CHUNK";
    case SubType::UploadDone: return "UPLOAD_DONE";
    case SubType::MakeDirectory: return "MKDIR";
    default: return nullptr;  // not a request: the requesting side's own messages
    }
}

bool isRootListing(const QString& path) { return path.isEmpty() || path == u"/" || path == u"\\"; }

QList<FileEntry> sortedEntries(const std::vector<files::DirectoryEntry>& found) {
    QList<FileEntry> entries;
    entries.reserve(static_cast<qsizetype>(found.size()));
    for (const files::DirectoryEntry& entry : found)
        entries.append({QString::fromStdString(entry.name), entry.isDirectory, static_cast<std::int64_t>(entry.size)});
    std::sort(entries.begin(), entries.end(), [](const FileEntry& a, const FileEntry& b) {
        if (a.isDir != b.isDir) return a.isDir;
        return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
    });
    return entries;
}

// Runs `access` as the interactive user and gives its result; nothing when there is no user to act
// as. The thread has the user's identity only while `access` runs, and `access` writes no log line:
// the log folder is the service's, and a rotation of the log as the user would fail. Whatever is to
// be logged or sent is done with the result, as the service.
template <typename Access>
auto asInteractiveUser(Access&& access) -> std::optional<std::invoke_result_t<Access&>> {
    ImpersonationScope user;
    if (!user.isImpersonating()) return std::nullopt;
    return access();
}

// Marks the instance as sending for the life of the object, unless the instance is deleted first.
class SendingFlag {
public:
    SendingFlag(FileTransferService* owner, bool& flag) : owner_(owner), flag_(flag) { flag_ = true; }
    ~SendingFlag() {
        if (owner_) flag_ = false;
    }

private:
    QPointer<FileTransferService> owner_;
    bool& flag_;
};

}  // namespace

FileTransferService::FileTransferService(SendFunction send, BufferedAmountFunction bufferedAmount, Side side,
                                         QObject* parent)
    : QObject(parent), send_(std::move(send)), bufferedAmount_(std::move(bufferedAmount)), side_(side) {}

FileTransferService::~FileTransferService() = default;

void FileTransferService::handleFileTransferMessage(const std::uint8_t* data, std::size_t length) {
    if (length == 0) return;
    WireReader body(data + 1, length - 1);
    const auto type = static_cast<SubType>(data[0]);
    if (side_ == Side::Viewing && requestName(type)) return refuseToServe(type, body);
    switch (type) {
    case SubType::List: return serveListing(body);
    case SubType::Listing: return receiveListing(data + 1, length - 1);
    case SubType::DownloadRequest: return serveDownload(body);
    case SubType::DownloadStart: return receiveDownloadStart(body);
    case SubType::UploadStart: return receiveUploadStart(body);
    case SubType::UploadChunk: return receiveUploadChunk(body);
    case SubType::UploadDone: return finishUpload();
    case SubType::TransferError: return receiveTransferError(body);
    case SubType::DownloadChunk: return receiveDownloadChunk(body);
    case SubType::DownloadDone: return finishDownload();
    case SubType::MakeDirectory: return makeDirectory(body);
    }
    spdlog::warn("FileTransfer: unknown sub-type 0x{:02x}", data[0]);
}

// ---- Serving side ----

void FileTransferService::refuseToServe(SubType type, WireReader& body) {
    // Chunks belong to an upload that was refused at its start: dropped without an answer each.
    if (type == SubType::UploadChunk) {
        spdlog::debug("FileTransfer: dropped an upload chunk from the partner: this side serves no files");
        return;
    }
    const QString path = type == SubType::UploadDone ? QString() : body.string();
    spdlog::warn("FileTransfer: refused the partner's {} '{}': the viewing side serves no files", requestName(type),
                 shown(path));
    sendTransferError(kViewingSideServesNothing);
}

void FileTransferService::serveListing(WireReader& body) {
    const QString path = body.string();
    spdlog::info("FileTransfer: listing directory '{}'", shown(path));
    platform::SystemError error;
    std::optional<std::vector<files::DirectoryEntry>> found;
    if (isRootListing(path)) {
        // The top of the tree is listed as the service: it tells nothing a user could not see.
        found = files::listDirectory("/", error);
    } else {
        transferpath::CheckedTransferPath local;
        auto listed = asInteractiveUser([&] {
            local = transferpath::checkTransferPath(path);
            return local.accepted() ? files::listDirectory(local.path.toStdString(), error) : std::nullopt;
        });
        if (!listed) return sendTransferError(kNoUserSession);
        if (!local.accepted()) return refusePath(local, QStringLiteral("Access denied: invalid path"));
        found = std::move(*listed);
    }
    if (!found) {
        if (error.code == ENOENT || error.code == ENOTDIR)
            return sendTransferError(QStringLiteral("Directory does not exist: ") + path);
        return sendTransferError(QStringLiteral("Cannot list directory: ") + path);
    }
    sendMessage(listingMessage(path, sortedEntries(*found)));
}

void FileTransferService::serveDownload(WireReader& body) {
    const QString path = body.string();
    spdlog::info("FileTransfer: serving download request for '{}'", shown(path));
    if (sending_) return sendTransferError(QStringLiteral("Another file transfer is in progress"));
    transferpath::CheckedTransferPath local;
    platform::SystemError error;
    auto opened = asInteractiveUser([&] {
        local = transferpath::checkTransferPath(path);
        return local.accepted() ? files::openRegularFileForReading(local.path.toStdString(), error) : std::nullopt;
    });
    if (!opened) return sendTransferError(kNoUserSession);
    if (!local.accepted()) return refusePath(local, QStringLiteral("Access denied: invalid path"));
    auto& file = *opened;
    if (!file) return sendTransferError(QStringLiteral("Cannot open file: ") + path);
    if (file->size > kMaxTransferSize) return sendTransferError(QStringLiteral("File too large (max 100 MB): ") + path);

    if (!sendMessage(WireWriter(SubType::DownloadStart).u8(0).u64(file->size).take())) return;
    SendingFlag flag(this, sending_);
    const StreamResult result = streamFile(*file, SubType::DownloadChunk, [](std::uint64_t, std::size_t) {});
    if (result == StreamResult::Destroyed || result == StreamResult::SendFailed) return;
    if (result == StreamResult::ReadFailed) return sendTransferError(QStringLiteral("Cannot read file: ") + path);
    sendMessage(WireWriter(SubType::DownloadDone).take());
    spdlog::info("FileTransfer: download served '{}' ({} bytes in chunks)", shown(path), file->size);
}

void FileTransferService::receiveUploadStart(WireReader& body) {
    clearUpload();
    const QString path = body.string();
    const auto checked = asInteractiveUser([&] { return transferpath::checkTransferPath(path); });
    if (!checked) return sendTransferError(kNoUserSession);
    if (!checked->accepted()) return refusePath(*checked, QStringLiteral("Access denied: invalid upload path"));
    const QString local = checked->path;
    const auto size = body.u64();
    if (!size) return;
    if (*size > kMaxTransferSize) {
        spdlog::warn("FileTransfer: rejected oversize upload ({} bytes > {} cap)", *size, kMaxTransferSize);
        return sendTransferError(QStringLiteral("Upload too large (max 100 MB)"));
    }
    uploadPath_ = local;
    uploadExpectedSize_ = *size;
    uploadBuffer_.reserve(static_cast<qsizetype>(std::min(*size, kMaxReserve)));
    spdlog::info("FileTransfer: receiving upload '{}' ({} bytes)", shown(local), *size);
}

void FileTransferService::receiveUploadChunk(WireReader& body) {
    if (!body.u32() || uploadPath_.isEmpty()) return;
    const std::size_t size = body.remaining();
    // The announced size is the limit: a peer that sends more is cut off at once.
    if (std::uint64_t(uploadBuffer_.size()) + size <= std::min(uploadExpectedSize_, kMaxTransferSize)) {
        uploadBuffer_.append(reinterpret_cast<const char*>(body.current()), static_cast<qsizetype>(size));
        return;
    }
    spdlog::warn("FileTransfer: upload exceeded {}-byte cap, discarding chunk", std::min(uploadExpectedSize_, kMaxTransferSize));
    sendTransferError(QStringLiteral("Upload exceeded size cap"));
    clearUpload();
}

void FileTransferService::finishUpload() {
    if (uploadPath_.isEmpty()) {
        spdlog::warn("FileTransfer: UPLOAD_DONE without a prior valid UPLOAD_START — dropping {} buffered bytes",
                     uploadBuffer_.size());
        sendTransferError(QStringLiteral("Upload aborted: no valid upload in progress"));
        return clearUpload();
    }
    if (std::uint64_t(uploadBuffer_.size()) != uploadExpectedSize_) {
        spdlog::warn("FileTransfer: upload '{}' ended after {} of {} bytes", shown(uploadPath_), uploadBuffer_.size(),
                     uploadExpectedSize_);
        sendTransferError(QStringLiteral("Upload incomplete: received %1 of %2 bytes")
                              .arg(uploadBuffer_.size())
                              .arg(uploadExpectedSize_));
        return clearUpload();
    }
    platform::SystemError error;
    const auto written = asInteractiveUser([&] {
        return files::writeFileReplacing(uploadPath_.toStdString(), uploadBuffer_.constData(),
                                         static_cast<std::size_t>(uploadBuffer_.size()), error);
    });
    if (!written) {
        sendTransferError(kNoUserSession);
    } else if (!*written) {
        spdlog::warn("FileTransfer: writing '{}' failed: {}", shown(uploadPath_), error.text());
        sendTransferError(QStringLiteral("Cannot write file: ") + uploadPath_);
    } else {
        spdlog::info("FileTransfer: received upload -> '{}' ({} bytes)", shown(uploadPath_), uploadBuffer_.size());
    }
    clearUpload();
}

void FileTransferService::makeDirectory(WireReader& body) {
    const QString path = body.string();
    transferpath::CheckedTransferPath local;
    platform::SystemError error;
    const auto made = asInteractiveUser([&] {
        local = transferpath::checkTransferPath(path);
        return local.accepted() && files::makeDirectories(local.path.toStdString(), error);
    });
    if (!made) return sendTransferError(kNoUserSession);
    if (!local.accepted()) return refusePath(local, QStringLiteral("Access denied: invalid directory path"));
    if (!*made) {
        spdlog::warn("FileTransfer: mkpath failed for '{}'", shown(local.path));
        return sendTransferError(QStringLiteral("Failed to create directory: ") + path);
    }
    createdDirectories_.insert(local.path);
    spdlog::info("FileTransfer: created directory '{}'", shown(local.path));
}

// ---- Requesting side ----

void FileTransferService::requestListing(const QString& remotePath) {
    if (requestedListings_.size() == kMaxRequestedListings) requestedListings_.removeFirst();
    requestedListings_.append(remotePath);
    sendMessage(WireWriter(SubType::List).string(remotePath).take());
    spdlog::info("FileTransfer: requested listing for '{}'", shown(remotePath));
}

void FileTransferService::requestCreateDirectory(const QString& remotePath) {
    sendMessage(WireWriter(SubType::MakeDirectory).string(remotePath).take());
    spdlog::info("FileTransfer: requested create directory '{}'", shown(remotePath));
}

void FileTransferService::requestDownload(const QString& remotePath, const QString& localPath) {
    const QString local = transferpath::validateTransferPath(localPath);
    if (local.isEmpty()) return emit fileError(QStringLiteral("Invalid local save path: %1").arg(localPath));
    clearDownload();
    downloadRequested_ = true;
    downloadLocalPath_ = local;
    downloadRemotePath_ = remotePath;
    if (!sendMessage(WireWriter(SubType::DownloadRequest).string(remotePath).take())) {
        clearDownload();
        return emit fileError(QStringLiteral("Cannot request the download: the session is not connected"));
    }
    spdlog::info("FileTransfer: requested download of '{}'", shown(remotePath));
}

void FileTransferService::receiveListing(const std::uint8_t* body, std::size_t size) {
    const Listing listing = parseListing(body, size);
    if (!requestedListings_.removeOne(listing.path)) {
        spdlog::warn("FileTransfer: listing for '{}' that was never requested — dropping", shown(listing.path));
        return;
    }
    spdlog::info("FileTransfer: received listing for '{}' ({} entries)", shown(listing.path), listing.entries.size());
    emit directoryListed(listing.path, listing.entries);
    if (!listing.cut) return;
    spdlog::warn("FileTransfer: listing for '{}' cut after {} entries", shown(listing.path), listing.entries.size());
    emit fileError(QStringLiteral("Cannot list directory: %1 (too large; only its first %2 entries are shown)")
                       .arg(listing.path)
                       .arg(listing.entries.size()));
}

void FileTransferService::receiveTransferError(WireReader& body) {
    const QString message = body.string().left(kMaxRemoteErrorText);
    spdlog::error("FileTransfer: remote error: {}", shown(message));
    // The partner gave up the download: whatever it sends for it afterwards was not asked for.
    if (downloadRequested_ && !belongsToAnotherRequest(message)) {
        spdlog::warn("FileTransfer: the download of '{}' ends at the partner's error", shown(downloadRemotePath_));
        clearDownload();
    }
    emit fileError(message);
}

void FileTransferService::receiveDownloadStart(WireReader& body) {
    const auto status = body.u8();
    if (!status) return;
    if (!downloadRequested_) {
        spdlog::warn("FileTransfer: DOWNLOAD_START with no requested download — dropping");
        return;
    }
    if (*status != 0) {
        clearDownload();
        return emit fileError(QStringLiteral("Remote file download failed"));
    }
    const auto size = body.u64();
    if (!size) return;
    if (*size > kMaxTransferSize) {
        clearDownload();
        return emit fileError(QStringLiteral("Remote file too large: %1 bytes (max %2)").arg(*size).arg(kMaxTransferSize));
    }
    downloadStarted_ = true;
    downloadExpectedSize_ = *size;
    downloadBuffer_.clear();
    downloadBuffer_.reserve(static_cast<qsizetype>(std::min(*size, kMaxReserve)));
    bytesTotal_ = static_cast<qint64>(*size);
    bytesTransferred_ = 0;
    transferClock_.start();
    // Accepted: the client hears at once that this download can no longer be refused, so that
    // a refusal arriving now is taken for a later request's (the partner may answer those while
    // it sends this file).
    emit fileDownloadProgress(downloadRemotePath_, 0);
    if (body.remaining() == 0) return;
    if (body.remaining() > *size) {
        spdlog::warn("FileTransfer: download exceeded cap ({} + {} > {}) — aborting", 0, body.remaining(), *size);
        clearDownload();
        return emit fileError(QStringLiteral("Remote file exceeded the allowed transfer size"));
    }
    appendDownloadBytes(body.current(), body.remaining());
    if (std::uint64_t(downloadBuffer_.size()) == downloadExpectedSize_) finishDownload();
}

void FileTransferService::receiveDownloadChunk(WireReader& body) {
    if (!body.u32()) return;
    if (!downloadStarted_) {
        spdlog::warn("FileTransfer: download chunk with no active download — dropping");
        return;
    }
    const std::size_t size = body.remaining();
    const std::uint64_t limit = std::min(downloadExpectedSize_, kMaxTransferSize);
    if (std::uint64_t(downloadBuffer_.size()) + size > limit) {
        spdlog::warn("FileTransfer: download exceeded cap ({} + {} > {}) — aborting", downloadBuffer_.size(), size, limit);
        clearDownload();
        return emit fileError(QStringLiteral("Remote file exceeded the allowed transfer size"));
    }
    appendDownloadBytes(body.current(), size);
}

void FileTransferService::appendDownloadBytes(const std::uint8_t* data, std::size_t size) {
    downloadBuffer_.append(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    addTransferredBytes(static_cast<qint64>(size));
    if (downloadExpectedSize_ > 0) {
        const auto percent = std::min<std::uint64_t>(std::uint64_t(downloadBuffer_.size()) * 100 / downloadExpectedSize_, 99);
        emit fileDownloadProgress(downloadRemotePath_, static_cast<int>(percent));
    }
}

void FileTransferService::finishDownload() {
    if (!downloadStarted_) {
        spdlog::warn("FileTransfer: DOWNLOAD_DONE with no active download — ignoring");
        return;
    }
    if (std::uint64_t(downloadBuffer_.size()) != downloadExpectedSize_) {
        const QString message = QStringLiteral("Remote file transfer incomplete: %1 of %2 bytes")
                                    .arg(downloadBuffer_.size())
                                    .arg(downloadExpectedSize_);
        clearDownload();
        return emit fileError(message);
    }
    const QString localPath = downloadLocalPath_;
    const QString remotePath = downloadRemotePath_;
    platform::SystemError error;
    const auto written = asInteractiveUser([&] {
        return files::writeFileReplacing(localPath.toStdString(), downloadBuffer_.constData(),
                                         static_cast<std::size_t>(downloadBuffer_.size()), error);
    });
    const qsizetype size = downloadBuffer_.size();
    clearDownload();
    if (!written) return emit fileError(QStringLiteral("Cannot write to local file: no interactive user session"));
    if (!*written) {
        spdlog::warn("FileTransfer: writing '{}' failed: {}", shown(localPath), error.text());
        return emit fileError(QStringLiteral("Cannot write to local file: %1").arg(localPath));
    }
    spdlog::info("FileTransfer: download complete -> '{}' ({} bytes)", shown(localPath), size);
    emit fileDownloadProgress(remotePath, 100);
    emit fileDownloadComplete(localPath);
}

void FileTransferService::sendFile(const QString& localPath, const QString& remotePath) {
    if (sending_) return emit fileError(QStringLiteral("Another file transfer is in progress"));
    transferpath::CheckedTransferPath local;
    platform::SystemError error;
    auto opened = asInteractiveUser([&] {
        local = transferpath::checkTransferPath(localPath);
        return local.accepted() ? files::openRegularFileForReading(local.path.toStdString(), error) : std::nullopt;
    });
    if (!opened) return emit fileError(QStringLiteral("Cannot open local file: no interactive user session"));
    if (!local.accepted()) {
        local.logRefusal();
        return emit fileError(QStringLiteral("Invalid local file path: %1").arg(localPath));
    }
    auto& file = *opened;
    if (!file) return emit fileError(QStringLiteral("Cannot open local file: %1").arg(localPath));
    if (file->size > kMaxTransferSize) return emit fileError(QStringLiteral("File too large (max 100 MB): %1").arg(localPath));

    bytesTotal_ = static_cast<qint64>(file->size);
    bytesTransferred_ = 0;
    transferClock_.start();
    const QString stopped = QStringLiteral("Upload of %1 stopped: the session is not connected").arg(localPath);
    if (!sendMessage(WireWriter(SubType::UploadStart).string(remotePath).u64(file->size).take()))
        return emit fileError(stopped);
    SendingFlag flag(this, sending_);
    uploadSending_ = localPath;
    const StreamResult result = streamFile(*file, SubType::UploadChunk, [&](std::uint64_t sent, std::size_t chunk) {
        if (file->size > 0) emit fileUploadProgress(remotePath, static_cast<int>(sent * 100 / file->size));
        addTransferredBytes(static_cast<qint64>(chunk));
    });
    // The end of the session reported the failure already (before the instance went away).
    if (result == StreamResult::Destroyed) return;
    uploadSending_.clear();
    if (sessionEnded_) return;
    if (result == StreamResult::SendFailed) return emit fileError(stopped);
    if (result == StreamResult::ReadFailed) return emit fileError(QStringLiteral("Cannot read local file: %1").arg(localPath));
    if (!sendMessage(WireWriter(SubType::UploadDone).string(remotePath).take())) return emit fileError(stopped);
    spdlog::info("FileTransfer: upload complete '{}' ({} bytes)", shown(remotePath), file->size);
    emit fileUploadComplete();
}

void FileTransferService::endSession() {
    sessionEnded_ = true;
    if (downloadRequested_) {
        spdlog::warn("FileTransfer: session ended during the download of '{}' ({} of {} bytes)", shown(downloadRemotePath_),
                     downloadBuffer_.size(), downloadExpectedSize_);
        const QString message = QStringLiteral("Download of %1 failed: the session ended").arg(downloadRemotePath_);
        clearDownload();
        emit fileError(message);
    }
    if (!uploadPath_.isEmpty())
        spdlog::warn("FileTransfer: session ended during the upload to '{}' — dropping {} bytes", shown(uploadPath_),
                     uploadBuffer_.size());
    clearUpload();
    if (!uploadSending_.isEmpty()) {
        spdlog::warn("FileTransfer: session ended during the upload of '{}'", shown(uploadSending_));
        const QString message = QStringLiteral("Upload of %1 failed: the session ended").arg(uploadSending_);
        uploadSending_.clear();
        emit fileError(message);
    }
}

bool FileTransferService::isCreatedDirectory(const QString& path) const {
    if (path.isEmpty()) return false;
    return createdDirectories_.contains(QDir::cleanPath(transferpath::mapPasteFolder(path)));
}

// ---- Sending ----

bool FileTransferService::sendMessage(const QByteArray& message) {
    if (!sessionEnded_ && send_ && send_(message)) return true;
    spdlog::warn("FileTransfer: message 0x{:02x} of {} bytes could not be sent", std::uint8_t(message[0]), message.size());
    return false;
}

void FileTransferService::sendTransferError(const QString& message) {
    sendMessage(WireWriter(SubType::TransferError).string(message).take());
}

void FileTransferService::refusePath(const transferpath::CheckedTransferPath& checked, const QString& message) {
    checked.logRefusal();
    sendTransferError(message);
}

FileTransferService::StreamResult FileTransferService::streamFile(
    const files::ReadableFile& file, SubType type, const std::function<void(std::uint64_t, std::size_t)>& afterChunk) {
    std::uint64_t offset = 0;
    while (offset < file.size) {
        if (!waitForSendBuffer()) return StreamResult::Destroyed;
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, file.size - offset));
        QByteArray chunk = chunkMessage(type, offset, want);
        platform::SystemError error;
        const std::int64_t got = files::readSome(file.fd, chunk.data() + kChunkHeaderSize, want, error);
        if (got <= 0) {
            spdlog::warn("FileTransfer: reading stopped at {} of {} bytes: {}", offset, file.size,
                         got < 0 ? error.text() : std::string("end of file"));
            return StreamResult::ReadFailed;
        }
        chunk.truncate(static_cast<qsizetype>(kChunkHeaderSize + std::size_t(got)));
        if (!sendMessage(chunk)) return StreamResult::SendFailed;
        offset += std::uint64_t(got);
        afterChunk(offset, std::size_t(got));
    }
    return StreamResult::Done;
}

bool FileTransferService::waitForSendBuffer() {
    QPointer<FileTransferService> self(this);
    if (!bufferedAmount_ || bufferedAmount_() <= kPacingHighWater) {
        // A transport that keeps up never makes the send wait, so the thread's other work (the
        // transport's keep-alives, received messages, timers) gets a turn every few milliseconds.
        if (yieldClock_.isValid() && yieldClock_.elapsed() < kYieldIntervalMs) return true;
        QCoreApplication::processEvents();
        if (!self) return false;
        yieldClock_.start();
        return true;
    }
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const std::uint64_t queued = bufferedAmount_();
        if (queued <= kPacingLowWater) return true;
        if (waited.elapsed() > pacingTimeout_.count()) {
            spdlog::warn("FileTransfer: send buffer drain wait timed out at {} bytes queued — transport likely stalled", queued);
            return true;
        }
        // Rather than sleeping (which would also stop this thread from feeding the transport's
        // socket), wait in the event loop for the next event, at the latest a 5 ms tick.
        QTimer tick;
        tick.setSingleShot(true);
        tick.start(5);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (!self) return false;
    }
}

void FileTransferService::addTransferredBytes(qint64 bytes) {
    bytesTransferred_ += bytes;
    const qint64 elapsed = std::max<qint64>(transferClock_.isValid() ? transferClock_.elapsed() : 0, 1);
    const qint64 rate = bytesTransferred_ * 1000 / elapsed;
    int percent = 0, eta = 0;
    if (bytesTotal_ > 0) {
        percent = static_cast<int>(bytesTransferred_ * 100 / bytesTotal_);
        eta = rate > 0 ? static_cast<int>((bytesTotal_ - bytesTransferred_) / rate) : 0;
    }
    emit transferStats(rate, eta, percent);
}

void FileTransferService::clearDownload() {
    downloadRequested_ = downloadStarted_ = false;
    downloadBuffer_ = QByteArray();
    downloadExpectedSize_ = 0;
}

void FileTransferService::clearUpload() {
    uploadPath_.clear();
    uploadBuffer_ = QByteArray();
    uploadExpectedSize_ = 0;
}

}  // namespace veltrix
