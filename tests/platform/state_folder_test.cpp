// The folder for backups and the log: beside the program while it can be
// written there, else the user's state folder, made on first use.  The
// program's folder is made to read as read-only through the fault seam, so
// the rule runs the same under Wine as on Linux.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/fs.h"
#include "support/file_fault_layer.h"
#include "support/temp_dir.h"
#include "util/files.h"

TEST(StateFolderTest, ProgramFolderWhileWritableElseTheUsersStateFolder) {
    TempDir program, user;
#ifdef _WIN32
    // The shell's local application data folder, which the environment names too.
    const char* localAppData = std::getenv("LOCALAPPDATA");
    ASSERT_NE(nullptr, localAppData);
    const std::string expected = std::string(localAppData) + "\\Karvelo";
#else
    // Two levels that do not exist yet.
    const std::string expected = user.File("state/karvelo");
    setenv("XDG_STATE_HOME", user.File("state").c_str(), 1);
#endif
    char folder[MAX_PATH_BYTES];
    EXPECT_EQ(1, ChooseStateFolder(program.path().c_str(), 1, folder, sizeof folder));
    EXPECT_EQ(program.path(), folder);

    FileFault readOnly = {FILE_FAULT_FOLDER_WRITE, nullptr, 1};
    SetFileFaultInjection(&readOnly);
    EXPECT_EQ(1, ChooseStateFolder(program.path().c_str(), 0, folder, sizeof folder));
    EXPECT_EQ(expected, folder);
#ifndef _WIN32
    EXPECT_FALSE(PathExists(expected));  // only named, as for the help
#endif
    EXPECT_EQ(1, ChooseStateFolder(program.path().c_str(), 1, folder, sizeof folder));
    EXPECT_EQ(expected, folder);
    EXPECT_EQ(1, IsDirectory(folder));
#ifndef _WIN32
    EXPECT_EQ(std::filesystem::perms::owner_all, std::filesystem::status(user.File("state")).permissions());
    SetFileFaultInjection(nullptr);

    // A writable folder of installed programs is no place for them either.
    ASSERT_TRUE(std::filesystem::create_directory(program.File("bin")));
    EXPECT_EQ(1, ChooseStateFolder(program.File("bin").c_str(), 1, folder, sizeof folder));
    EXPECT_EQ(expected, folder);

    // No state folder can be made: the program's folder stays, where the
    // writes fail with their own messages.
    ASSERT_TRUE(WriteWholeFile(user.File("file"), ""));
    setenv("XDG_STATE_HOME", user.File("file").c_str(), 1);
    EXPECT_EQ(0, ChooseStateFolder(program.File("bin").c_str(), 1, folder, sizeof folder));
    EXPECT_EQ(program.File("bin"), folder);
    unsetenv("XDG_STATE_HOME");
#endif
    SetFileFaultInjection(nullptr);
}
