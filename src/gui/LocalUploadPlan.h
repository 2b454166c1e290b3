#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace veltrix {

// What copying local files and folders into one remote folder takes: the remote folders to create
// (parents before children) and the files to upload, as (local path, remote path) pairs.
struct LocalUploadPlan {
    QStringList remoteFolders;
    QList<QPair<QString, QString>> uploads;

    // Plans `localPaths` into `remoteFolder` (each under its own name, read from where a link to it
    // leads). A file goes directly into the folder; a folder is
    // created there and walked: every sub-folder is created and every file uploaded at the same
    // place below it. Inside a folder, hidden entries, links (never followed, so nothing loops; the
    // service refuses paths through links anyway), sockets, FIFOs and devices are left out; paths
    // that do not exist are skipped.
    static LocalUploadPlan build(const QStringList& localPaths, const QString& remoteFolder);
};

}  // namespace veltrix
