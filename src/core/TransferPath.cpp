#include "core/TransferPath.h"

#include <QDir>
#include <QStringList>

#include <spdlog/spdlog.h>

#include "platform/InstancePaths.h"
#include "platform/NoFollowFiles.h"
#include "shared/Logging.h"

namespace veltrix::transferpath {
namespace {

QString fileNamePart(const QString& path) {
    const qsizetype cut = std::max(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\'));
    return path.mid(cut + 1);
}

bool isDriveRelative(const QString& path) {
    return path.size() >= 2 && path[1] == u':' && (path.size() == 2 || (path[2] != u'\\' && path[2] != u'/'));
}

// The first character Windows forbids in a path (after a drive prefix), or NUL when none; a NUL
// character itself is reported as "\0".
std::optional<QChar> illegalCharacter(const QString& path) {
    const QString rest = path.size() >= 2 && path[1] == u':' ? path.mid(2) : path;
    for (const QChar c : rest) {
        if (c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' || c == u'*' || c == QChar(0))
            return c;
    }
    return std::nullopt;
}

CheckedTransferPath refuse(const char* format, const QString& path) {
    return {QString(), fmt::format(fmt::runtime(format), logging::peerText(path))};
}

}  // namespace

QString mapPasteFolder(const QString& path) {
    static const QString wire = QString::fromLatin1(kWirePasteFolder);
    if (path != wire && !path.startsWith(wire + u'/')) return path;
    return QString::fromStdString(platform::paths::pasteStagingDir().string()) + path.mid(wire.size());
}

bool isReservedDeviceName(const QString& path) {
    QString name = fileNamePart(path);
    const qsizetype dot = name.indexOf(u'.');
    if (dot >= 0) name.truncate(dot);
    while (!name.isEmpty() && (name.back() == u' ' || name.back() == u'.')) name.chop(1);
    name = name.toUpper();
    static const QStringList reserved = [] {
        QStringList names{"CON", "PRN", "AUX", "NUL"};
        for (int i = 1; i <= 9; ++i) names << QStringLiteral("COM%1").arg(i) << QStringLiteral("LPT%1").arg(i);
        return names;
    }();
    return reserved.contains(name);
}

void CheckedTransferPath::logRefusal() const {
    if (!accepted()) spdlog::warn("{}", refusal);
}

QString validateTransferPath(const QString& path) {
    const CheckedTransferPath checked = checkTransferPath(path);
    checked.logRefusal();
    return checked.path;
}

CheckedTransferPath checkTransferPath(const QString& path) {
    if (path.contains(QStringLiteral("..")))
        return refuse("FileTransfer: path traversal attempt blocked: '{}'", path);
    if (path.startsWith(QStringLiteral("\\\\")) || path.startsWith(QStringLiteral("//")))
        return refuse("FileTransfer: UNC path rejected: '{}'", path);
    if (isDriveRelative(path)) return refuse("FileTransfer: drive-relative path rejected: '{}'", path);
    if (const auto bad = illegalCharacter(path))
        return {QString(), fmt::format("FileTransfer: illegal character '{}' in path '{}'", logging::peerText(QString(*bad)),
                                       logging::peerText(path))};
    if (isReservedDeviceName(path)) return refuse("FileTransfer: NTFS reserved device name rejected: '{}'", path);
    if (!path.startsWith(u'/')) return refuse("FileTransfer: relative path rejected: '{}'", path);

    // With ".." refused, cleaning only folds "." and repeated separators; no link is resolved.
    const QString result = QDir::cleanPath(mapPasteFolder(path));
    if (isReservedDeviceName(result))
        return refuse("FileTransfer: canonical reserved device name rejected: '{}'", result);
    platform::SystemError error;
    if (platform::files::probePath(result.toStdString(), error) == platform::files::PathState::Link)
        return refuse("FileTransfer: reparse point (symlink/junction) rejected: '{}'", result);
    return {result, {}};
}

}  // namespace veltrix::transferpath
