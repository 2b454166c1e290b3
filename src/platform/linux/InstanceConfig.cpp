#include "platform/InstanceConfig.h"

#include <QSettings>
#include <QString>

#include "platform/InstancePaths.h"

namespace veltrix::platform::config {

std::string filePath() {
    const auto root = paths::instanceRoot();
    return ((root.empty() ? std::filesystem::path("/etc/veltrix") : root) / "instance.ini").string();
}

std::optional<std::string> value(std::string_view key) {
    const QSettings file(QString::fromStdString(filePath()), QSettings::IniFormat);
    const QVariant v = file.value(QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())));
    if (!v.isValid()) return std::nullopt;
    return v.toString().toStdString();
}

}  // namespace veltrix::platform::config
