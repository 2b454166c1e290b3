// The session handshake: ECDH key agreement bound to the Target's session password by SPAKE2, the
// Target's candidate ciphers, and the accounting of packets that do not open.
#include "core/SessionManager.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <stdexcept>

#include "core/ApiClient.h"
#include "crypto/AesGcmCipher.h"
#include "crypto/EcdhKeyExchange.h"
#include "crypto/Spake2.h"
#include "shared/Logging.h"

namespace veltrix {

namespace {

std::string utf8(const QString& value) {
    const QByteArray bytes = value.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace

void SessionManager::setSessionPasswords(const QString& securePassword, const QString& ephemeralPassword) {
    passwordCandidates_.clear();
    if (!securePassword.isEmpty()) passwordCandidates_.append(securePassword);
    if (!ephemeralPassword.isEmpty() && ephemeralPassword != securePassword) passwordCandidates_.append(ephemeralPassword);
    sessionPassword_ = securePassword.isEmpty() ? ephemeralPassword : securePassword;
}

void SessionManager::wipePasswordSecret() { crypto::wipe(passwordSecret_); }

// A fresh ECDH key pair for the session; false (the session has failed) when none can be made.
bool SessionManager::createKeyExchange() {
    try {
        keyExchange_ = std::make_unique<EcdhKeyExchange>();
        return true;
    } catch (const std::exception& error) {
        spdlog::error("Failed to generate ECDH key pair: {}", error.what());
        setState(SessionState::Failed);
        emit sessionError(QStringLiteral("Crypto error: %1").arg(QString::fromUtf8(error.what())));
        return false;
    }
}

// --- Master -----------------------------------------------------------------------------------

void SessionManager::startMasterHandshake(const QString& targetId, const QString& password) {
    if (!createKeyExchange()) return;
    wipePasswordSecret();
    passwordAuthenticator_.reset();
    std::string element;
    if (!password.isEmpty()) {
        try {
            passwordAuthenticator_ = std::make_unique<Spake2>(utf8(password), SessionRole::Master);
            element = passwordAuthenticator_->elementHex();
        } catch (const std::exception& error) {
            spdlog::error("SPAKE2 init failed (Master): {}", error.what());
            passwordAuthenticator_.reset();
            setState(SessionState::Failed);
            emit sessionError(QStringLiteral("Crypto error"));
            return;
        }
    }
    // The password itself goes to the backend only when no SPAKE2 element was made; the backend
    // then checks it.
    const QString passwordText = element.empty() ? password : QString();
    if (!api_) return;
    createPending_ = true;
    api_->createSession(targetId, passwordText, QStringLiteral("remote_desktop"),
                        QString::fromStdString(keyExchange_->publicKeyBase64()), QString::fromStdString(element));
}

void SessionManager::onHandshakeAck(const QString& sessionId, const QString& state, const QString& targetEcdhPublicKey,
                                    const QString& targetSpake2Element) {
    if (role_ != SessionRole::Master) return;
    // The Target may answer before the backend's reply to our create request arrives: the ACK is
    // held until the session id is known, and then applied only if it names that session.
    if (state_ == SessionState::Initiating && createPending_) {
        spdlog::info("Handshake ACK for session {} arrived before the session id; holding it", logging::peerText(sessionId));
        if (heldAcks_.size() == kMaxHeldAcks) heldAcks_.erase(heldAcks_.begin());
        heldAcks_.push_back(HeldAck{sessionId, targetEcdhPublicKey, targetSpake2Element});
        return;
    }
    if (state_ != SessionState::Handshaking) return;
    // A late answer of an earlier session would give this one the wrong keys.
    if (sessionId != sessionId_) {
        spdlog::warn("Handshake ACK for session {} ignored (this session is {})", logging::peerText(sessionId),
                     logging::peerText(sessionId_));
        return;
    }
    spdlog::info("Handshake ACK received for session {} (state={})", logging::peerText(sessionId), logging::peerText(state));
    applyHandshakeAck(targetEcdhPublicKey, targetSpake2Element);
}

void SessionManager::applyHandshakeAck(const QString& targetEcdhPublicKey, const QString& targetSpake2Element) {
    if (targetEcdhPublicKey.isEmpty()) {
        spdlog::error("Handshake ACK missing target ECDH public key");
        closeAtBackend(QStringLiteral("handshake_failed"));
        setState(SessionState::Failed);
        emit sessionError(QStringLiteral("Missing target ECDH public key"));
        return;
    }
    if (passwordAuthenticator_) {
        if (targetSpake2Element.isEmpty()) {
            spdlog::error("Handshake ACK missing target SPAKE2 element");
            closeAtBackend(QStringLiteral("handshake_failed"));
            setState(SessionState::Failed);
            emit sessionError(QStringLiteral("Authentication failed"));
            return;
        }
        if (!matchTargetCandidate(targetSpake2Element)) return;
    }
    if (!keyExchange_ || !keyExchange_->deriveSharedKey(utf8(targetEcdhPublicKey))) {
        spdlog::error("ECDH key derivation failed");
        closeAtBackend(QStringLiteral("handshake_failed"));
        setState(SessionState::Failed);
        emit sessionError(QStringLiteral("ECDH key derivation failed"));
        return;
    }
    try {
        const auto key = keyExchange_->aesKey();
        const auto iv = keyExchange_->baseIv();
        sessionCipher_ = std::make_unique<AesGcmCipher>(key, iv, utf8(sessionId_), SessionRole::Master, passwordSecret_);
    } catch (const std::exception& error) {
        spdlog::error("Failed to create AES-GCM cipher: {}", error.what());
        closeAtBackend(QStringLiteral("handshake_failed"));
        setState(SessionState::Failed);
        emit sessionError(QStringLiteral("Cipher error: %1").arg(QString::fromUtf8(error.what())));
        return;
    }
    cipherLocked_ = true;
    spdlog::info("ECDH key exchange completed (Master side)");
    setupTransport();
}

// Picks the Target's candidate whose confirmation proves the same password; false (the session
// has failed) when none does or the offer cannot be read.
bool SessionManager::matchTargetCandidate(const QString& targetSpake2Element) {
    Spake2CandidateList pairs;
    bool plain = false;
    if (!Spake2::decodeCandidateList(utf8(targetSpake2Element), pairs, plain) || pairs.empty()) {
        spdlog::error("Handshake ACK SPAKE2 element malformed");
        closeAtBackend(QStringLiteral("handshake_failed"));
        setState(SessionState::Failed);
        emit sessionError(QStringLiteral("Authentication failed"));
        return false;
    }
    const std::string sessionId = utf8(sessionId_);
    for (const auto& [element, confirmation] : pairs) {
        auto secret = passwordAuthenticator_->computeSharedSecret(element);
        if (secret.empty()) continue;
        if (plain || confirmation.empty() || confirmation == Spake2::computeConfirmation(secret, sessionId)) {
            wipePasswordSecret();
            passwordSecret_ = std::move(secret);
            return true;
        }
    }
    spdlog::error("SPAKE2: entered password matched no target candidate (wrong password)");
    authFailureReported_ = true;
    closeAtBackend(QStringLiteral("authentication_failed"));
    emit sessionAuthFailed();
    setState(SessionState::Failed);
    cleanupSession();
    return false;
}

// --- Target -----------------------------------------------------------------------------------

void SessionManager::startTargetHandshake(const QString& masterEcdhPublicKey, const QString& masterSpake2Element) {
    if (!createKeyExchange()) return;
    wipePasswordSecret();
    std::string offer;
    std::vector<crypto::SecureBytes> secrets;
    if (!masterSpake2Element.isEmpty()) {
        QStringList candidates = passwordCandidates_;
        if (candidates.isEmpty() && !sessionPassword_.isEmpty()) candidates.append(sessionPassword_);
        if (candidates.isEmpty()) {
            spdlog::error("SPAKE2 requested but no local session password is set");
            setState(SessionState::Failed);
            emit sessionError(QStringLiteral("Session password not available for authentication"));
            return;
        }
        const std::string masterElement = utf8(masterSpake2Element);
        const std::string sessionId = utf8(sessionId_);
        std::vector<std::string> elements;
        std::vector<std::string> confirmations;
        for (const QString& candidate : candidates) {
            std::unique_ptr<Spake2> authenticator;
            try {
                authenticator = std::make_unique<Spake2>(utf8(candidate), SessionRole::Target);
            } catch (const std::exception& error) {
                spdlog::error("SPAKE2 init failed (Target): {}", error.what());
                setState(SessionState::Failed);
                emit sessionError(QStringLiteral("Crypto error"));
                return;
            }
            auto secret = authenticator->computeSharedSecret(masterElement);
            if (secret.empty()) {
                spdlog::error("SPAKE2 shared-secret computation failed (Target)");
                setState(SessionState::Failed);
                emit sessionError(QStringLiteral("Authentication failed"));
                return;
            }
            elements.push_back(authenticator->elementHex());
            confirmations.push_back(Spake2::computeConfirmation(secret, sessionId));
            secrets.push_back(std::move(secret));
        }
        if (elements.size() == 1) {
            offer = elements.front();
        } else {
            offer = Spake2::encodeCandidateList(elements, confirmations);
            spdlog::info("SPAKE2: offering {} password candidates to master", elements.size());
        }
        passwordSecret_ = secrets.front();
    }

    if (api_) {
        pendingReplies_.append(QStringLiteral("/sessions/") + sessionId_ + QStringLiteral("/handshake-ack"));
        api_->handshakeAck(sessionId_, QString::fromStdString(keyExchange_->publicKeyBase64()), QString(), QString(),
                           QString::fromStdString(offer));
    }
    if (masterEcdhPublicKey.isEmpty()) {
        // Nothing to agree on: the handshake timer fails the session.
        return;
    }
    if (!keyExchange_->deriveSharedKey(utf8(masterEcdhPublicKey))) {
        spdlog::error("ECDH key derivation failed (Target side)");
        closeAtBackend(QStringLiteral("handshake_failed"));
        setState(SessionState::Failed);
        emit sessionError(QStringLiteral("ECDH key derivation failed"));
        return;
    }
    if (!buildTargetCiphers(secrets.size(), secrets)) return;
    spdlog::info("ECDH key exchange completed (Target side)");
    setupTransport();
}

// One cipher per candidate while the Master's choice is unknown, else the one session cipher.
bool SessionManager::buildTargetCiphers(std::size_t candidateCount, const std::vector<crypto::SecureBytes>& secrets) {
    std::lock_guard lock(candidateLock_);
    candidateCiphers_.clear();
    cipherLocked_ = false;
    try {
        const auto key = keyExchange_->aesKey();
        const auto iv = keyExchange_->baseIv();
        const std::string context = utf8(sessionId_);
        if (candidateCount >= 2) {
            sessionCipher_.reset();
            for (const auto& secret : secrets) {
                candidateCiphers_.push_back(std::make_unique<AesGcmCipher>(key, iv, context, SessionRole::Target, secret));
            }
        } else {
            sessionCipher_ = std::make_unique<AesGcmCipher>(key, iv, context, SessionRole::Target, passwordSecret_);
            cipherLocked_ = true;
        }
    } catch (const std::exception& error) {
        spdlog::error("Failed to create AES-GCM cipher: {}", error.what());
        candidateCiphers_.clear();
        closeAtBackend(QStringLiteral("handshake_failed"));
        setState(SessionState::Failed);
        emit sessionError(QStringLiteral("Cipher error: %1").arg(QString::fromUtf8(error.what())));
        return false;
    }
    return true;
}

// --- received packets -------------------------------------------------------------------------

std::vector<std::uint8_t> SessionManager::lockCipherCandidate(const std::uint8_t* packet, std::size_t size) {
    if (cipherLocked_ && sessionCipher_) return sessionCipher_->decrypt(packet, size);
    bool locked = false;
    std::vector<std::uint8_t> plaintext;
    {
        std::lock_guard lock(candidateLock_);
        if (sessionCipher_) return sessionCipher_->decrypt(packet, size);
        for (auto& candidate : candidateCiphers_) {
            plaintext = candidate->decrypt(packet, size);
            if (plaintext.empty()) continue;
            sessionCipher_ = std::move(candidate);
            candidateCiphers_.clear();
            cipherLocked_ = true;
            locked = true;
            spdlog::info("SPAKE2: session cipher locked to matching password candidate");
            break;
        }
    }
    if (locked) repeatAnnouncements();
    return plaintext;
}

void SessionManager::countFailedDecrypt() {
    if (anyPacketOpened_ || authFailureReported_) return;
    if (++failedDecrypts_ >= kMaxFailedDecrypts) failAuthentication();
}

void SessionManager::failAuthentication() {
    if (authFailureReported_) return;
    authFailureReported_ = true;
    spdlog::error("Session authentication failed: {} packets failed to decrypt with zero successful decrypts — wrong "
                  "session password or incompatible client version",
                  failedDecrypts_);
    closeAtBackend(QStringLiteral("authentication_failed"));
    emit sessionAuthFailed();
    setState(SessionState::Failed);
    cleanupSession();
}

void SessionManager::failSilentPartner() {
    spdlog::error("No packet from the partner within {} ms of connecting — the partner sends nothing (no capture "
                  "agent, no capture, or its capture section is taken); the password was not the problem",
                  packetOpenTimer_.interval());
    closeAtBackend(QStringLiteral("partner_silent"));
    const QString error = tr("Remote side sent nothing — its screen cannot be shared right now");
    emit partnerSilent(error);
    emit sessionError(error);
    setState(SessionState::Failed);
    cleanupSession();
}

}  // namespace veltrix
