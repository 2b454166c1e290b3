#pragma once

#include <QDateTime>

#include <filesystem>
#include <fstream>
#include <string>

namespace veltrix::test {

// The "[yyyy-MM-dd HH:mm:ss.zzz] " stamp of a log line written `secondsAgo` seconds ago (local time).
inline std::string logStamp(int secondsAgo) {
    return "[" + QDateTime::currentDateTime().addSecs(-secondsAgo).toString("yyyy-MM-dd HH:mm:ss").toStdString() + ".000] ";
}

// Writes `text` as the whole file, creating its folders.
inline void writeTextFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

}  // namespace veltrix::test
