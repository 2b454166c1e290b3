#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <filesystem>
#include <fstream>
#include <memory>
#include <unistd.h>

#include "core/FileTransferService.h"
#include "platform/InstancePaths.h"
#include "platform/TerminalSessions.h"

namespace veltrix::test {

inline constexpr uid_t kNobody = 65534;

// Makes "nobody" the interactive user (the console session's user of the sessions stand-in).
inline void makeNobodyTheInteractiveUser() {
    platform::paths::ensureDirectory(platform::paths::runDir());
    std::ofstream(platform::sessions::sessionsFilePath())
        << R"({"sessions": [{"id": 1, "user": "nobody", "uid": 65534, "state": "active", "console": true}]})";
}

// A folder owned by the interactive user.
inline std::filesystem::path makeUserFolder(const std::filesystem::path& path) {
    std::filesystem::create_directories(path);
    [[maybe_unused]] const int changed = ::chown(path.c_str(), kNobody, kNobody);
    return path;
}

inline QByteArray patternBytes(std::size_t size, std::uint32_t seed = 1) {
    QByteArray data(static_cast<qsizetype>(size), Qt::Uninitialized);
    std::uint32_t state = seed * 2654435761u + 7;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        data[static_cast<qsizetype>(i)] = static_cast<char>(state >> 24);
    }
    return data;
}

inline void writeFile(const std::filesystem::path& path, const QByteArray& data) {
    std::ofstream(path, std::ios::binary).write(data.constData(), data.size());
}

inline QByteArray readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

inline QByteArray sha256(const QByteArray& data) { return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex(); }

// What one FileTransferService reported.
struct TransferRecord {
    QObject context;
    QStringList errors;
    QList<QPair<QString, QList<FileEntry>>> listings;
    QStringList downloadsComplete;
    QList<int> downloadProgress;
    int uploadsComplete = 0;

    void attach(FileTransferService& service) {
        QObject::connect(&service, &FileTransferService::fileError, &context, [this](const QString& e) { errors << e; });
        QObject::connect(&service, &FileTransferService::directoryListed, &context,
                         [this](const QString& p, const QList<FileEntry>& e) { listings.append({p, e}); });
        QObject::connect(&service, &FileTransferService::fileDownloadComplete, &context,
                         [this](const QString& p) { downloadsComplete << p; });
        QObject::connect(&service, &FileTransferService::fileDownloadProgress, &context,
                         [this](const QString&, int percent) { downloadProgress << percent; });
        QObject::connect(&service, &FileTransferService::fileUploadComplete, &context, [this] { ++uploadsComplete; });
    }
};

// One direction of a link between two services in one process: messages are delivered through
// the event loop, and the bytes not yet delivered count as the transport's buffered amount.
class QueuedLink {
public:
    bool up = true;
    std::uint64_t pending = 0;
    std::uint64_t messagesSent = 0;
    QPointer<FileTransferService> target;

    bool send(const QByteArray& message) {
        if (!up) return false;
        pending += std::uint64_t(message.size());
        ++messagesSent;
        QMetaObject::invokeMethod(
            &context_,
            [this, message] {
                pending -= std::uint64_t(message.size());
                if (up && target)
                    target->handleFileTransferMessage(reinterpret_cast<const std::uint8_t*>(message.constData()),
                                                      std::size_t(message.size()));
            },
            Qt::QueuedConnection);
        return true;
    }
    FileTransferService::SendFunction sender() {
        return [this](const QByteArray& m) { return send(m); };
    }
    FileTransferService::BufferedAmountFunction buffered() {
        return [this] { return pending; };
    }

private:
    QObject context_;
};

// Two services wired back to back: `local` issues requests, `remote` serves them.
struct BackToBack {
    QueuedLink toRemote, toLocal;
    std::unique_ptr<FileTransferService> local, remote;
    TransferRecord localRecord, remoteRecord;

    BackToBack() {
        local = std::make_unique<FileTransferService>(toRemote.sender(), toRemote.buffered());
        remote = std::make_unique<FileTransferService>(toLocal.sender(), toLocal.buffered());
        toRemote.target = remote.get();
        toLocal.target = local.get();
        localRecord.attach(*local);
        remoteRecord.attach(*remote);
    }
};

}  // namespace veltrix::test
