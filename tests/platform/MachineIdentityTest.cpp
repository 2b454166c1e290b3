#include <gtest/gtest.h>

#include <fstream>

#include "platform/MachineIdentity.h"
#include "support/TempInstanceRoot.h"

namespace veltrix::platform {
namespace {

TEST(MachineIdentity, ReadsTheFirstLineTrimmed) {
    test::TempInstanceRoot root;
    const auto file = root.path() / "machine-id";
    const struct {
        const char* content;
        const char* expected;
    } cases[] = {
        {"0123456789abcdef0123456789abcdef\n", "0123456789abcdef0123456789abcdef"},
        {"  0123456789abcdef0123456789abcdef \r\nsecond line\n", "0123456789abcdef0123456789abcdef"},
        {"", ""},
        {"\n", ""},
        {"   \n", ""},
    };
    for (const auto& c : cases) {
        std::ofstream(file) << c.content;
        EXPECT_EQ(machine::machineGuidFrom(file), c.expected) << '"' << c.content << '"';
    }
    EXPECT_EQ(machine::machineGuidFrom(root.path() / "missing"), "");
    EXPECT_EQ(machine::machineGuidFrom(root.path()), "") << "a folder";
}

TEST(MachineIdentity, TheInstanceFileCanNameAnotherIdFile) {
    test::TempInstanceRoot root;
    std::ofstream(root.path() / "id") << "fedcba9876543210fedcba9876543210\n";
    std::ofstream(root.path() / "instance.ini") << "[machine]\nid_file=" << (root.path() / "id").string() << "\n";
    EXPECT_EQ(machine::machineGuid(), "fedcba9876543210fedcba9876543210");
    // A named file that is missing gives no id rather than the system's.
    std::ofstream(root.path() / "instance.ini") << "[machine]\nid_file=" << (root.path() / "gone").string() << "\n";
    EXPECT_EQ(machine::machineGuid(), "");
}

}  // namespace
}  // namespace veltrix::platform
