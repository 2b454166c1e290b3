#include <gtest/gtest.h>

#include "platform/SecureAttention.h"
#include "support/FakeSecureAttention.h"
#include "support/LogCapture.h"

namespace veltrix::platform {
namespace {

TEST(SecureAttentionTest, TheMachineReportsTheLibraryMissingAndTheOutcomesAreLogged) {
    test::LogCapture log;
    EXPECT_EQ(sas::fireAndLog(sas::systemSecureAttention()), sas::SecureAttentionOutcome::LibraryMissing);
    EXPECT_TRUE(log.contains("sas.dll not available — cannot fire SAS"));

    const struct {
        sas::SecureAttentionOutcome outcome;
        const char* line;
    } cases[] = {
        {sas::SecureAttentionOutcome::EntryMissing, "SendSAS entry point missing in sas.dll"},
        {sas::SecureAttentionOutcome::Invoked, "SendSAS(FALSE) invoked on target"},
    };
    for (const auto& c : cases) {
        test::FakeSecureAttention fake(c.outcome);
        log.clear();
        EXPECT_EQ(sas::fireAndLog(fake), c.outcome);
        EXPECT_EQ(fake.calls(), 1);
        EXPECT_TRUE(log.contains(c.line));
    }
}

}  // namespace
}  // namespace veltrix::platform
