// How the file manager builds the partner's paths: joins, the way up, and which partner names may
// become part of a local path.
#include <gtest/gtest.h>

#include "gui/RemotePaths.h"

namespace veltrix {
namespace {

TEST(RemotePaths, JoinPutsOneSlashBetweenFolderAndName) {
    struct Case {
        const char* folder;
        const char* name;
        const char* joined;
    };
    const Case cases[] = {
        {"", "home", "/home"},          // the top view is the entries of "/"
        {"/", "home", "/home"},
        {"", "D:", "D:"},               // a drive stands alone in the top view
        {"", "C:/", "C:/"},
        {"", "/mnt/usb", "/mnt/usb"},   // so does a mount point given as its root path
        {"C:/", "Users", "C:/Users"},
        {"C:\\", "Users", "C:\\Users"},
        {"/home", "user", "/home/user"},
        {"/home/", "user", "/home/user"},
        {"/home/user", "notes.txt", "/home/user/notes.txt"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(remote_paths::join(c.folder, c.name), QString(c.joined)) << c.folder << " + " << c.name;
}

TEST(RemotePaths, ParentFollowsTheBackRules) {
    struct Case {
        const char* path;
        const char* parent;
    };
    const Case cases[] = {
        {"", ""},                    // the top view has no parent
        {"C:/", ""},                 // a drive root goes to the drives
        {"C:", ""},
        {"D:\\", ""},
        {"C:/Users/x", "C:/Users"},
        {"C:/Users", "C:/"},         // the drive's root, not the bare "C:" the partner refuses
        {"C:\\Users", "C:\\"},
        {"/data", ""},               // the separator at position 0
        {"/home/user", "/home"},
        {"/home/user/docs", "/home/user"},
        {"name", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(remote_paths::parent(c.path), QString(c.parent)) << c.path;
}

TEST(RemotePaths, OnlyPlainNamesMayBecomeLocalPathComponents) {
    EXPECT_TRUE(remote_paths::isPlainName("notes.txt"));
    EXPECT_TRUE(remote_paths::isPlainName("..hidden but plain"));
    EXPECT_TRUE(remote_paths::isPlainName("a..b"));
    const QString unsafe[] = {"", ".", "..", "a/b", "/etc", "a\\b", "..\\x", QString("x") + QChar(u'\0') + "y"};
    for (const QString& name : unsafe) EXPECT_FALSE(remote_paths::isPlainName(name)) << name.toStdString();
}

TEST(RemotePaths, FileNameIsTheLastComponent) {
    EXPECT_EQ(remote_paths::fileName("/home/user/notes.txt"), "notes.txt");
    EXPECT_EQ(remote_paths::fileName("C:\\Users\\x"), "x");
    EXPECT_EQ(remote_paths::fileName("C:/"), "");
    EXPECT_EQ(remote_paths::fileName("/"), "");
}

}  // namespace
}  // namespace veltrix
