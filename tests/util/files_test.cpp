#include "util/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/fs.h"
#include "support/gbk.h"
#include "support/temp_dir.h"

TEST(FileQueries, FolderIsNotAFile) {
    TempDir dir;
    EXPECT_EQ(0, FileExists(dir.path().c_str()));
    EXPECT_EQ(1, IsDirectory(dir.path().c_str()));
    EXPECT_EQ(-1, GetFileSize(dir.path().c_str()));
}

TEST(FileQueries, SizesAndMissingFiles) {
    TempDir dir;
    std::string empty = dir.File("empty.csv");
    std::string full = dir.File("full.csv");
    ASSERT_TRUE(WriteWholeFile(empty, ""));
    ASSERT_TRUE(WriteWholeFile(full, std::string(12345, 'x')));
    EXPECT_EQ(1, FileExists(empty.c_str()));
    EXPECT_EQ(0, GetFileSize(empty.c_str()));
    EXPECT_EQ(12345, GetFileSize(full.c_str()));
    EXPECT_EQ(0, IsDirectory(full.c_str()));
    std::string missing = dir.File("missing.csv");
    EXPECT_EQ(0, FileExists(missing.c_str()));
    EXPECT_EQ(-1, GetFileSize(missing.c_str()));
    EXPECT_EQ(0, IsDirectory(missing.c_str()));
}

TEST(FileQueries, GbkPathsReachTheSameFiles) {
    TempDir dir;
    // The folder is created by its UTF-8 name; the core asks by GBK name.
    std::string folderUtf8 = dir.File("数据包");
    ASSERT_TRUE(std::filesystem::create_directory(std::filesystem::u8path(folderUtf8)));
    ASSERT_TRUE(WriteWholeFile(folderUtf8 + "/宝贝.csv", "abc"));
    std::string folderGbk = dir.path() + "/" + Gbk("数据包");
    std::string fileGbk = folderGbk + "/" + Gbk("宝贝.csv");
    EXPECT_EQ(1, IsDirectory(folderGbk.c_str()));
    EXPECT_EQ(1, FileExists(fileGbk.c_str()));
    EXPECT_EQ(3, GetFileSize(fileGbk.c_str()));

    std::string madeGbk = folderGbk + "/" + Gbk("备份");
    EXPECT_EQ(1, MakeDirectory(madeGbk.c_str()));
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::u8path(folderUtf8 + "/备份")));
    EXPECT_EQ(0, MakeDirectory(madeGbk.c_str()));  // exists already
}

TEST(FileQueries, NamesBeyondGbkWorkThroughEveryCall) {
    // 宝贝, an emoji and a Hangul syllable, in the core's GB18030 form: the
    // system must see their real names (UTF-8 here), not the code page's.
    TempDir dir;
    const std::string sep = PATH_SEPARATOR_TEXT;
    const std::string name = Gbk("宝贝") + "\x94\x39\xFC\x36\x82\x37\xCF\x35";
    const std::string folder = dir.path() + sep + name;
    const std::string file = folder + sep + name + ".csv";
    const std::string fresh = folder + sep + name + ".tmp";
    ASSERT_EQ(1, MakeDirectory(folder.c_str()));
    EXPECT_EQ(1, IsDirectory(folder.c_str()));
    for (const std::string* path : {&file, &fresh}) {
        FILE* stream = OpenFileByPath(path->c_str(), "wb");
        ASSERT_NE(nullptr, stream);
        EXPECT_EQ(3u, WriteFileBytes(stream, path == &file ? "old" : "new", 3));
        EXPECT_EQ(1, CloseFile(stream));
    }
    const std::string utf8 = dir.File("宝贝😀가") + "/宝贝😀가";
    EXPECT_EQ("old", ReadWholeFile(utf8 + ".csv"));
    EXPECT_EQ(0x8000, FileModeOfPath(file.c_str()) & 0xF000);
    EXPECT_EQ(3, GetFileSize(file.c_str()));

    EXPECT_EQ(1, ReplaceFileByPath(fresh.c_str(), file.c_str()));
    EXPECT_FALSE(PathExists(utf8 + ".tmp"));
    char bytes[8] = {};
    FILE* stream = OpenFileByPath(file.c_str(), "rb");
    ASSERT_NE(nullptr, stream);
    EXPECT_EQ(3u, ReadFileBytes(stream, bytes, sizeof bytes));
    EXPECT_EQ(1, CloseFile(stream));
    EXPECT_STREQ("new", bytes);

    EXPECT_EQ(1, RemoveFileByPath(file.c_str()));
    EXPECT_FALSE(PathExists(utf8 + ".csv"));
    EXPECT_EQ(0, FileExists(file.c_str()));
    // A path that does not convert names no file at all.
    const std::string broken = folder + sep + "a\x80.csv";
    EXPECT_EQ(nullptr, OpenFileByPath(broken.c_str(), "wb"));
    EXPECT_EQ(0, MakeDirectory(broken.c_str()));
}

TEST(FileNameOfPath, SplitsAtTheLastSeparatorOnly) {
    const std::string sep = PATH_SEPARATOR_TEXT;
    std::string path = "data" + sep + "shop" + sep + "goods.csv";
    EXPECT_STREQ("goods.csv", FileNameOfPath(path.c_str()));
    std::string folder = "data" + sep;
    EXPECT_STREQ("", FileNameOfPath(folder.c_str()));
    EXPECT_STREQ("data.csv", FileNameOfPath("data.csv"));
#ifdef _WIN32
    EXPECT_STREQ("D:/a/b.csv", FileNameOfPath("D:/a/b.csv"));  // a slash is no separator
#endif
    std::string chinese = Gbk("目录") + sep + Gbk("宝贝.csv");
    EXPECT_EQ(Gbk("宝贝.csv"), FileNameOfPath(chinese.c_str()));
#ifdef _WIN32
    // A GBK character whose trail byte is the backslash stays whole.
    std::string tricky = Gbk("目录") + "\\" + "\x95\\x.csv";
    EXPECT_STREQ("\x95\\x.csv", FileNameOfPath(tricky.c_str()));
#endif
}
