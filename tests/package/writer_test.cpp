#include "package/writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/fs.h"
#include "support/file_fault_layer.h"
#include "support/gbk.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"
#include "util/charset.h"
#include "util/front_end.h"

namespace {

// Bytes that cover every value, three and a bit backup blocks long, so a
// copy that drops, repeats or re-encodes anything shows.
std::string BinaryPackage() {
    std::string bytes;
    for (int i = 0; i < BACKUP_BLOCK_BYTES * 3 + 123; ++i) bytes.push_back(static_cast<char>((i * 7 + i / 256) & 0xFF));
    return bytes;
}

class PackageWriterTest : public ::testing::Test {
protected:
    void SetUp() override { bak = program.File(BACKUP_FOLDER_NAME); }
    void TearDown() override { SetFileFaultInjection(nullptr); }

    void Inject(FileFaultOperation operation, const char* pathEnd, int nth = 1) {
        FileFault fault = {operation, pathEnd, nth};
        SetFileFaultInjection(&fault);
    }

    std::string BakFile(const std::string& name) const { return bak + PATH_SEPARATOR_TEXT + name; }

    // The failure's message is `utf8Text`, handed back for the caller's
    // error box; the writer itself shows nothing.
    void ExpectFailedWith(const RecordingFrontEnd& front, const std::string& utf8Text) {
        ASSERT_NE(nullptr, failure);
        EXPECT_EQ(utf8Text, Utf8(failure));
        EXPECT_TRUE(front.messages.empty());
        failure = nullptr;
    }

