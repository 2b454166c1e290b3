#pragma once

#include <QStringList>

#include <optional>

#include <spdlog/common.h>

namespace veltrix {

// What the desktop client's command line asks for (arguments compared exactly).
struct ClientOptions {
    bool install = false;
    bool uninstall = false;  // ignored when install is also given
    bool minimized = false;
    // The first "--log-level" and its level in any letter case; info for anything else.
    spdlog::level::level_enum logLevel = spdlog::level::info;
};

ClientOptions parseClientOptions(const QStringList& arguments);

// True when an argument after the program name is "--headless".
bool wantsHeadless(int argc, char** argv);

// "--install" / "--uninstall": creates or removes the log-on task and reports on standard error.
// Runs before the single-instance check and before the log file is opened, so it works beside a
// running client and never truncates that client's log. 0 on success, 1 otherwise.
int runTaskInstallation(const ClientOptions& options);

// The GUI: single instance, logging, look and translations, the service check, the pipe, the
// main window and the event loop. Its result is the exit code.
int runClientGui(int argc, char** argv, const ClientOptions& options);

}  // namespace veltrix
