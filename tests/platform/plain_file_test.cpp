// Whether a name is a regular file itself: the cheap question that needs no
// identity answers as IdentifyFileByPath does, for every kind of name.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/fs.h"
#include "support/temp_dir.h"

TEST(PlainFileTest, AnswersAsTheIdentityDoesForEveryKindOfName) {
    TempDir dir;
    ASSERT_TRUE(WriteWholeFile(dir.File("image.png"), "\x89PNG"));
    std::filesystem::create_directory(dir.File("folder"));
    std::error_code linkFailed;
    std::filesystem::create_symlink(dir.File("image.png"), dir.File("link.png"), linkFailed);
    const struct {
        const char* name;
        int plain;
    } cases[] = {{"image.png", 1}, {"missing.png", 0}, {"folder", 0}, {"link.png", 0}};
    for (const auto& one : cases) {
        SCOPED_TRACE(one.name);
        if (linkFailed && std::string(one.name) == "link.png") continue;  // no links where the system lacks them
        const std::string path = dir.File(one.name);
        FileIdentity identity;
        EXPECT_EQ(one.plain, IdentifyFileByPath(path.c_str(), &identity));
        EXPECT_EQ(one.plain, IsPlainFileByPath(path.c_str()));
    }
}
