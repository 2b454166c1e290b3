#include "shared/Logging.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <system_error>
#include <vector>

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
        return std::make_shared<spdlog::sinks::basic_file_sink_mt>(file.path.string(), true);
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

std::string peerText(std::string_view text, std::size_t max) {
    if (text.size() <= max) return std::string(text);
    std::size_t cut = max;
    // Back up over continuation bytes so a multi-byte character is never split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + "... (" + std::to_string(text.size() - cut) + " more bytes)";
}

}  // namespace veltrix::logging
