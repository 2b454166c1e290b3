#include "gui/RemotePaths.h"

namespace veltrix::remote_paths {

namespace {

bool isSeparator(QChar c) { return c == u'/' || c == u'\\'; }

// "C:" or "C:/..." : a name that already says where it lives.
bool isRooted(const QString& name) {
    return (!name.isEmpty() && isSeparator(name.front())) || (name.size() >= 2 && name.at(1) == u':');
}

bool isTopView(const QString& folder) { return folder.isEmpty() || folder == u"/"; }

qsizetype lastSeparator(const QString& path) {
    return std::max(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\'));
}

}  // namespace

QString join(const QString& folder, const QString& name) {
    if (isTopView(folder)) return isRooted(name) ? name : QStringLiteral("/") + name;
    if (isSeparator(folder.back())) return folder + name;
    return folder + u'/' + name;
}

QString parent(const QString& path) {
    if (path.isEmpty()) return path;
    if (path.size() <= 3 && path.contains(u':')) return QString();
    const qsizetype cut = lastSeparator(path);
    if (cut <= 0) return QString();
    const QString up = path.left(cut);
    // "C:/Users" would go to "C:", which means "the current folder of drive C" and is refused.
    if (up.size() == 2 && up.at(1) == u':') return path.left(cut + 1);
    return up;
}

bool isPlainName(const QString& name) {
    if (name.isEmpty() || name == u"." || name == u"..") return false;
    for (const QChar c : name)
        if (isSeparator(c) || c == QChar(u'\0')) return false;
    return true;
}

QString fileName(const QString& path) {
    return path.mid(lastSeparator(path) + 1);
}

}  // namespace veltrix::remote_paths
