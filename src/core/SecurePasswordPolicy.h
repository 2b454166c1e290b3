#pragma once

#include <QCoreApplication>
#include <QString>

namespace veltrix {

// The rule a permanent (secure) password must meet: at least 8 characters, no blanks at either
// end, an upper- and a lower-case letter, a digit and a special character. The service applies it
// before storing the password and the desktop client before sending one; it lives apart from the
// authentication controller so the client links the rule without the REST and signalling code.
class SecurePasswordPolicy {
    Q_DECLARE_TR_FUNCTIONS(SecurePasswordPolicy)
public:
    // Empty when the password passes, else the reason it does not.
    static QString refusal(const QString& password);
};

}  // namespace veltrix
