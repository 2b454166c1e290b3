// VeltrixBackend: the stand-in backend (REST API, signaling, relay nodes, public-IP echo, the
// download host of updates and the help-desk host) on 127.0.0.1, for the demo and the end-to-end tests. scripts/backend starts it together with
// coturn and writes the devices' instance files.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <unistd.h>

#include "BackendServer.h"

using namespace veltrix::backend;

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

bool parsePort(const QString& text, quint16& port) {
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value > 65535) return false;
    port = quint16(value);
    return true;
}

bool parseSeconds(const QString& text, qint64& seconds) {
    bool ok = false;
    seconds = text.toLongLong(&ok);
    return ok && seconds > 0 && seconds <= 10LL * 365 * 24 * 3600;
}

[[noreturn]] void usageError(const QString& message) {
    std::fprintf(stderr, "VeltrixBackend: %s\n", qPrintable(message));
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("VeltrixBackend"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Local Veltrix backend on 127.0.0.1: REST API and signaling (plus a fail-over twin), relay node(s) and "
        "public-IP echo, the download host of updates and the help-desk host, all over TLS. A port of 0 lets the system choose; --endpoints-file tells which."));
    parser.addHelpOption();
    const QCommandLineOption cert("cert", "Server certificate chain (PEM).", "file");
    const QCommandLineOption key("key", "Server private key (PEM).", "file");
    const QCommandLineOption data("data-dir", "Folder of the registered devices (clients.json).", "folder");
    const QCommandLineOption apiPort("api-port", "REST API and signaling port (default 0).", "port", "0");
    const QCommandLineOption failoverPort("failover-port", "Fail-over REST API and signaling port (default 0).", "port", "0");
    const QCommandLineOption relayPort("relay-port", "Port of a relay node; repeat for more nodes (default one node on 0).", "port");
    const QCommandLineOption echoPort("echo-port", "Public-IP echo port (default 0).", "port", "0");
    const QCommandLineOption endpoints("endpoints-file", "Write the ports in use as JSON to this file once listening.", "file");
    const QCommandLineOption tokenLifetime("token-lifetime", "Lifetime of access tokens in seconds (default 3600).", "seconds", "3600");
    const QCommandLineOption relayWait("relay-wait", "Seconds a lone relay joiner waits for its partner (default 60).", "seconds", "60");
    const QCommandLineOption relayJoinTimeout("relay-join-timeout", "Seconds a relay connection has to send relay_join (default 10).", "seconds", "10");
    const QCommandLineOption relayAnyToken("relay-any-token", "Admit relay joins without checking the session's relay token (tests of the relay alone).");
    const QCommandLineOption company("company", "Company name; every registered device belongs to it.", "name");
    const QCommandLineOption companyFile("company-file", "Company file: {\"company_name\", \"every_device\", \"clients\": [{\"id\", \"label\"}]}.", "file");
    const QCommandLineOption turnHost("turn-host", "TURN host offered with the relay candidates (default 127.0.0.1).", "host", "127.0.0.1");
    const QCommandLineOption turnPort("turn-port", "TURN-over-TLS port offered with the relay candidates (default: none).", "port", "0");
    const QCommandLineOption turnUser("turn-user", "TURN user name (default veltrix).", "name", "veltrix");
    const QCommandLineOption turnPassword("turn-password", "TURN password (visible to every local user; prefer --turn-password-file).", "password");
    const QCommandLineOption turnPasswordFile("turn-password-file", "File whose first line is the TURN password.", "file");
    const QCommandLineOption handshakeRequest(
        "handshake-request", "Offer sessions to targets with SESSION_HANDSHAKE_REQUEST instead of SESSION_AUTO_ACCEPT.");
    const QCommandLineOption downloadPort("download-port", "Download host port (default 0).", "port", "0");
    const QCommandLineOption helpDeskPort("helpdesk-port", "Help-desk host port (default 0).", "port", "0");
    const QCommandLineOption updateManifest(
        "update-manifest", "Update manifest served as /download/VeltrixSetup.json, read at each request (default: 404).", "file");
    const QCommandLineOption updateDir("update-dir", "Folder whose files are served as /download/<name>.", "folder");
    const QCommandLineOption downloadRedirect(
        "download-redirect-port", "Test switch: the download host answers every request with a redirect to this port.", "port");
    const QCommandLineOption downloadOversized(
        "download-oversized-length", "Test switch: installers are announced as 200 MiB long, the rest sent as zero bytes.");
    const QCommandLineOption helpDeskReply(
        "helpdesk-reply",
        "How the help desk answers a form: success (default), and as test switches success-false, malformed, bom, "
        "non-https or none (never answers).",
        "kind", "success");
    const QCommandLineOption logLevel("log-level", "trace, debug, info, warn or error (default info).", "level", "info");
    parser.addOptions({cert, key, data, apiPort, failoverPort, relayPort, echoPort, endpoints, tokenLifetime, relayWait,
                       relayJoinTimeout, relayAnyToken, company, companyFile, turnHost, turnPort, turnUser, turnPassword,
                       turnPasswordFile, handshakeRequest, downloadPort, helpDeskPort, updateManifest, updateDir,
                       downloadRedirect, downloadOversized, helpDeskReply, logLevel});
    parser.process(app);

    spdlog::set_level(spdlog::level::from_str(parser.value(logLevel).toStdString()));
    spdlog::set_pattern("%Y-%m-%d %H:%M:%S.%e [%l] %v");

    BackendOptions options;
    if (!parser.isSet(cert) || !parser.isSet(key) || !parser.isSet(data)) usageError("--cert, --key and --data-dir are required");
    options.certificateFile = parser.value(cert);
    options.keyFile = parser.value(key);
    options.dataFolder = parser.value(data);
    if (!parsePort(parser.value(apiPort), options.apiPort) || !parsePort(parser.value(failoverPort), options.failoverPort) ||
        !parsePort(parser.value(echoPort), options.echoPort) || !parsePort(parser.value(turnPort), options.turn.port) ||
        !parsePort(parser.value(downloadPort), options.downloadPort) ||
        !parsePort(parser.value(helpDeskPort), options.helpDeskPort)) {
        usageError("ports are numbers from 0 to 65535");
    }
    if (parser.isSet(relayPort)) {
        options.relayPorts.clear();
        for (const QString& text : parser.values(relayPort)) {
            quint16 port = 0;
            if (!parsePort(text, port)) usageError("--relay-port takes a number from 0 to 65535");
            options.relayPorts.append(port);
        }
    }
    options.download.manifestFile = parser.value(updateManifest);
    options.download.updateFolder = parser.value(updateDir);
    options.download.oversizedLength = parser.isSet(downloadOversized);
    if (parser.isSet(downloadRedirect) &&
        (!parsePort(parser.value(downloadRedirect), options.download.redirectPort) || options.download.redirectPort == 0)) {
        usageError("--download-redirect-port takes a number from 1 to 65535");
    }
    const auto reply = HelpDeskHost::replyFromName(parser.value(helpDeskReply));
    if (!reply) usageError("--helpdesk-reply is one of success, success-false, malformed, bom, non-https, none");
    options.helpDeskReply = *reply;
    qint64 seconds = 0;
    if (!parseSeconds(parser.value(tokenLifetime), seconds)) usageError("--token-lifetime takes a positive number of seconds");
    options.tokenLifetime = std::chrono::seconds(seconds);
    if (!parseSeconds(parser.value(relayWait), seconds)) usageError("--relay-wait takes a positive number of seconds");
    options.relayLimits.partnerWait = std::chrono::seconds(seconds);
    if (!parseSeconds(parser.value(relayJoinTimeout), seconds)) usageError("--relay-join-timeout takes a positive number of seconds");
    options.relayLimits.joinTimeout = std::chrono::seconds(seconds);
    options.relayAcceptsAnyToken = parser.isSet(relayAnyToken);
    if (parser.isSet(handshakeRequest)) options.sessionOffer = SessionOffer::HandshakeRequest;
    if (parser.isSet(companyFile)) {
        QString error;
        if (!loadCompanyFile(parser.value(companyFile), options.company, error)) usageError(error);
    } else if (parser.isSet(company)) {
        options.company.name = parser.value(company);
        options.company.everyDevice = true;
    }
    options.turn.host = parser.value(turnHost);
    options.turn.username = parser.value(turnUser);
    options.turn.password = parser.value(turnPassword);
    if (parser.isSet(turnPasswordFile)) {
        QFile file(parser.value(turnPasswordFile));
        if (!file.open(QIODevice::ReadOnly)) usageError("cannot read " + file.fileName());
        options.turn.password = QString::fromUtf8(file.readLine(1024)).trimmed();
    }
    if (options.turn.port && options.turn.password.isEmpty()) usageError("--turn-port needs --turn-password");

    // SIGINT and SIGTERM end the event loop, so the device list is written before exit.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) return 1;
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [] {
        spdlog::info("Backend: stopping");
        QCoreApplication::quit();
    });
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    BackendServer server(options);
    if (!server.start()) {
        spdlog::critical("Backend: start-up failed");
        return 1;
    }
    if (parser.isSet(endpoints)) {
        QSaveFile file(parser.value(endpoints));
        const QByteArray json = server.endpointsJson() + '\n';
        if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit()) {
            spdlog::critical("Backend: cannot write {}", parser.value(endpoints).toStdString());
            return 1;
        }
    }
    const int status = app.exec();
    server.state().flush();
    return status;
}
