#include <gtest/gtest.h>

#include "shared/SessionTypes.h"

namespace veltrix {
namespace {

TEST(SessionTypes, StateNamesRoundTripAndUnknownValuesAreNamedUnknown) {
    const char* names[] = {"Idle", "Initiating", "Handshaking", "Connecting", "Connected", "Closing", "Failed"};
    for (int i = 0; i < 7; ++i) {
        const auto state = static_cast<SessionState>(i);
        EXPECT_EQ(sessionStateName(state), names[i]);
        EXPECT_EQ(sessionStateFromName(names[i]), state);
    }
    EXPECT_EQ(sessionStateName(static_cast<SessionState>(7)), "Unknown");
    EXPECT_EQ(sessionStateName(static_cast<SessionState>(255)), "Unknown");
}

TEST(SessionTypes, UnknownStateNamesReadAsIdle) {
    for (const char* name : {"Unknown", "", "connected", "Connected ", "Bogus"}) {
        EXPECT_EQ(sessionStateFromName(name), SessionState::Idle) << name;
    }
}

TEST(SessionTypes, RoleNames) {
    EXPECT_EQ(sessionRoleName(SessionRole::None), "none");
    EXPECT_EQ(sessionRoleName(SessionRole::Master), "master");
    EXPECT_EQ(sessionRoleName(SessionRole::Target), "target");
    EXPECT_EQ(sessionRoleName(static_cast<SessionRole>(9)), "none");
    EXPECT_EQ(sessionRoleFromName("master"), SessionRole::Master);
    EXPECT_EQ(sessionRoleFromName("target"), SessionRole::Target);
    EXPECT_EQ(sessionRoleFromName("Master"), SessionRole::None);
    EXPECT_EQ(sessionRoleFromName(""), SessionRole::None);
}

}  // namespace
}  // namespace veltrix
