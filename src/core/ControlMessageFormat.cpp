#include "core/ControlMessageFormat.h"

#include <cctype>
#include <climits>

namespace veltrix {

namespace {

void appendLength(std::string& out, std::uint32_t length) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((length >> (8 * i)) & 0xff));
}

void appendEntry(std::string& out, const QString& value) {
    const QByteArray bytes = value.toUtf8();
    appendLength(out, static_cast<std::uint32_t>(bytes.size()));
    out.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

std::uint32_t readLength(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// One (u32 LE length, UTF-8) entry at `offset`; nothing when the payload ends first.
std::optional<QString> readEntry(const std::uint8_t* payload, std::size_t size, std::size_t& offset) {
    if (size - offset < 4) return std::nullopt;
    const std::uint32_t length = readLength(payload + offset);
    offset += 4;
    if (size - offset < length) return std::nullopt;
    QString value = QString::fromUtf8(reinterpret_cast<const char*>(payload + offset), static_cast<qsizetype>(length));
    offset += length;
    return value;
}

}  // namespace

std::optional<int> parseCommandNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const std::size_t firstDigit = i;
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) return std::nullopt;  // outside 32 bits already
    }
    if (i == firstDigit) return std::nullopt;
    if (negative) value = -value;
    if (value < INT_MIN || value > INT_MAX) return std::nullopt;
    return static_cast<int>(value);
}

std::optional<std::pair<int, int>> parseCommandSize(std::string_view text) {
    const auto x = text.find('x');
    if (x == std::string_view::npos) return std::nullopt;
    const auto width = parseCommandNumber(text.substr(0, x));
    const auto height = parseCommandNumber(text.substr(x + 1));
    if (!width || !height) return std::nullopt;
    return std::make_pair(*width, *height);
}

ClipboardFilesStatus parseClipboardFiles(const std::uint8_t* payload, std::size_t size, ClipboardFilesMessage& out) {
    out = {};
    if (size < 4 || readLength(payload) > kMaxClipboardFiles) return ClipboardFilesStatus::BadCount;
    const std::uint32_t count = readLength(payload);
    std::size_t offset = 4;
    for (std::uint32_t i = 0; i < count; ++i) {
        auto path = readEntry(payload, size, offset);
        if (!path) return ClipboardFilesStatus::Malformed;
        out.paths.append(std::move(*path));
    }
    auto root = readEntry(payload, size, offset);
    if (!root || root->isEmpty()) return ClipboardFilesStatus::Malformed;
    out.stagingRoot = std::move(*root);
    return ClipboardFilesStatus::Ok;
}

std::string buildClipboardFiles(const QStringList& paths, const QString& stagingRoot) {
    const QStringList names = clipboardFileNames(paths);
    std::string payload;
    appendLength(payload, static_cast<std::uint32_t>(names.size()));
    for (const QString& name : names) appendEntry(payload, name);
    appendEntry(payload, stagingRoot);
    return payload;
}

QStringList clipboardFileNames(const QStringList& paths) {
    QStringList names;
    for (const QString& path : paths) {
        const qsizetype cut = std::max(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\'));
        const QString name = path.mid(cut + 1);
        if (!name.isEmpty()) names.append(name);
    }
    return names;
}

}  // namespace veltrix
