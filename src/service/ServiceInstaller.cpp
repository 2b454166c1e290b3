#include "service/ServiceInstaller.h"

#include <cerrno>
#include <fmt/format.h>

#include "platform/ProcessInfo.h"
#include "platform/ServiceUnits.h"
#include "service/ServiceIdentity.h"

namespace veltrix::service {

namespace units = platform::service;
using platform::SystemError;

namespace {

constexpr std::size_t kMaxProgramPath = 4096;

units::ServiceDefinition serviceDefinition(const std::filesystem::path& program) {
    units::ServiceDefinition definition;
    definition.name = kServiceName;
    definition.displayName = kServiceDisplayName;
    definition.description = kServiceDescription;
    definition.programPath = program;
    definition.dependencies = {"Tcpip"};
    // Restart after 5 s, again after 30 s, then give up, counted over one day.
    definition.failureResetPeriodSeconds = 86400;
    definition.failureActions = {{5000, true}, {30000, true}, {0, false}};
    return definition;
}

}  // namespace

bool installService(std::ostream& out, std::ostream& err) {
    const auto program = platform::process::ownProgramPath();
    if (program.empty() || program.native().size() >= kMaxProgramPath) {
        err << fmt::format("GetModuleFileName failed (error {})", SystemError{program.empty() ? ENOENT : ENAMETOOLONG}.text())
            << '\n';
        return false;
    }
    SystemError error;
    if (!units::openServiceManager(error)) {
        err << fmt::format("OpenSCManager failed (error {}). Run as Administrator.", error.text()) << '\n';
        return false;
    }
    if (!units::createService(serviceDefinition(program), error)) {
        if (error.code == EEXIST) {
            err << "Service already exists.\n";
            return true;
        }
        err << fmt::format("CreateService failed (error {})", error.text()) << '\n';
        return false;
    }
    out << fmt::format("Service '{}' installed successfully.", kServiceName) << '\n';
    return true;
}

bool uninstallService(std::ostream& out, std::ostream& err) {
    SystemError error;
    if (!units::openServiceManager(error)) {
        err << fmt::format("OpenSCManager failed (error {}). Run as Administrator.", error.text()) << '\n';
        return false;
    }
    if (!units::openService(kServiceName, error)) {
        if (error.code == ENOENT) {
            err << "Service does not exist.\n";
            return true;
        }
        err << fmt::format("OpenService failed (error {})", error.text()) << '\n';
        return false;
    }
    // Nothing waits for the service to stop.
    units::sendStopControl(kServiceName);
    if (!units::deleteService(kServiceName, error)) {
        err << fmt::format("DeleteService failed (error {})", error.text()) << '\n';
        return false;
    }
    out << fmt::format("Service '{}' uninstalled successfully.", kServiceName) << '\n';
    return true;
}

}  // namespace veltrix::service
