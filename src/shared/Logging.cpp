#include "shared/Logging.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <system_error>
#include <vector>

#include "platform/CloseOnExec.h"
#include "shared/RotatingFileSink.h"

namespace veltrix::logging {
namespace {

void install(std::vector<spdlog::sink_ptr> sinks) {
    auto logger = std::make_shared<spdlog::logger>(kLoggerName, sinks.begin(), sinks.end());
    logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%l] [%t] %v");
    logger->set_level(spdlog::level::info);
    // Lines reach the file at once from info up, so a crash or a test reading the log loses none.
    logger->flush_on(spdlog::level::info);
    spdlog::drop(kLoggerName);
    spdlog::set_default_logger(logger);
    spdlog::flush_every(std::chrono::seconds(1));
}

// The truncated log is opened close-on-exec (the rotating one opens its files so itself), so no
// program the process starts inherits it and writes lines into it.
spdlog::file_event_handlers closeOnExec() {
    spdlog::file_event_handlers handlers;
    handlers.after_open = [](const spdlog::filename_t&, std::FILE* file) { platform::keepFromChildPrograms(file); };
    return handlers;
}

template <typename MakeSink>
bool initializeWith(const std::filesystem::path& path, bool alsoToConsole, MakeSink makeSink) {
    std::vector<spdlog::sink_ptr> sinks;
    if (alsoToConsole) sinks.push_back(std::make_shared<spdlog::sinks::stderr_sink_mt>());
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    bool ok = true;
    try {
        sinks.push_back(makeSink());
    } catch (const spdlog::spdlog_ex&) {
        ok = false;
        if (!alsoToConsole) sinks.push_back(std::make_shared<spdlog::sinks::stderr_sink_mt>());
    }
    install(std::move(sinks));
    if (!ok) spdlog::error("Logging: cannot open log file '{}'", path.string());
    return ok;
}

}  // namespace

bool initialize(const RotatingFile& file, bool alsoToConsole) {
    return initializeWith(file.path, alsoToConsole, [&] {
        return std::make_shared<RotatingFileSink>(file.path, file.maxBytes, file.maxFiles);
    });
}

bool initialize(const TruncatedFile& file, bool alsoToConsole) {
    return initializeWith(file.path, alsoToConsole, [&] {
        return std::make_shared<spdlog::sinks::basic_file_sink_mt>(file.path.string(), true, closeOnExec());
    });
}

void initializeConsole() { install({std::make_shared<spdlog::sinks::stderr_sink_mt>()}); }

std::optional<spdlog::level::level_enum> levelFromName(std::string_view name) {
    if (name == "trace") return spdlog::level::trace;
    if (name == "debug") return spdlog::level::debug;
    if (name == "info") return spdlog::level::info;
    if (name == "warning" || name == "warn") return spdlog::level::warn;
    if (name == "error") return spdlog::level::err;
    if (name == "critical") return spdlog::level::critical;
    return std::nullopt;
}

void setLevel(spdlog::level::level_enum level) { spdlog::set_level(level); }

void flush() {
    if (auto logger = spdlog::default_logger()) logger->flush();
}

namespace {

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 sequence at the start of `text` (shortest form, no
// surrogates, at most U+10FFFF), or 0 when it does not start with one.
std::size_t utf8SequenceLength(std::string_view text) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = at(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead == 0xE0) length = 3, low = 0xA0;
    else if (lead >= 0xE1 && lead <= 0xEC) length = 3;
    else if (lead == 0xED) length = 3, high = 0x9F;
    else if (lead >= 0xEE && lead <= 0xEF) length = 3;
    else if (lead == 0xF0) length = 4, low = 0x90;
    else if (lead >= 0xF1 && lead <= 0xF3) length = 4;
    else if (lead == 0xF4) length = 4, high = 0x8F;
    else return 0;
    if (text.size() < length || at(1) < low || at(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (!isContinuation(at(i))) return 0;
    return length;
}

std::uint32_t codePoint(std::string_view sequence) {
    const auto at = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(sequence[i])); };
    switch (sequence.size()) {
    case 1: return at(0);
    case 2: return (at(0) & 0x1F) << 6 | (at(1) & 0x3F);
    case 3: return (at(0) & 0x0F) << 12 | (at(1) & 0x3F) << 6 | (at(2) & 0x3F);
    default: return (at(0) & 0x07) << 18 | (at(1) & 0x3F) << 12 | (at(2) & 0x3F) << 6 | (at(3) & 0x3F);
    }
}

// Characters beyond ASCII that end a line or reorder the text around them on display.
bool disguisesTheLine(std::uint32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F || c == 0x061C;
}

void appendEscaped(std::string& out, unsigned char byte) {
    static constexpr char kDigits[] = "0123456789abcdef";
    switch (byte) {
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    case '\\': out += "\\\\"; return;
    default: break;
    }
    if (byte >= 0x20 && byte < 0x7F) {
        out.push_back(static_cast<char>(byte));
        return;
    }
    out += "\\x";
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0x0F]);
}

// `text` is the start of a text of `totalSize` bytes.
std::string escapeAndCut(std::string_view text, std::size_t max, std::size_t totalSize) {
    std::size_t cut = std::min(text.size(), max);
    // Back up over continuation bytes so a multi-byte character is never split.
    if (cut < totalSize) {
        while (cut > 0 && cut < text.size() && isContinuation(static_cast<unsigned char>(text[cut]))) --cut;
    }
    std::string out;
    out.reserve(cut + 32);
    for (std::size_t i = 0; i < cut;) {
        const std::size_t length = utf8SequenceLength(text.substr(i, cut - i));
        if (length <= 1) {
            appendEscaped(out, static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        const std::string_view sequence = text.substr(i, length);
        if (const std::uint32_t c = codePoint(sequence); disguisesTheLine(c)) {
            out += fmt::format("\\u{:04x}", c);
        } else {
            out.append(sequence);
        }
        i += length;
    }
    if (cut < totalSize) out += "... (" + std::to_string(totalSize - cut) + " more bytes)";
    return out;
}

// The number of bytes of `text` in UTF-8 (a lone surrogate takes three, as QString writes it).
std::size_t utf8Size(QStringView text) {
    std::size_t size = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < 0x80) size += 1;
        else if (c < 0x800) size += 2;
        else if (QChar::isHighSurrogate(c) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) size += 4, ++i;
        else size += 3;
    }
    return size;
}

}  // namespace

std::string peerText(std::string_view text, std::size_t max) { return escapeAndCut(text, max, text.size()); }

std::string peerText(const QString& text, std::size_t max) {
    // Only the start that can be shown is converted: a peer's text may be megabytes long. Each
    // UTF-16 unit gives at least one byte, so `max` + 1 units reach past the cut.
    qsizetype units = static_cast<std::size_t>(text.size()) > max ? static_cast<qsizetype>(max) + 1 : text.size();
    if (units < text.size() && text[units - 1].isHighSurrogate()) ++units;  // never half a pair
    const QStringView head = QStringView(text).left(units);
    const QByteArray utf8 = head.toUtf8();
    const std::size_t total = static_cast<std::size_t>(utf8.size()) + utf8Size(QStringView(text).mid(head.size()));
    return escapeAndCut(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())), max, total);
}

}  // namespace veltrix::logging
