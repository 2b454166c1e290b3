// A client program for the end-to-end test: connects to the service with ServiceIpcClient, asks
// for the state and sends an unknown command, and prints what came back.
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <string>
#include <thread>

#include "agent/ServiceIpcClient.h"

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    veltrix::ServiceIpcClient client;
    bool gotState = false;
    bool gotError = false;
    QObject::connect(&client, &veltrix::ServiceIpcClient::stateChanged, [&](veltrix::SessionState state) {
        std::printf("STATE %s\n", std::string(veltrix::sessionStateName(state)).c_str());
        gotState = true;
    });
    QObject::connect(&client, &veltrix::ServiceIpcClient::sessionError, [&](const QString& error) {
        std::printf("ERROR %s\n", error.toStdString().c_str());
        gotError = true;
        if (gotState) app.exit(0);
    });
    bool opened = false;
    for (int attempt = 0; attempt < 50 && !opened; ++attempt) {
        opened = client.connectToService();
        if (!opened) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!opened) return 2;
    client.sendCommand({{"type", "GET_STATE"}});
    client.sendCommand({{"type", "FOO"}});
    QTimer::singleShot(5000, &app, [&] { app.exit(1); });
    const int code = app.exec();
    std::fflush(stdout);
    return gotState && gotError ? code : 1;
}
