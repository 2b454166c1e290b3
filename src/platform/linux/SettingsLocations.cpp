#include "platform/SettingsLocations.h"

#include <QSettings>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/InstancePaths.h"

namespace veltrix::platform::settings {
namespace fs = std::filesystem;
namespace {

// Creates the store file with an exact mode (not the umask's), so the machine store is never
// group- or world-writable. QSettings rewrites the file through a temporary one and keeps the
// mode of the file it replaces.
void createWithMode(const fs::path& file, mode_t mode) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return;  // exists already, or this account may not create it
    ::fchmod(fd, mode);
    ::close(fd);
}

// The folders of a store: the folders above the scope's own are shared with other accounts (under
// an instance root, the folder of every user's settings), so only the scope's folder and those
// below it are private to a user store.
bool ensureStoreFolder(Scope scope, const fs::path& folder) {
    if (scope == Scope::Machine) return paths::ensureDirectory(folder, 0755);
    return paths::ensureDirectory(paths::userConfigDir().parent_path(), 0755) &&
           paths::ensureDirectory(folder, 0700);
}

}  // namespace

fs::path storePath(Scope scope, const QString& organisation, const QString& application) {
    const fs::path base = scope == Scope::Machine ? paths::machineConfigDir() : paths::userConfigDir();
    return base / organisation.toStdString() / (application.toStdString() + ".ini");
}

std::unique_ptr<QSettings> openStore(Scope scope, const QString& organisation, const QString& application) {
    const fs::path file = storePath(scope, organisation, application);
    if (ensureStoreFolder(scope, file.parent_path())) {
        createWithMode(file, scope == Scope::Machine ? 0644 : 0600);
    }
    return std::make_unique<QSettings>(QString::fromStdString(file.string()), QSettings::IniFormat);
}

}  // namespace veltrix::platform::settings
