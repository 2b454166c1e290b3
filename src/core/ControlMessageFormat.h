#pragma once

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace veltrix {

// The payload formats of the control channel's text commands and clipboard-file announcements.
// Pure functions: they read bytes a partner sent and must hold for any of them.

// A command number read like the C library's decimal conversion: leading blanks and a sign
// allowed, reading stops at the first non-digit; no digit at all or a value outside 32 bits
// gives nothing.
std::optional<int> parseCommandNumber(std::string_view text);

// "W" "x" "H" around the first "x" of `text`, each read as above; nothing when there is no "x" or
// a number does not read.
std::optional<std::pair<int, int>> parseCommandSize(std::string_view text);

// MSG_CLIPBOARD_FILES after its type byte: u32 LE count (at most kMaxClipboardFiles), count
// entries of (u32 LE length, UTF-8 path), then one entry for the staging root. Bytes after the
// staging root are ignored.
inline constexpr std::uint32_t kMaxClipboardFiles = 1000;

struct ClipboardFilesMessage {
    QStringList paths;
    QString stagingRoot;
};

enum class ClipboardFilesStatus {
    Ok,
    BadCount,   // shorter than a count, or more than kMaxClipboardFiles entries
    Malformed,  // an entry runs past the end, or the staging root is missing or empty
};

ClipboardFilesStatus parseClipboardFiles(const std::uint8_t* payload, std::size_t size, ClipboardFilesMessage& out);

// The payload for `paths` staged at `stagingRoot` (no limit on the count: the receiver applies it).
// Only each path's last component travels: the partner reads nothing else, and the folders the
// files were copied from on this machine are none of its business.
std::string buildClipboardFiles(const QStringList& paths, const QString& stagingRoot);

// The last path component of each path; a path ending in a separator ("/" or "\") names nothing
// and is skipped.
QStringList clipboardFileNames(const QStringList& paths);

}  // namespace veltrix
