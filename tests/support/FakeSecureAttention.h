#pragma once

#include "platform/SecureAttention.h"

namespace veltrix::test {

// Records every attempt to fire the secure attention sequence and answers with a chosen outcome.
class FakeSecureAttention final : public platform::sas::SecureAttention {
public:
    explicit FakeSecureAttention(
        platform::sas::SecureAttentionOutcome outcome = platform::sas::SecureAttentionOutcome::Invoked)
        : outcome_(outcome) {}

    platform::sas::SecureAttentionOutcome fire() override {
        ++calls_;
        return outcome_;
    }

    int calls() const { return calls_; }
    void setOutcome(platform::sas::SecureAttentionOutcome outcome) { outcome_ = outcome; }

private:
    platform::sas::SecureAttentionOutcome outcome_;
    int calls_ = 0;
};

}  // namespace veltrix::test
