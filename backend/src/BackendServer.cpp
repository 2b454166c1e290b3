#include "BackendServer.h"

#include <QFile>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include "TlsServerConfig.h"

namespace veltrix::backend {
namespace {

constexpr int kMaxFileConnections = 16;

}  // namespace

BackendServer::BackendServer(BackendOptions options, QObject* parent) : QObject(parent), options_(std::move(options)) {}

BackendServer::~BackendServer() {
    // Connections first, then what they refer to.
    relays_.clear();
    helpDeskServer_.reset();
    downloadServer_.reset();
    echo_.reset();
    failover_.reset();
    primary_.reset();
    signaling_.reset();
    api_.reset();
    state_.reset();
}

bool BackendServer::start() {
    const auto tls = loadServerTls(options_.certificateFile, options_.keyFile);
    if (!tls) return false;

    state_ = std::make_unique<BackendState>(options_.dataFolder, options_.tokenLifetime);
    if (!state_->load()) return false;
    state_->company() = options_.company;
    signaling_ = std::make_unique<SignalingHub>(*state_);
    signaling_->setAuthTimeoutMs(options_.signalingAuthTimeoutMs);
    api_ = std::make_unique<ApiService>(*state_, *signaling_);

    const QHostAddress loopback = QHostAddress::LocalHost;
    auto handler = [this](const HttpRequest& request) { return api_->handle(request); };
    auto adopt = [this](QWebSocket* socket) { signaling_->adopt(socket); };
    primary_ = std::make_unique<HttpServer>(*tls, handler, HttpServer::Options{});
    failover_ = std::make_unique<HttpServer>(*tls, handler, HttpServer::Options{});
    primary_->setWebSocketHandler(adopt);
    failover_->setWebSocketHandler(adopt);
    echo_ = std::make_unique<HttpServer>(*tls, echoAddress, HttpServer::Options{});
    if (!primary_->listen(loopback, options_.apiPort) || !failover_->listen(loopback, options_.failoverPort) ||
        !echo_->listen(loopback, options_.echoPort)) {
        return false;
    }
    if (!startHosts(*tls)) return false;

    RelayNode::Admission admission;
    if (!options_.relayAcceptsAnyToken) {
        admission = [this](const QString& session, const QString& token) { return state_->relayTokenAdmits(session, token); };
    }
    QList<RelayOffer> offers;
    for (int i = 0; i < options_.relayPorts.size(); ++i) {
        auto node = std::make_unique<RelayNode>(*tls, options_.relayLimits, admission);
        if (!node->listen(loopback, options_.relayPorts[i])) return false;
        offers.append({QStringLiteral("local-%1").arg(i + 1), QStringLiteral("127.0.0.1"), node->port()});
        relays_.push_back(std::move(node));
    }
    api_->setRelayOffers(offers);
    api_->setTurnOffer(options_.turn);
    api_->setSessionOffer(options_.sessionOffer);

    spdlog::info("Backend: REST API and signaling on https://127.0.0.1:{} (wss://127.0.0.1:{}/ws/clients/<id>)", apiPort(), apiPort());
    spdlog::info("Backend: fail-over API and signaling on https://127.0.0.1:{}", failoverPort());
    for (const auto& offer : offers) spdlog::info("Backend: relay node {} on 127.0.0.1:{} (TLS)", offer.relayId.toStdString(), offer.port);
    spdlog::info("Backend: public-IP echo on https://127.0.0.1:{}/", echoPort());
    spdlog::info("Backend: download host on https://127.0.0.1:{}/download/ (manifest {}, installers from {})", downloadPort(),
                 options_.download.manifestFile.isEmpty() ? std::string("none") : options_.download.manifestFile.toStdString(),
                 options_.download.updateFolder.isEmpty() ? std::string("nowhere") : options_.download.updateFolder.toStdString());
    spdlog::info("Backend: help-desk host on https://127.0.0.1:{}/HelpDesk/", helpDeskPort());
    if (options_.turn.port) {
        spdlog::info("Backend: offering TURN over TLS at {}:{} (user {})", options_.turn.host.toStdString(), options_.turn.port,
                     options_.turn.username.toStdString());
    }
    spdlog::info("Backend: data folder {}, token lifetime {} s{}", options_.dataFolder.toStdString(),
                 options_.tokenLifetime.count(),
                 options_.company.enabled() ? ", company \"" + options_.company.name.toStdString() + "\"" : std::string());
    return true;
}

quint16 BackendServer::apiPort() const { return primary_ ? primary_->port() : 0; }
quint16 BackendServer::failoverPort() const { return failover_ ? failover_->port() : 0; }
quint16 BackendServer::echoPort() const { return echo_ ? echo_->port() : 0; }
quint16 BackendServer::downloadPort() const { return downloadServer_ ? downloadServer_->port() : 0; }
quint16 BackendServer::helpDeskPort() const { return helpDeskServer_ ? helpDeskServer_->port() : 0; }

bool BackendServer::startHosts(const QSslConfiguration& tls) {
    const QHostAddress loopback = QHostAddress::LocalHost;
    downloads_ = std::make_unique<DownloadHost>(options_.download);
    helpDesk_ = std::make_unique<HelpDeskHost>(HelpDeskHost::Options{options_.dataFolder, options_.helpDeskReply});
    // Both hold whole files in memory per request, so fewer connections are served at once.
    HttpServer::Options downloadLimits;
    downloadLimits.maxConnections = kMaxFileConnections;
    downloadServer_ = std::make_unique<HttpServer>(
        tls, [this](const HttpRequest& request) { return downloads_->handle(request); }, downloadLimits);
    HttpServer::Options helpDeskLimits;
    helpDeskLimits.maxConnections = kMaxFileConnections;
    helpDeskLimits.limits.maxBodyBytes = HelpDeskHost::kMaxBodyBytes;
    helpDeskServer_ = std::make_unique<HttpServer>(
        tls, [this](const HttpRequest& request) { return helpDesk_->handle(request); }, helpDeskLimits);
    return downloadServer_->listen(loopback, options_.downloadPort) && helpDeskServer_->listen(loopback, options_.helpDeskPort);
}

QList<quint16> BackendServer::relayPorts() const {
    QList<quint16> ports;
    for (const auto& node : relays_) ports.append(node->port());
    return ports;
}

QByteArray BackendServer::endpointsJson() const {
    nlohmann::json relays = nlohmann::json::array();
    for (quint16 port : relayPorts()) relays.push_back(port);
    return QByteArray::fromStdString(nlohmann::json{{"api_port", apiPort()},
                                                    {"failover_port", failoverPort()},
                                                    {"echo_port", echoPort()},
                                                    {"download_port", downloadPort()},
                                                    {"helpdesk_port", helpDeskPort()},
                                                    {"relay_ports", relays}}
                                         .dump());
}

bool loadCompanyFile(const QString& path, CompanyConfig& company, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray bytes = file.read(4 * 1024 * 1024);
    const auto document = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (!document.is_object() || !document.contains("company_name") || !document["company_name"].is_string() ||
        document["company_name"].get_ref<const std::string&>().empty()) {
        error = QStringLiteral("%1 needs a non-empty \"company_name\"").arg(path);
        return false;
    }
    company = CompanyConfig{};
    company.name = QString::fromStdString(document["company_name"].get<std::string>());
    company.everyDevice = document.contains("every_device") && document["every_device"].is_boolean() &&
                          document["every_device"].get<bool>();
    if (document.contains("clients")) {
        if (!document["clients"].is_array()) {
            error = QStringLiteral("%1: \"clients\" must be an array").arg(path);
            return false;
        }
        for (const auto& entry : document["clients"]) {
            const QString id = entry.is_object() && entry.contains("id") && entry["id"].is_string()
                                   ? QString::fromStdString(entry["id"].get<std::string>())
                                   : QString();
            if (!BackendState::isClientId(id)) {
                error = QStringLiteral("%1: every client needs a nine-digit \"id\"").arg(path);
                return false;
            }
            const QString label = entry.contains("label") && entry["label"].is_string()
                                      ? QString::fromStdString(entry["label"].get<std::string>())
                                      : QString();
            company.listedClients.append(id);
            company.labels.insert(id, label);
        }
    }
    return true;
}

}  // namespace veltrix::backend
