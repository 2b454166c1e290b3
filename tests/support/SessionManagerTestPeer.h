#pragma once

#include <cstdint>
#include <string>

#include "core/SessionManager.h"
#include "crypto/EcdhKeyExchange.h"
#include "crypto/Spake2.h"
#include "transport/ITransport.h"
#include "transport/TransportManager.h"

namespace veltrix {

// Reaches into a session manager for what a test plays the partner with: its private
// control-channel sender (so any command text goes through the real encrypted channel, also
// malformed ones no sender of the product writes), what its capture poll saw last, and the public
// halves of its key agreement, which the backend would otherwise carry to the partner.
class SessionManagerTestPeer {
public:
    static bool sendCommand(SessionManager& manager, const std::string& command) {
        return manager.sendCommand(command);
    }
    // The session's link goes away under it, as when its process is killed: no "disconnect"
    // reaches the partner.
    static void dropTransport(SessionManager& manager) {
        if (manager.transportManager_ && manager.transportManager_->activeTransport())
            manager.transportManager_->activeTransport()->disconnect();
    }
    // The sequence number of the last capture frame the Target's poll looked at.
    static std::uint64_t lastCaptureSequence(const SessionManager& manager) { return manager.lastCaptureSequence_; }
    // The ECDH public key of the session in progress; empty without one.
    static std::string publicKey(const SessionManager& manager) {
        return manager.keyExchange_ ? manager.keyExchange_->publicKeyBase64() : std::string();
    }
    // A Master's SPAKE2 element for the typed password; empty when it typed none.
    static std::string passwordElement(const SessionManager& manager) {
        return manager.passwordAuthenticator_ ? manager.passwordAuthenticator_->elementHex() : std::string();
    }
};

}  // namespace veltrix
