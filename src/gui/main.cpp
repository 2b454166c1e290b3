// VeltrixClient: the desktop client, and the capture agent when started with "--headless".
#include <QStringList>

#include "agent/HeadlessAgent.h"
#include "gui/ClientEntry.h"

namespace {

QStringList argumentList(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

}  // namespace

int main(int argc, char** argv) {
    // The agent takes over before any Qt object exists.
    if (veltrix::wantsHeadless(argc, argv)) return veltrix::runHeadless(argc, argv);
    const veltrix::ClientOptions options = veltrix::parseClientOptions(argumentList(argc, argv));
    if (options.install || options.uninstall) return veltrix::runTaskInstallation(options);
    return veltrix::runClientGui(argc, argv, options);
}
