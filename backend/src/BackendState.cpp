#include "BackendState.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QUuid>

#include <nlohmann/json.hpp>
#include <openssl/crypto.h>
#include <spdlog/spdlog.h>

namespace veltrix::backend {
namespace {

constexpr qint64 kMaxStateFileBytes = 64 * 1024 * 1024;
constexpr int kMaxTokens = 100000;

QByteArray digestOf(const QString& secret) {
    return QCryptographicHash::hash(secret.toUtf8(), QCryptographicHash::Sha256);
}

QString text(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? QString::fromStdString(it->get<std::string>()) : QString();
}

QByteArray randomBytes(int count) {
    QByteArray bytes(count, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return bytes;
}

}  // namespace

QString randomHex(int bytes) { return QString::fromLatin1(randomBytes(bytes).toHex()); }

QString randomToken(int bytes) {
    return QString::fromLatin1(
        randomBytes(bytes).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

BackendState::BackendState(QString dataFolder, std::chrono::seconds tokenLifetime, QObject* parent)
    : QObject(parent), dataFolder_(std::move(dataFolder)), tokenLifetime_(tokenLifetime) {
    saveTimer_.setSingleShot(true);
    saveTimer_.setInterval(200);
    connect(&saveTimer_, &QTimer::timeout, this, [this] { flush(); });
}

BackendState::~BackendState() { flush(); }

bool BackendState::isClientId(const QString& text) {
    if (text.size() != 9) return false;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9') return false;
    }
    return true;
}

bool BackendState::load() {
    QFile file(QDir(dataFolder_).filePath(QStringLiteral("clients.json")));
    if (!file.exists()) return true;
    if (!file.open(QIODevice::ReadOnly)) {
        spdlog::error("State: cannot open {}: {}", file.fileName().toStdString(), file.errorString().toStdString());
        return false;
    }
    const QByteArray bytes = file.read(kMaxStateFileBytes + 1);
    const auto document = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (bytes.size() > kMaxStateFileBytes || !document.is_object() || !document.contains("clients") ||
        !document["clients"].is_array()) {
        spdlog::error("State: {} is not a device list", file.fileName().toStdString());
        return false;
    }
    for (const auto& entry : document["clients"]) {
        if (!entry.is_object()) continue;
        ClientRecord record;
        record.clientId = text(entry, "client_id");
        record.secretDigest = QByteArray::fromHex(text(entry, "secret_sha256").toLatin1());
        if (!isClientId(record.clientId) || record.secretDigest.size() != 32) continue;
        record.clientName = text(entry, "client_name");
        record.machineFingerprint = text(entry, "machine_fingerprint");
        record.agentVersion = text(entry, "agent_version");
        record.localIp = text(entry, "local_ip");
        record.publicIp = text(entry, "public_ip");
        record.natType = text(entry, "nat_type");
        record.lastHeartbeat = QDateTime::fromString(text(entry, "last_heartbeat"), Qt::ISODateWithMs);
        clients_.insert(record.clientId, record);
    }
    spdlog::info("State: {} registered devices loaded from {}", clients_.size(), file.fileName().toStdString());
    return true;
}

bool BackendState::flush() {
    if (!dirty_) return true;
    saveTimer_.stop();
    nlohmann::json list = nlohmann::json::array();
    for (const auto& record : clients_) {
        list.push_back({{"client_id", record.clientId.toStdString()},
                        {"secret_sha256", record.secretDigest.toHex().toStdString()},
                        {"client_name", record.clientName.toStdString()},
                        {"machine_fingerprint", record.machineFingerprint.toStdString()},
                        {"agent_version", record.agentVersion.toStdString()},
                        {"local_ip", record.localIp.toStdString()},
                        {"public_ip", record.publicIp.toStdString()},
                        {"nat_type", record.natType.toStdString()},
                        {"last_heartbeat", record.lastHeartbeat.isValid()
                                               ? record.lastHeartbeat.toString(Qt::ISODateWithMs).toStdString()
                                               : std::string()}});
    }
    QDir().mkpath(dataFolder_);
    QSaveFile file(QDir(dataFolder_).filePath(QStringLiteral("clients.json")));
    const QByteArray bytes = QByteArray::fromStdString(nlohmann::json{{"clients", list}}.dump(1));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        spdlog::error("State: cannot write {}: {}", file.fileName().toStdString(), file.errorString().toStdString());
        return false;
    }
    dirty_ = false;
    return true;
}

void BackendState::scheduleSave() {
    dirty_ = true;
    if (!saveTimer_.isActive()) saveTimer_.start();
}

void BackendState::clientChanged() { scheduleSave(); }

QString BackendState::newClientId() const {
    for (;;) {
        const quint32 value = QRandomGenerator::system()->bounded(100000000u, 1000000000u);
        const QString id = QString::number(value);
        if (!clients_.contains(id)) return id;
    }
}

std::pair<QString, QString> BackendState::registerDevice(const QString& clientName, const QString& agentVersion,
                                                          const QString& fingerprint, const QString& deviceSecret) {
    ClientRecord* record = nullptr;
    if (!fingerprint.isEmpty() && !deviceSecret.isEmpty()) {
        const QByteArray digest = digestOf(deviceSecret);
        for (auto& candidate : clients_) {
            if (candidate.machineFingerprint == fingerprint &&
                CRYPTO_memcmp(digest.constData(), candidate.secretDigest.constData(), 32) == 0) {
                record = &candidate;
                break;
            }
        }
    }
    if (!record) {
        ClientRecord fresh;
        fresh.clientId = newClientId();
        fresh.machineFingerprint = fingerprint;
        record = &clients_.insert(fresh.clientId, fresh).value();
    }
    const QString secret = randomToken(32);
    record->secretDigest = digestOf(secret);
    record->clientName = clientName;
    record->agentVersion = agentVersion;
    const QString id = record->clientId;
    revokeTokens(id);
    scheduleSave();
    flush();  // a registration must survive a crash right after the reply
    return {id, secret};
}

BackendState::LoginResult BackendState::checkCredentials(const QString& clientId, const QString& deviceSecret) const {
    if (!isClientId(clientId)) return LoginResult::InvalidClientId;
    const auto it = clients_.constFind(clientId);
    if (it == clients_.constEnd()) return LoginResult::ClientNotFound;
    const QByteArray digest = digestOf(deviceSecret);
    if (deviceSecret.isEmpty() || CRYPTO_memcmp(digest.constData(), it->secretDigest.constData(), 32) != 0) {
        return LoginResult::InvalidCredentials;
    }
    return LoginResult::Ok;
}

ClientRecord* BackendState::client(const QString& clientId) {
    const auto it = clients_.find(clientId);
    return it == clients_.end() ? nullptr : &it.value();
}

QString BackendState::issueToken(const QString& clientId) {
    if (tokens_.size() >= kMaxTokens) {
        // Drop expired tokens before growing further.
        const QDateTime current = now();
        for (auto it = tokens_.begin(); it != tokens_.end();) it = it->expires <= current ? tokens_.erase(it) : ++it;
    }
    const QString token = randomToken(32);
    tokens_.insert(token, {clientId, now().addSecs(tokenLifetime_.count())});
    return token;
}

void BackendState::revokeTokens(const QString& clientId) {
    for (auto it = tokens_.begin(); it != tokens_.end();) it = it->clientId == clientId ? tokens_.erase(it) : ++it;
}

BackendState::TokenCheck BackendState::checkToken(const QString& token, QString* clientId) const {
    if (token.isEmpty()) return TokenCheck::Missing;
    const auto it = tokens_.constFind(token);
    if (it == tokens_.constEnd()) return TokenCheck::Unknown;
    if (it->expires <= now()) return TokenCheck::Expired;
    if (clientId) *clientId = it->clientId;
    return TokenCheck::Valid;
}

SessionRecord& BackendState::createSession(const QString& masterClientId, const QString& targetClientId) {
    SessionRecord record;
    record.sessionId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    record.relayToken = randomToken(24);
    record.masterClientId = masterClientId;
    record.targetClientId = targetClientId;
    record.state = QStringLiteral("pending");
    record.createdAt = now();
    // Sessions that ended long ago are of no further use.
    const QDateTime horizon = record.createdAt.addSecs(-24 * 3600);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        const bool ended = it->state == u"closed" || it->state == u"failed";
        it = ended && it->createdAt < horizon ? sessions_.erase(it) : ++it;
    }
    return sessions_.insert(record.sessionId, record).value();
}

SessionRecord* BackendState::session(const QString& sessionId) {
    const auto it = sessions_.find(sessionId);
    return it == sessions_.end() ? nullptr : &it.value();
}

bool BackendState::relayTokenAdmits(const QString& sessionId, const QString& relayToken) const {
    const auto it = sessions_.constFind(sessionId);
    if (it == sessions_.constEnd() || relayToken.isEmpty()) return false;
    if (it->state == u"closed" || it->state == u"failed") return false;
    const QByteArray a = relayToken.toUtf8();
    const QByteArray b = it->relayToken.toUtf8();
    return a.size() == b.size() && CRYPTO_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}

}  // namespace veltrix::backend
