#pragma once

#include <QString>

#include <filesystem>
#include <memory>

class QSettings;

// Where the settings stores of the two programs live. A store is a QSettings INI file named after
// its organisation and application: the machine store (system scope) in the machine-wide settings
// folder, which only the service's account can write, and the user store in the current user's
// settings folder. Both follow the instance root, so two devices on one machine and the tests
// never share a store.
namespace veltrix::platform::settings {

enum class Scope { User, Machine };

// "<folder of the scope>/<organisation>/<application>.ini".
std::filesystem::path storePath(Scope scope, const QString& organisation, const QString& application);

// Opens the store. A machine store that does not exist yet is created by an account that may
// write the machine folder, readable by every local account and writable by its creator only; a
// user store is private to its user. An account that cannot create the store still gets an
// object: it reads as empty and its writes fail with QSettings::AccessError.
std::unique_ptr<QSettings> openStore(Scope scope, const QString& organisation, const QString& application);

}  // namespace veltrix::platform::settings