    const char* failure = nullptr;  // what the last failed call handed back
    TempDir program;                // stands for the program's folder
    TempDir data;                   // holds the package
    std::string bak;
};

TEST_F(PackageWriterTest, BackupsAreNumberedByteCopiesThatNeverOverwrite) {
    RecordingFrontEnd front;
    std::string package = data.File("shop.csv");
    std::string before = BinaryPackage();
    ASSERT_TRUE(WriteWholeFile(package, before));

    EXPECT_EQ(1, BackupPackage(package.c_str(), program.path().c_str()));
    EXPECT_EQ(before, ReadWholeFile(BakFile("shop(1).csv")));

    ASSERT_TRUE(WriteWholeFile(package, "second run"));
    EXPECT_EQ(1, BackupPackage(package.c_str(), program.path().c_str()));
    EXPECT_EQ("second run", ReadWholeFile(BakFile("shop(2).csv")));
    EXPECT_EQ(before, ReadWholeFile(BakFile("shop(1).csv")));

    // Names already taken in any form are skipped: an old copy, a folder.
    // The caller learns which name the copy got.
    ASSERT_TRUE(WriteWholeFile(BakFile("shop(3).csv"), "old copy"));
    ASSERT_TRUE(std::filesystem::create_directory(BakFile("shop(4).csv")));
    char copyPath[MAX_PATH_BYTES] = {};
    EXPECT_EQ(1, BackupPackage(package.c_str(), program.path().c_str(), copyPath));
    EXPECT_EQ(BakFile("shop(5).csv"), copyPath);
    EXPECT_EQ("old copy", ReadWholeFile(BakFile("shop(3).csv")));
    EXPECT_EQ("second run", ReadWholeFile(BakFile("shop(5).csv")));

    // An empty package gives an empty copy.
    ASSERT_TRUE(WriteWholeFile(package, ""));
    EXPECT_EQ(1, BackupPackage(package.c_str(), program.path().c_str()));
    EXPECT_TRUE(PathExists(BakFile("shop(6).csv")));
    EXPECT_EQ("", ReadWholeFile(BakFile("shop(6).csv")));

    // A copy cut short by a crash stays under its "~" name, never the
    // backup's, and its number is passed over.
    ASSERT_TRUE(WriteWholeFile(BakFile(BACKUP_PART_PREFIX "shop(7).csv"), "cut sh"));
    EXPECT_EQ(1, BackupPackage(package.c_str(), program.path().c_str(), copyPath));
    EXPECT_EQ(BakFile("shop(8).csv"), copyPath);
    EXPECT_FALSE(PathExists(BakFile("shop(7).csv")));
    EXPECT_EQ("cut sh", ReadWholeFile(BakFile(BACKUP_PART_PREFIX "shop(7).csv")));
    EXPECT_FALSE(PathExists(BakFile(BACKUP_PART_PREFIX "shop(8).csv")));

    EXPECT_TRUE(front.messages.empty());
}

TEST_F(PackageWriterTest, BackupNumberGoesBeforeTheLastDot) {
    RecordingFrontEnd front;
    ASSERT_TRUE(WriteWholeFile(data.File("name"), "a"));
    ASSERT_TRUE(WriteWholeFile(data.File("a.b.csv"), "b"));
    ASSERT_TRUE(WriteWholeFile(data.File("宝贝.csv"), "c"));  // native UTF-8 on disk

    EXPECT_EQ(1, BackupPackage(data.File("name").c_str(), program.path().c_str()));
    EXPECT_EQ(1, BackupPackage(data.File("name").c_str(), program.path().c_str()));
    EXPECT_EQ(1, BackupPackage(data.File("a.b.csv").c_str(), program.path().c_str()));
    EXPECT_EQ(1, BackupPackage(data.File(Gbk("宝贝.csv")).c_str(), program.path().c_str()));

    EXPECT_EQ("a", ReadWholeFile(BakFile("name(1)")));
    EXPECT_EQ("a", ReadWholeFile(BakFile("name(2)")));
    EXPECT_EQ("b", ReadWholeFile(BakFile("a.b(1).csv")));
    EXPECT_EQ("c", ReadWholeFile(BakFile("宝贝(1).csv")));
    EXPECT_TRUE(front.messages.empty());
}

TEST_F(PackageWriterTest, BackupFailuresSayWhyAndLeaveNoPartialCopy) {
    std::string package = data.File("shop.csv");
    ASSERT_TRUE(WriteWholeFile(package, BinaryPackage()));
    const std::string copy = "shop(1).csv";

    struct Case {
        const char* name;
        FileFaultOperation operation;
        std::string pathEnd;
        int nth;
        const char* message;
    } cases[] = {
        {"bak cannot be created", FILE_FAULT_MKDIR, BACKUP_FOLDER_NAME, 1, "创建 [bak] 文件夹失败"},
        {"package cannot be opened", FILE_FAULT_OPEN_READ, "shop.csv", 1, "备份csv文件时出错：无法打开源csv文件句柄"},
        {"backup cannot be created", FILE_FAULT_OPEN_WRITE, copy, 1, "备份csv文件时出错：无法创建备份文件"},
        {"first block not written", FILE_FAULT_WRITE, copy, 1, "备份csv文件时出错：写入文件失败"},
        {"disk full after a block", FILE_FAULT_WRITE, copy, 2, "备份csv文件时出错：写入文件失败"},
        {"buffered bytes lost at close", FILE_FAULT_CLOSE, copy, 1, "备份csv文件时出错：写入文件失败"},
        {"read error mid-file", FILE_FAULT_READ, "shop.csv", 2, "备份csv文件时出错：文件读取不完整"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingFrontEnd front;
        Inject(c.operation, c.pathEnd.c_str(), c.nth);
        EXPECT_EQ(0, BackupPackage(package.c_str(), program.path().c_str(), nullptr, &failure));
        EXPECT_GT(FileFaultStrikes(), 0);
        SetFileFaultInjection(nullptr);
        ExpectFailedWith(front, c.message);
        EXPECT_FALSE(PathExists(BakFile("shop(1).csv")));
    }
    EXPECT_EQ(BinaryPackage(), ReadWholeFile(package));
}

TEST_F(PackageWriterTest, BackupFailuresWithoutInjectedFaults) {
    {
        SCOPED_TRACE("missing package");
        RecordingFrontEnd front;
        EXPECT_EQ(0, BackupPackage(data.File("gone.csv").c_str(), program.path().c_str(), nullptr, &failure));
        ExpectFailedWith(front, "备份csv文件时出错：无法打开源csv文件句柄");
        EXPECT_FALSE(PathExists(BakFile("gone(1).csv")));
    }
    {
        SCOPED_TRACE(
            "a backup path of MAX_PATH_BYTES - 2 is made (copied first as ~NAME, - 1), one longer refused, not cut");
        // "<state folder>/bak/" + stem + "(1).csv", the state folder deep
        // enough for the limit.
        const size_t stemBytes = 20;
        const std::string state = program.DeepFolder(MAX_PATH_BYTES - 2 - 5 - 7 - stemBytes, 's');
        bak = state + PATH_SEPARATOR_TEXT + BACKUP_FOLDER_NAME;
        std::string fits = std::string(stemBytes, 'f') + ".csv";
        std::string tooLong = std::string(stemBytes + 1, 'n') + ".csv";
        ASSERT_TRUE(WriteWholeFile(data.File(fits), "x"));
        ASSERT_TRUE(WriteWholeFile(data.File(tooLong), "x"));
        RecordingFrontEnd front;
        EXPECT_EQ(1, BackupPackage(data.File(fits).c_str(), state.c_str()));
        EXPECT_EQ(static_cast<size_t>(MAX_PATH_BYTES - 2), BakFile(std::string(stemBytes, 'f') + "(1).csv").size());
        EXPECT_EQ("x", ReadWholeFile(BakFile(std::string(stemBytes, 'f') + "(1).csv")));
        EXPECT_EQ(0, BackupPackage(data.File(tooLong).c_str(), state.c_str(), nullptr, &failure));
        ExpectFailedWith(front, "备份csv文件时出错：无法创建备份文件");
        int entries = 0;
        for (const auto& entry : std::filesystem::directory_iterator(bak)) entries += entry.exists() ? 1 : 0;
        EXPECT_EQ(1, entries);
        bak = program.File(BACKUP_FOLDER_NAME);
    }
    {
        SCOPED_TRACE("bak is a file");
        std::filesystem::remove_all(bak);
        ASSERT_TRUE(WriteWholeFile(bak, "not a folder"));
        ASSERT_TRUE(WriteWholeFile(data.File("shop.csv"), "x"));
        RecordingFrontEnd front;
        EXPECT_EQ(0, BackupPackage(data.File("shop.csv").c_str(), program.path().c_str(), nullptr, &failure));
        ExpectFailedWith(front, "创建 [bak] 文件夹失败");
        EXPECT_EQ("not a folder", ReadWholeFile(bak));
    }
    {
        SCOPED_TRACE("state folder too long for the bak path");
        std::string folder(MAX_PATH_BYTES - 3, 'p');
        RecordingFrontEnd front;
        EXPECT_EQ(0, BackupPackage(data.File("shop.csv").c_str(), folder.c_str(), nullptr, &failure));
        ExpectFailedWith(front, "创建 [bak] 文件夹失败");
    }
}

TEST_F(PackageWriterTest, WrittenPackageIsMarkedUcs2leOfTheText) {
    RecordingFrontEnd front;
    std::string package = data.File("shop.csv");
    ASSERT_TRUE(WriteWholeFile(package, std::string(100000, 'z')));  // longer than what replaces it
    namespace fs = std::filesystem;
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(package, mode);
    std::string text = Gbk("version 1.00\r\n\"宝贝名称\"\t\"<img src=\"\"D:\\图片\\1.jpg\"\">\"\r\n");

    EXPECT_EQ(1, WritePackage(package.c_str(), text.c_str(), nullptr));

    std::string written = ReadWholeFile(package);
    ASSERT_GE(written.size(), 2u);
    EXPECT_EQ("\xFF\xFE", written.substr(0, 2));
    std::string body = written.substr(2);
    EXPECT_EQ(std::string("v\0e\0", 4), body.substr(0, 4));
    EXPECT_NE(std::string::npos, body.find("\x9D\x5B\x1D\x8D"));  // 宝贝: U+5B9D U+8D1D
    std::string back(body.size(), '\0');
    size_t backLength = 0;
    ASSERT_EQ(0, ConvertCharsetLarge(ENCODING_UCS2LE, ENCODING_GBK, body.data(), body.size(), &back[0], back.size(),
                                     &backLength));
    back.resize(backLength);
    EXPECT_EQ(text, back);

#ifndef _WIN32                                           // Windows files have no such permission bits
    EXPECT_EQ(mode, fs::status(package).permissions());  // replacing keeps the permissions
#endif
    EXPECT_FALSE(PathExists(package + PACKAGE_TEMP_SUFFIX));

    EXPECT_EQ(1, WritePackage(package.c_str(), "", nullptr));
    EXPECT_EQ("\xFF\xFE", ReadWholeFile(package));
    EXPECT_TRUE(front.messages.empty());
}

TEST_F(PackageWriterTest, FailedWriteKeepsThePackageAndLeavesNoTemporaryFile) {
    std::string package = data.File("shop.csv");
    std::string temp = package + PACKAGE_TEMP_SUFFIX;
    std::string old = "\xFF\xFE" + Ucs2le(Gbk("旧的数据包"));
    std::string text = Gbk("新的数据包\r\n") + std::string(3 * BACKUP_BLOCK_BYTES, 'x');

    struct Case {
        const char* name;
        FileFaultOperation operation;  // 0: no fault
        const char* pathEnd;
        int nth;
        std::string text;
        const char* message;
    } cases[] = {
        {"text ends inside a character", FileFaultOperation(0), nullptr, 1, "abc\xB0",
         "更新CSV文件失败：iconv()转码出错了。"},
        {"folder takes no new file at all", FILE_FAULT_OPEN_WRITE, "", 1, text, "更新CSV文件失败：文件句柄无法打开。"},
        {"mark not written", FILE_FAULT_WRITE, PACKAGE_TEMP_SUFFIX, 1, text, "更新CSV文件失败：写入文件出错。"},
        {"disk full after the mark", FILE_FAULT_WRITE, PACKAGE_TEMP_SUFFIX, 2, text, "更新CSV文件失败：写入文件出错。"},
        {"disk full when flushing", FILE_FAULT_CLOSE, PACKAGE_TEMP_SUFFIX, 1, text, "更新CSV文件失败：写入文件出错。"},
        {"bytes not on the disk before the replace", FILE_FAULT_SYNC, PACKAGE_TEMP_SUFFIX, 1, text,
         "更新CSV文件失败：写入文件出错。"},
    };
    SetPackageReplaceWait(2, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteWholeFile(package, old));
        RecordingFrontEnd front;
        if (c.operation != 0) Inject(c.operation, c.pathEnd, c.nth);
        EXPECT_EQ(0, WritePackage(package.c_str(), c.text.c_str(), nullptr, nullptr, &failure));
        if (c.operation != 0) {
            EXPECT_GT(FileFaultStrikes(), 0);
        }
        SetFileFaultInjection(nullptr);
        ExpectFailedWith(front, c.message);
        EXPECT_EQ(old, ReadWholeFile(package));
        EXPECT_FALSE(PathExists(temp));
        EXPECT_EQ(
            1, std::distance(std::filesystem::directory_iterator(data.path()), std::filesystem::directory_iterator()));
    }
    SetPackageReplaceWait(-1, -1);
}

// A package that cannot be replaced (another program holds it, the move is
// refused, its temporary name is held) is tried again; then the new
// package is kept beside it under a name of its own, never over another
// file, and the package keeps its bytes.  A checkpoint tries once and
// leaves everything as it was.
TEST_F(PackageWriterTest, PackageThatCannotBeReplacedIsKeptBeside) {
    const int TRIES = 3;
    SetPackageReplaceWait(TRIES, 0);
    std::string package = data.File("shop.csv");
    std::string old = "\xFF\xFE" + Ucs2le(Gbk("旧的数据包"));
    std::string text = Gbk("新的数据包\r\n") + std::string(3 * BACKUP_BLOCK_BYTES, 'x');
    std::string written = "\xFF\xFE" + Ucs2le(text);
    ASSERT_TRUE(WriteWholeFile(package, old));
    struct Case {
        const char* name;
        FileFaultOperation operation;
        const char* pathEnd;
        const char* kept;  // UTF-8
    } cases[] = {
        {"held by another program", FILE_FAULT_HELD, "shop.csv", "shop(已搬家).csv"},
        {"move refused", FILE_FAULT_REPLACE, "shop.csv", "shop(已搬家2).csv"},
        {"temporary name held", FILE_FAULT_OPEN_WRITE, PACKAGE_TEMP_SUFFIX, "shop(已搬家3).csv"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingFrontEnd front;
        Inject(c.operation, c.pathEnd);
        char kept[MAX_PATH_BYTES] = "";
        EXPECT_EQ(PACKAGE_KEPT_BESIDE, WritePackage(package.c_str(), text.c_str(), kept));
        EXPECT_EQ(TRIES, FileFaultStrikes());
        SetFileFaultInjection(nullptr);
        EXPECT_TRUE(front.messages.empty());
        EXPECT_EQ(data.File(Gbk(c.kept)), kept);
        EXPECT_EQ(written, ReadWholeFile(data.File(c.kept)));
        EXPECT_EQ(old, ReadWholeFile(package));
        EXPECT_FALSE(PathExists(package + PACKAGE_TEMP_SUFFIX));
    }
    EXPECT_EQ(written, ReadWholeFile(data.File("shop(已搬家).csv")));  // the first copy is never overwritten

    RecordingFrontEnd front;
    Inject(FILE_FAULT_HELD, "shop.csv");
    EXPECT_EQ(PACKAGE_HELD, WritePackageIfFree(package.c_str(), text.c_str()));
    EXPECT_EQ(1, FileFaultStrikes());
    SetFileFaultInjection(nullptr);
    EXPECT_EQ(old, ReadWholeFile(package));
    EXPECT_EQ(4,
              std::distance(std::filesystem::directory_iterator(data.path()), std::filesystem::directory_iterator()));

    // Once free, the package is replaced as always.
    EXPECT_EQ(PACKAGE_WRITTEN, WritePackageIfFree(package.c_str(), text.c_str()));
    EXPECT_EQ(written, ReadWholeFile(package));
    EXPECT_TRUE(front.messages.empty());
    SetPackageReplaceWait(-1, -1);
}

TEST_F(PackageWriterTest, UnwritablePathsAreRefusedUntouched) {
    {
        SCOPED_TRACE("no room for the temporary name");
        const std::string folder = data.DeepFolder(MAX_PATH_BYTES - 1 - 1 - 20 - 4, 'd');
        std::string package = folder + PATH_SEPARATOR_TEXT + std::string(20, 'n') + ".csv";
        ASSERT_EQ(static_cast<size_t>(MAX_PATH_BYTES - 1), package.size());
        ASSERT_TRUE(WriteWholeFile(package, "old"));
        RecordingFrontEnd front;
        EXPECT_EQ(0, WritePackage(package.c_str(), "new", nullptr, nullptr, &failure));
        ExpectFailedWith(front, "更新CSV文件失败：文件句柄无法打开。");
        EXPECT_EQ("old", ReadWholeFile(package));
    }
    {
        SCOPED_TRACE("the package path is a folder");
        std::string folder = data.File("folder.csv");
        ASSERT_TRUE(std::filesystem::create_directory(folder));
        RecordingFrontEnd front;
        EXPECT_EQ(0, WritePackage(folder.c_str(), "new", nullptr, nullptr, &failure));
        ExpectFailedWith(front, "更新CSV文件失败：文件句柄无法打开。");
        EXPECT_TRUE(std::filesystem::is_directory(folder));
        EXPECT_FALSE(PathExists(folder + PACKAGE_TEMP_SUFFIX));
    }
}

#ifndef _WIN32  // symbolic links as a user makes them: POSIX
TEST_F(PackageWriterTest, PackageBehindASymbolicLinkIsWrittenWhereTheLinkLeads) {
    namespace fs = std::filesystem;
    RecordingFrontEnd front;
    TempDir elsewhere;  // the real package lives in another folder
    const std::string target = elsewhere.File("real.csv");
    const std::string link = data.File("shop.csv");
    ASSERT_TRUE(WriteWholeFile(target, "old"));
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(target, mode);
    fs::create_symlink(target, link);
    const std::string text = Gbk("新的数据包");

    EXPECT_EQ(1, WritePackage(link.c_str(), text.c_str(), nullptr));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(target, fs::read_symlink(link).string());
    EXPECT_EQ("\xFF\xFE" + Ucs2le(text), ReadWholeFile(target));
    EXPECT_EQ(mode, fs::status(target).permissions());
    EXPECT_FALSE(PathExists(link + PACKAGE_TEMP_SUFFIX));
    EXPECT_FALSE(PathExists(target + PACKAGE_TEMP_SUFFIX));

    // A relative link, and a link to a link.
    const std::string relative = data.File("relative.csv");
    fs::create_symlink("shop.csv", relative);
    EXPECT_EQ(1, WritePackage(relative.c_str(), "second", nullptr));
    EXPECT_TRUE(fs::is_symlink(relative));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ("\xFF\xFE" + Ucs2le("second"), ReadWholeFile(target));
    EXPECT_TRUE(front.messages.empty());
}

TEST_F(PackageWriterTest, LinkThatLeadsNowhereIsRefusedUntouched) {
    namespace fs = std::filesystem;
    const std::string dangling = data.File("dangling.csv");
    fs::create_symlink(data.File("gone.csv"), dangling);
    const std::string loopA = data.File("a.csv"), loopB = data.File("b.csv");
    fs::create_symlink(loopB, loopA);
    fs::create_symlink(loopA, loopB);
    for (const std::string& path : {dangling, loopA}) {
        SCOPED_TRACE(path);
        RecordingFrontEnd front;
        EXPECT_EQ(0, WritePackage(path.c_str(), "new", nullptr, nullptr, &failure));
        ExpectFailedWith(front, "更新CSV文件失败：文件句柄无法打开。");
        EXPECT_TRUE(fs::is_symlink(path));
        EXPECT_FALSE(PathExists(path + PACKAGE_TEMP_SUFFIX));
    }
    EXPECT_FALSE(PathExists(data.File("gone.csv")));
    EXPECT_EQ(data.File("gone.csv"), fs::read_symlink(dangling).string());
    EXPECT_EQ(3, std::distance(fs::directory_iterator(data.path()), fs::directory_iterator()));
}
#endif

}  // namespace
