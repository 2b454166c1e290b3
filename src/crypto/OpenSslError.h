#pragma once

#include <string>

namespace veltrix::crypto {

// Pops every queued OpenSSL error of this thread and joins their texts with "; ", or returns
// "unknown error" when none is queued. Every failure message of the session crypto ends with it.
std::string openSslErrorText();

}  // namespace veltrix::crypto
