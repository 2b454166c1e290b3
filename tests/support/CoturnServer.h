#pragma once

#include <QProcess>
#include <cstdint>
#include <filesystem>
#include <string>

namespace veltrix::test {

// A coturn TURN server for one test on loopback: TURN over TLS (with the given certificate) and
// plain STUN/TURN on free ports, long-term credentials for one user, loopback peers allowed.
// Started by the constructor (bounded wait until the TLS port accepts), stopped by the destructor.
class CoturnServer {
public:
    CoturnServer(const std::filesystem::path& folder, const std::filesystem::path& certificate,
                 const std::filesystem::path& key, std::string user, std::string password);
    ~CoturnServer();
    CoturnServer(const CoturnServer&) = delete;
    CoturnServer& operator=(const CoturnServer&) = delete;

    bool running() const { return running_; }
    std::uint16_t tlsPort() const { return tlsPort_; }
    std::uint16_t plainPort() const { return plainPort_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    std::filesystem::path logFile() const { return folder_ / "turnserver.log"; }

private:
    std::filesystem::path folder_;
    std::string user_;
    std::string password_;
    std::uint16_t tlsPort_ = 0;
    std::uint16_t plainPort_ = 0;
    QProcess process_;
    bool running_ = false;
};

}  // namespace veltrix::test
