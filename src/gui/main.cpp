// VeltrixClient: the desktop client, and the capture agent when started with "--headless".
#include <cstdio>

#include <QStringList>

#include "gui/ClientEntry.h"

namespace {

// The headless capture agent's entry; it replaces this stand-in when it is built.
int runHeadlessAgent(int, char**) {
    std::fputs("VeltrixClient: the headless agent is not available in this build.\n", stderr);
    return 1;
}

QStringList argumentList(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

}  // namespace

int main(int argc, char** argv) {
    // The agent takes over before any Qt object exists.
    if (veltrix::wantsHeadless(argc, argv)) return runHeadlessAgent(argc, argv);
    const veltrix::ClientOptions options = veltrix::parseClientOptions(argumentList(argc, argv));
    if (options.install || options.uninstall) return veltrix::runTaskInstallation(options);
    return veltrix::runClientGui(argc, argv, options);
}
