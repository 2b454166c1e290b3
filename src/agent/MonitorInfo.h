#pragma once

#include <cstdint>
#include <string>

#include <QMetaType>
#include <QString>

namespace veltrix {

// One display as a capture backend knows it.
struct MonitorInfo {
    std::int32_t index = 0;
    std::string name;  // UTF-8 display device name
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool primary = false;
};

// One display as listed for the settings dialog.
struct MonitorListEntry {
    int index = 0;
    QString name;
    int width = 0;
    int height = 0;
    bool primary = false;
};

}  // namespace veltrix

Q_DECLARE_METATYPE(veltrix::MonitorInfo)
