#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <unistd.h>

#include "core/FileTransferService.h"
#include "support/InteractiveUser.h"

namespace veltrix::test {

// Bytes that depend on their position and the seed, so a piece out of place is seen. Filled a
// word at a time: the largest files are 100 MiB, also under the sanitizers.
inline QByteArray patternBytes(std::size_t size, std::uint32_t seed = 1) {
    QByteArray data(static_cast<qsizetype>(size), Qt::Uninitialized);
    char* out = data.data();
    std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 7;
    for (std::size_t i = 0; i < size; i += 8) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const std::uint64_t word = state ^ (state >> 29);
        std::memcpy(out + i, &word, std::min<std::size_t>(8, size - i));
    }
    return data;
}

inline void writeFile(const std::filesystem::path& path, const QByteArray& data) {
    std::ofstream(path, std::ios::binary).write(data.constData(), data.size());
}

inline QByteArray readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    QByteArray bytes(static_cast<qsizetype>(in.tellg()), Qt::Uninitialized);
    in.seekg(0);
    in.read(bytes.data(), bytes.size());
    return bytes;
}

inline QByteArray sha256(const QByteArray& data) { return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex(); }

// The folders of a transfer test: `served` and `saved` belong to the interactive user (nobody),
// the instance root is open to it. Needs root.
struct TransferFolders {
    std::filesystem::path served, saved;

    explicit TransferFolders(const std::filesystem::path& root) {
        std::filesystem::permissions(root, std::filesystem::perms(0755));
        makeNobodyTheInteractiveUser();
        served = makeUserFolder(root / "served");
        saved = makeUserFolder(root / "saved");
    }
};

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
        local = std::make_unique<FileTransferService>(toRemote.sender(), toRemote.buffered(),
                                                      FileTransferService::Side::Viewing);
        remote = std::make_unique<FileTransferService>(toLocal.sender(), toLocal.buffered(),
                                                       FileTransferService::Side::Shared);
        toRemote.target = remote.get();
        toLocal.target = local.get();
        localRecord.attach(*local);
        remoteRecord.attach(*remote);
    }
};

}  // namespace veltrix::test
