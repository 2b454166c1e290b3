#pragma once

#include <QByteArray>

#include <filesystem>
#include <optional>

#include "platform/SystemError.h"

// Machine-scope data protection: data sealed here can be opened by any account of this machine
// (and of this instance), and by no other machine. The seal is AES-256-GCM under a random 32-byte
// machine key that the first protection creates; an optional entropy value is bound into the seal,
// so a blob opens only with the entropy it was made with (no entropy is the empty value).
//
// The blob is opaque to callers: a version byte, the nonce, the ciphertext and the tag.
namespace veltrix::platform::protection {

// The machine key file: owned by the account that created it (the service), readable by every
// local account, as machine scope implies.
std::filesystem::path machineKeyPath();

// Seals `data`. Creates the machine key on first use. Nothing on failure, with `error` set: the
// key file cannot be read, is not a 32-byte regular file that only its owner may write, or
// cannot be created.
std::optional<QByteArray> protect(const QByteArray& data, const QByteArray& entropy, SystemError& error);

// Opens a blob made by `protect` with the same entropy on this machine. Nothing on failure, with
// `error` set: EBADMSG when the blob is malformed, was made under another key or with other
// entropy, or was altered. Never creates a key. The caller wipes the returned clear data.
std::optional<QByteArray> unprotect(const QByteArray& blob, const QByteArray& entropy, SystemError& error);

}  // namespace veltrix::platform::protection
