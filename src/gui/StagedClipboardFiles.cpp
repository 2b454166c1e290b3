#include "gui/StagedClipboardFiles.h"

#include <QDir>
#include <QFileInfo>

#include <spdlog/spdlog.h>

#include "core/TransferPath.h"
#include "platform/InstancePaths.h"

namespace veltrix::staged_files {
namespace {

// Both paths clean and absolute.
bool isStrictlyInside(const QString& path, const QString& folder) {
    return path.size() > folder.size() + 1 && path.startsWith(folder) && path.at(folder.size()) == u'/';
}

}  // namespace

bool isPlainFileName(const QString& name) {
    return !name.isEmpty() && name != u"." && name != u".." && !name.contains(u'/') && !name.contains(u'\\') &&
           !name.contains(QChar(0));
}

QString localStagingRoot(const QString& wireRoot) {
    if (wireRoot.contains(QChar(0))) return {};
    const QString stagingFolder = QDir::cleanPath(QString::fromStdString(platform::paths::pasteStagingDir().string()));
    // The literal path first, so ".." cannot step out before links are looked at.
    const QString mapped = QDir::cleanPath(transferpath::mapPasteFolder(wireRoot));
    if (!isStrictlyInside(mapped, stagingFolder)) return {};
    // Then the folders as they really are: a link inside the staging folder may point anywhere.
    const QString realFolder = QFileInfo(stagingFolder).canonicalFilePath();
    const QFileInfo root(mapped);
    const QString realRoot = root.canonicalFilePath();
    if (realFolder.isEmpty() || realRoot.isEmpty() || !root.isDir() || !isStrictlyInside(realRoot, realFolder)) return {};
    return realRoot;
}

QList<QUrl> stagedFileUrls(const QString& localRoot, const QStringList& names) {
    QList<QUrl> urls;
    for (const QString& name : names) {
        if (!isPlainFileName(name)) {
            spdlog::warn("onRemoteClipboardFiles: left out '{}' (not a plain file name)", name.toStdString());
            continue;
        }
        const QFileInfo file(localRoot + u'/' + name);
        if (file.isSymLink() || !file.isFile()) {
            if (file.exists() || file.isSymLink())
                spdlog::warn("onRemoteClipboardFiles: left out '{}' (not a regular file)", name.toStdString());
            continue;
        }
        urls.append(QUrl::fromLocalFile(file.filePath()));
    }
    return urls;
}

}  // namespace veltrix::staged_files
