#include <gtest/gtest.h>

#include <filesystem>

#include "core/TransferPath.h"
#include "platform/InstancePaths.h"
#include "support/LogCapture.h"
#include "support/TempInstanceRoot.h"

namespace veltrix::transferpath {
namespace {

TEST(TransferPath, EveryRefusalNamesItsReason) {
    test::TempInstanceRoot root;
    std::filesystem::create_directory_symlink("/tmp", root.path() / "link");
    const QString r = QString::fromStdString(root.path().string());
    struct Case {
        QString path;
        const char* warning;
    };
    const Case cases[] = {
        {"/tmp/a..b", "path traversal attempt blocked"},
        {"/tmp/../etc", "path traversal attempt blocked"},
        {"\\\\server\\share", "UNC path rejected"},
        {"//server/share", "UNC path rejected"},
        {"C:", "drive-relative path rejected"},
        {"C:name", "drive-relative path rejected"},
        {"/tmp/a|b", "illegal character '|' in path '/tmp/a|b'"},
        {"C:\\dir\\a?b", "illegal character '?'"},
        {"/tmp/x" + QString(QChar(0)) + "y", "illegal character '\\x00' in path '/tmp/x\\x00y'"},
        {"/tmp/con.txt", "NTFS reserved device name rejected"},
        {"/tmp/LPT9 .", "NTFS reserved device name rejected"},
        {"/tmp/Com1.tar.gz", "NTFS reserved device name rejected"},
        {"tmp/file", "relative path rejected"},
        {"C:\\Users\\file", "relative path rejected"},
        {r + "/link/file", "reparse point (symlink/junction) rejected"},
        {r + "/link", "reparse point (symlink/junction) rejected"},
    };
    for (const Case& c : cases) {
        test::LogCapture logs;
        EXPECT_TRUE(validateTransferPath(c.path).isEmpty()) << c.path.toStdString();
        EXPECT_TRUE(logs.contains(c.warning)) << c.path.toStdString() << ": " << (logs.lines().empty() ? "" : logs.lines()[0]);
    }
}

TEST(TransferPath, AcceptedPathsComeBackCleanAndThePasteFolderMapsToThisInstance) {
    test::TempInstanceRoot root;
    const QString paste = QString::fromStdString(platform::paths::pasteStagingDir().string());
    EXPECT_EQ(validateTransferPath("/tmp//./new-file"), "/tmp/new-file");
    EXPECT_EQ(validateTransferPath("/"), "/");
    EXPECT_EQ(validateTransferPath("/tmp/console.txt"), "/tmp/console.txt") << "only the exact device names are reserved";
    EXPECT_EQ(validateTransferPath("/home/Public/Veltrix/Paste/batch/a.txt"), paste + "/batch/a.txt");
    EXPECT_EQ(validateTransferPath("/home/Public/Veltrix/Paste"), paste);
    EXPECT_EQ(validateTransferPath("/home/Public/Veltrix/Pasted"), "/home/Public/Veltrix/Pasted");
}

TEST(TransferPath, ReservedNamesAreTheTwentyTwoDeviceNamesWithAnyExtension) {
    for (const char* name : {"CON", "prn", "aux.x", "NUL", "COM1", "com9.txt", "LPT1", "lpt9 .", "dir/Con", "dir\\AUX. "})
        EXPECT_TRUE(isReservedDeviceName(name)) << name;
    for (const char* name : {"COM0", "LPT10", "CONX", "xCON", "", "dir/CON/file"}) EXPECT_FALSE(isReservedDeviceName(name)) << name;
}

}  // namespace
}  // namespace veltrix::transferpath
