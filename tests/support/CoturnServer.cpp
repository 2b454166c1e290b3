#include "support/CoturnServer.h"

#include <QElapsedTimer>
#include <QStandardPaths>
#include <QStringList>
#include <QThread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veltrix::test {

namespace {

// A port free on 127.0.0.1 for both TCP and UDP at the time of the call.
std::uint16_t freePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(tcp, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ::close(tcp);
            continue;
        }
        const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
        const bool udpFree = ::bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(udp);
        ::close(tcp);
        if (udpFree) return ntohs(address.sin_port);
    }
    return 0;
}

bool accepts(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

CoturnServer::CoturnServer(const std::filesystem::path& folder, const std::filesystem::path& certificate,
                           const std::filesystem::path& key, std::string user, std::string password)
    : folder_(folder), user_(std::move(user)), password_(std::move(password)) {
    std::filesystem::create_directories(folder_);
    const QString program = QStandardPaths::findExecutable("turnserver");
    if (program.isEmpty()) return;
    tlsPort_ = freePort();
    plainPort_ = freePort();
    if (tlsPort_ == 0 || plainPort_ == 0 || tlsPort_ == plainPort_) return;
    const auto path = [](const std::filesystem::path& p) { return QString::fromStdString(p.string()); };
    const QStringList arguments = {
        "-n", "--listening-ip=127.0.0.1", "--relay-ip=127.0.0.1",
        QString("--listening-port=%1").arg(plainPort_), QString("--tls-listening-port=%1").arg(tlsPort_),
        "--alt-listening-port=0", "--alt-tls-listening-port=0",
        // TLS only on TCP: coturn would otherwise take plain TURN on its TLS port too.
        "--cert=" + path(certificate), "--pkey=" + path(key), "--no-dtls", "--no-tcp",
        "--lt-cred-mech", QString::fromStdString("--user=" + user_ + ":" + password_), "--realm=veltrix.test",
        "--fingerprint", "--userdb=" + path(folder_ / "turndb"),
        "--allow-loopback-peers", "--no-cli", "--no-multicast-peers", "--no-software-attribute",
        "--pidfile=" + path(folder_ / "turnserver.pid"), "--log-file=" + path(logFile()), "--simple-log",
        "--no-stdout-log",
    };
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.setStandardOutputFile(QProcess::nullDevice());
    process_.start(program, arguments);
    if (!process_.waitForStarted(3000)) return;
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < 5000 && process_.state() == QProcess::Running) {
        if (accepts(tlsPort_)) {
            running_ = true;
            return;
        }
        QThread::msleep(20);
    }
}

CoturnServer::~CoturnServer() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    if (!process_.waitForFinished(2000)) {
        process_.kill();
        process_.waitForFinished(1000);
    }
}

}  // namespace veltrix::test
