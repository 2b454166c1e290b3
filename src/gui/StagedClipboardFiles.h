#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

// The shared side of a paste: the partner uploads files into a fresh folder inside this device's
// paste staging folder, names them, and then presses Ctrl+V through the session, which pastes
// whatever this device's clipboard holds. So only files that the partner's paste can have put
// there may reach the clipboard: a root outside the staging folder, or a name that climbs out of
// the root, would let the partner paste any file this user can read wherever it chooses.
namespace veltrix::staged_files {

// True for a name that stays inside the folder it is joined to: not empty, not "." or "..", and
// free of "/", "\" and NUL.
bool isPlainFileName(const QString& name);

// The local folder of a staging root as the partner's service sent it (the paste folder's wire
// form mapped to this instance's staging folder), with links resolved; empty unless it is an
// existing folder strictly inside the staging folder.
QString localStagingRoot(const QString& wireRoot);

// The URLs of the named files in `localRoot` that are plain names of regular files (links
// excluded), in the order given. Each name left out is logged.
QList<QUrl> stagedFileUrls(const QString& localRoot, const QStringList& names);

}  // namespace veltrix::staged_files
