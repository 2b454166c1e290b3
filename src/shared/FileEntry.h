#pragma once

#include <QString>
#include <cstdint>

namespace veltrix {

// One entry of a remote directory listing.
struct FileEntry {
    QString name;
    bool isDir = false;
    std::int64_t size = 0;  // 0 for directories; a drive's total size for a drive
};

}  // namespace veltrix
