#include "core/SecurePasswordPolicy.h"

namespace veltrix {

QString SecurePasswordPolicy::refusal(const QString& password) {
    if (password != password.trimmed()) return tr("Secure password must not have leading or trailing whitespace.");
    if (password.size() < 8) return tr("Secure password must be at least 8 characters.");
    bool lower = false, upper = false, digit = false, special = false;
    for (const QChar c : password) {
        if (c.isLower()) {
            lower = true;
        } else if (c.isUpper()) {
            upper = true;
        } else if (c.isDigit()) {
            digit = true;
        } else if (!c.isSpace() && !c.isLetterOrNumber()) {
            special = true;
        }
    }
    if (!upper) return tr("Secure password must contain at least one uppercase letter.");
    if (!lower) return tr("Secure password must contain at least one lowercase letter.");
    if (!digit) return tr("Secure password must contain at least one digit.");
    if (!special) return tr("Secure password must contain at least one special character (!@#$%^&* etc.).");
    return {};
}

}  // namespace veltrix
