#include "gui/LocalUploadPlan.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

namespace veltrix {

namespace {

QString withTrailingSeparator(const QString& folder) {
    if (folder.endsWith(u'/') || folder.endsWith(u'\\')) return folder;
    return folder + u'/';
}

void planFolder(const QFileInfo& folder, const QString& remoteTarget, LocalUploadPlan& plan) {
    plan.remoteFolders << remoteTarget;
    const QDir root(folder.absoluteFilePath());
    // No QDir::Hidden and no QDir::System: hidden entries, broken links, sockets, FIFOs and
    // devices stay behind. Without FollowSymlinks a linked folder is never entered.
    QDirIterator entries(root.path(), QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        const QFileInfo entry(entries.next());
        // The partner refuses any path through a link, so links are not offered.
        if (entry.isSymLink()) continue;
        const QString remote = remoteTarget + u'/' + QDir::fromNativeSeparators(root.relativeFilePath(entry.filePath()));
        if (entry.isDir())
            plan.remoteFolders << remote;
        else if (entry.isFile())
            plan.uploads.append({entry.absoluteFilePath(), remote});
    }
}

}  // namespace

LocalUploadPlan LocalUploadPlan::build(const QStringList& localPaths, const QString& remoteFolder) {
    LocalUploadPlan plan;
    const QString base = withTrailingSeparator(remoteFolder);
    for (const QString& path : localPaths) {
        // A folder URL may end in a separator, which would leave its name empty.
        const QFileInfo info(QDir::cleanPath(path));
        if (!info.exists()) continue;
        // The item the user chose is taken where it really lives (the service reads no path
        // through a link), under the name the user saw.
        const QFileInfo real(info.canonicalFilePath());
        if (real.isDir())
            planFolder(real, base + info.fileName(), plan);
        else if (real.isFile())
            plan.uploads.append({real.absoluteFilePath(), base + info.fileName()});
    }
    return plan;
}

}  // namespace veltrix
