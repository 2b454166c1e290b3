#include <gtest/gtest.h>

#include <fstream>

#include "core/MachineFingerprint.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"

namespace veltrix {
namespace {

class MachineFingerprintTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    test::LogCapture logs;

    void useMachineId(const char* content) {
        const auto file = root.path() / "machine-id";
        if (content) std::ofstream(file) << content;
        std::ofstream(root.path() / "instance.ini") << "[machine]\nid_file=" << file.string() << "\n";
    }
};

// Expected values: sha256sum of the id followed by "Veltrix".
TEST_F(MachineFingerprintTest, IsStableForOneMachineIdAndDiffersForAnother) {
    useMachineId("0123456789abcdef0123456789abcdef\n");
    const QString first = MachineFingerprint();
    EXPECT_EQ(first, "d23dabff3739badf30a4f51db165c6070bb8bd06eae1bb7c21fa08c3b12269f8");
    EXPECT_EQ(MachineFingerprint(), first);
    EXPECT_TRUE(logs.contains("MachineFingerprint: generated (64 chars)"));

    test::TempInstanceRoot otherMachine;
    std::ofstream(otherMachine.path() / "id") << "fedcba9876543210fedcba9876543210\n";
    std::ofstream(otherMachine.path() / "instance.ini") << "[machine]\nid_file=" << (otherMachine.path() / "id").string();
    EXPECT_EQ(MachineFingerprint(), "2e0250c739a84dae4f0c41af3515bf6e770858f5bc6ad3beb6fa131c5aecfc37");
}

TEST_F(MachineFingerprintTest, NoMachineIdGivesAnEmptyFingerprint) {
    for (const char* content : {"", "  \n", static_cast<const char*>(nullptr)}) {
        useMachineId(content);
        logs.clear();
        EXPECT_EQ(MachineFingerprint(), "");
        EXPECT_TRUE(logs.contains("MachineFingerprint: could not read MachineGuid from registry"));
    }
}

}  // namespace
}  // namespace veltrix
