#include "crypto/OpenSslError.h"

#include <openssl/err.h>

namespace veltrix::crypto {

std::string openSslErrorText() {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty()) text += "; ";
        text += buffer;
    }
    return text.empty() ? std::string("unknown error") : text;
}

}  // namespace veltrix::crypto
