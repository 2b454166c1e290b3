#pragma once

#include <QString>

#include <string>

// The one check every file-transfer path passes, whichever side it came from.
namespace veltrix::transferpath {

// The paste staging folder as it travels between devices. Each device maps it to its own
// instance's staging folder before it touches the file system.
inline constexpr const char* kWirePasteFolder = "/home/Public/Veltrix/Paste";

// The path with the wire paste folder replaced by this instance's staging folder (unchanged when
// it does not start with it).
QString mapPasteFolder(const QString& path);

// True for a name Windows reserves for a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9), with any
// extension and trailing blanks or dots: such names are refused from either side so that a file
// this machine serves can be saved on any partner.
bool isReservedDeviceName(const QString& path);

// The absolute, clean local path to use for `path`, or empty when the path is refused (the
// reason is logged as a warning). Refused: ".." anywhere, UNC and drive-relative forms, the
// characters < > : " | ? * (after a drive prefix) and NUL, reserved device names, relative paths,
// and any path of which an existing component is a symbolic link. A path that does not exist yet
// is accepted when its existing part holds no link; whoever creates it must still create it
// without following links (platform/NoFollowFiles.h), which closes the gap between check and use.
// Runs with the calling thread's file-system identity.
QString validateTransferPath(const QString& path);

// The outcome of the same check, with the refusal kept instead of logged.
struct CheckedTransferPath {
    QString path;         // the local path to use; empty when refused
    std::string refusal;  // the warning line that says why, when refused

    bool accepted() const { return !path.isEmpty(); }
    // Logs the refusal as a warning (nothing when accepted).
    void logRefusal() const;
};

// validateTransferPath without the log line, for a caller that runs the check as the interactive
// user: nothing may be logged while the thread has the user's identity, so the caller logs the
// refusal once it is the service again.
CheckedTransferPath checkTransferPath(const QString& path);

}  // namespace veltrix::transferpath
