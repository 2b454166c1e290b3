#pragma once

// How VeltrixService names itself to the service manager, in its log and to Qt.
namespace veltrix::service {

inline constexpr const char* kServiceName = "VeltrixService";
inline constexpr const char* kServiceDisplayName = "Veltrix Remote Access Service";
inline constexpr const char* kServiceDescription =
    "Veltrix Remote Access Service. Provides secure remote desktop connectivity including authentication, "
    "signaling, and session management.";
inline constexpr const char* kServiceVersion = "1.301";
inline constexpr const char* kOrganizationName = "Veltrix";

// The client program's single-instance mutex (created by the client, only tested here).
inline constexpr const char* kClientMutexName = "Global\\VeltrixClientMutex";

}  // namespace veltrix::service
