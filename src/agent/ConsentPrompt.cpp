#include "agent/ConsentPrompt.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/InputDesktop.h"
#include "platform/ProcessSnapshot.h"

namespace veltrix {
namespace {

namespace desktops = platform::desktops;
namespace process = platform::process;

// The programs that show the consent (elevation) prompt.
constexpr std::array<std::string_view, 5> kConsentHosts = {
    "consent.exe", "consentui.exe", "consentux.exe", "useraccountcontrolsettings.exe", "credentialuibroker.exe"};
// The ones that count when they own the foreground window (not the settings program).
constexpr std::array<std::string_view, 4> kForegroundConsentHosts = {"consent.exe", "consentui.exe", "consentux.exe",
                                                                     "credentialuibroker.exe"};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

template <std::size_t N>
bool isOneOf(std::string_view name, const std::array<std::string_view, N>& names) {
    return std::any_of(names.begin(), names.end(), [name](std::string_view n) { return equalsIgnoringCase(name, n); });
}

// True when `path` names a file inside the system folder (not the folder itself, not a folder
// that merely starts with the same letters).
bool isUnderSystemDirectory(const std::string& path, const std::string& systemDir) {
    if (systemDir.empty() || path.size() <= systemDir.size() + 1) return false;
    return equalsIgnoringCase(std::string_view(path).substr(0, systemDir.size()), systemDir) &&
           path[systemDir.size()] == std::filesystem::path::preferred_separator;
}

std::string fileNameOf(const std::string& path) {
    const auto cut = path.find_last_of(std::filesystem::path::preferred_separator);
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

bool isConsentRunning() {
    const std::string systemDir = process::systemDirectory();
    if (systemDir.empty()) return false;
    for (const auto& entry : process::snapshotProcesses()) {
        if (!isOneOf(entry.exeName, kConsentHosts)) continue;
        const auto image = process::processImagePath(entry.pid);
        if (!image) continue;
        if (isUnderSystemDirectory(*image, systemDir)) {
            spdlog::info("isConsentRunning: verified System32 UAC host present");
            return true;
        }
        spdlog::warn("isConsentRunning: process named '{}' is NOT under System32 — ignoring (possible spoof)",
                     entry.exeName);
    }
    return false;
}

bool foregroundLooksLikeUac() {
    const auto pid = desktops::foregroundWindowProcess();
    if (!pid || *pid == process::currentProcessId()) return false;
    // A program this agent may not look at is any other account's program, or one whose file was
    // replaced: nothing says it is the prompt, and taking it for one would swap agents at every
    // focus change.
    const auto image = process::processImagePath(*pid);
    if (!image) return false;
    if (isUnderSystemDirectory(*image, process::systemDirectory()) &&
        isOneOf(fileNameOf(*image), kForegroundConsentHosts)) {
        spdlog::info("foregroundLooksLikeUac: System32 UAC host is foreground");
        return true;
    }
    return false;
}

}  // namespace veltrix
