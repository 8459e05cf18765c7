#include <gtest/gtest.h>

#include <string>

#include "platform/fs.h"
#include "support/file_fault_layer.h"
#include "support/temp_dir.h"
#include "util/files.h"

namespace {

int countedOpens = 0;

FILE* CountingOpen(const char* path, const char* mode) {
    ++countedOpens;
    return NativeFileOperations()->openByPath(path, mode);
}

class FileFaultTest : public ::testing::Test {
protected:
    void TearDown() override { SetFileFaultInjection(nullptr); }
    TempDir dir;
};

TEST_F(FileFaultTest, NthWriteAndEveryLaterOneFailOnMatchingStreamsOnly) {
    std::string hit = dir.File("hit.bin"), miss = dir.File("miss.bin");
    FileFault fault = {FILE_FAULT_WRITE, "hit.bin", 2};
    SetFileFaultInjection(&fault);

    FILE* hitFile = OpenFileByPath(hit.c_str(), "wb");
    FILE* missFile = OpenFileByPath(miss.c_str(), "wb");
    ASSERT_NE(nullptr, hitFile);
    ASSERT_NE(nullptr, missFile);
    EXPECT_EQ(3u, WriteFileBytes(hitFile, "abc", 3));
    EXPECT_EQ(2u, WriteFileBytes(hitFile, "defg", 4));  // a short write
    EXPECT_EQ(0u, WriteFileBytes(hitFile, "h", 1));     // a full disk stays full
    EXPECT_EQ(3u, WriteFileBytes(missFile, "xyz", 3));
    EXPECT_EQ(1, CloseFile(hitFile));
    EXPECT_EQ(1, CloseFile(missFile));
    EXPECT_EQ(2, FileFaultStrikes());
    EXPECT_EQ("abcde", ReadWholeFile(hit));
    EXPECT_EQ("xyz", ReadWholeFile(miss));
}

TEST_F(FileFaultTest, PathFaultsStrikeTheirOperationAndGoAwayWhenRemoved) {
    std::string file = dir.File("a.txt"), folder = dir.File("sub");
    ASSERT_TRUE(WriteWholeFile(file, "a"));

    FileFault openWrite = {FILE_FAULT_OPEN_WRITE, "a.txt", 1};
    SetFileFaultInjection(&openWrite);
    FILE* longer = OpenFileByPath((file + ".tmp").c_str(), "wb");  // the path must end so
    ASSERT_NE(nullptr, longer);
    CloseFile(longer);
    EXPECT_EQ(nullptr, OpenFileByPath(file.c_str(), "r+b"));
    EXPECT_EQ(nullptr, OpenFileByPath(file.c_str(), "ab"));
    EXPECT_EQ(1, FileExists(file.c_str()));  // reading is not refused

    FileFault mkdirFault = {FILE_FAULT_MKDIR, nullptr, 1};
    SetFileFaultInjection(&mkdirFault);
    EXPECT_EQ(0, MakeDirectory(folder.c_str()));
    EXPECT_EQ(0, IsDirectory(folder.c_str()));

    FileFault replace = {FILE_FAULT_REPLACE, "sub", 1};  // matched on the target
    SetFileFaultInjection(&replace);
    EXPECT_EQ(0, ReplaceFileByPath(file.c_str(), folder.c_str()));
    EXPECT_EQ(1, FileFaultStrikes());

    SetFileFaultInjection(nullptr);
    EXPECT_EQ(1, MakeDirectory(folder.c_str()));
    FILE* stream = OpenFileByPath(file.c_str(), "ab");
    ASSERT_NE(nullptr, stream);
    EXPECT_EQ(1u, WriteFileBytes(stream, "b", 1));
    EXPECT_EQ(1, CloseFile(stream));
    EXPECT_EQ("ab", ReadWholeFile(file));
}

TEST_F(FileFaultTest, StreamReusingAnAddressIsJudgedByItsOwnPath) {
    std::string hit = dir.File("hit.txt"), miss = dir.File("miss.txt");
    ASSERT_TRUE(WriteWholeFile(hit, "h"));
    ASSERT_TRUE(WriteWholeFile(miss, "m"));
    FileFault fault = {FILE_FAULT_READ, "hit.txt", 1};
    SetFileFaultInjection(&fault);

    // FileExists closes with fclose, so its matching stream stays noted.
    EXPECT_EQ(1, FileExists(hit.c_str()));
    FILE* stream = OpenFileByPath(miss.c_str(), "rb");
    ASSERT_NE(nullptr, stream);
    char byte = 0;
    EXPECT_EQ(1u, ReadFileBytes(stream, &byte, 1));
    EXPECT_EQ('m', byte);
    CloseFile(stream);

    stream = OpenFileByPath(hit.c_str(), "rb");
    ASSERT_NE(nullptr, stream);
    EXPECT_EQ(0u, ReadFileBytes(stream, &byte, 1));
    EXPECT_FALSE(std::feof(stream));  // a failed read, not the end of the file
    CloseFile(stream);
}

// The seam itself: a layer of the test's own sees the public calls while it
// is in use, and null puts the system's own operations back.
TEST_F(FileFaultTest, InstalledLayerSeesTheCallsUntilTheNativeTableIsBack) {
    std::string file = dir.File("layer.txt");
    FileOperations counting = *NativeFileOperations();
    counting.openByPath = CountingOpen;
    countedOpens = 0;
    UseFileOperations(&counting);
    FILE* stream = OpenFileByPath(file.c_str(), "wb");
    ASSERT_NE(nullptr, stream);
    EXPECT_EQ(5u, WriteFileBytes(stream, "layer", 5));
    EXPECT_EQ(1, CloseFile(stream));
    EXPECT_EQ(1, countedOpens);

    UseFileOperations(nullptr);
    stream = OpenFileByPath(file.c_str(), "rb");
    ASSERT_NE(nullptr, stream);
    CloseFile(stream);
    EXPECT_EQ(1, countedOpens);
    EXPECT_EQ("layer", ReadWholeFile(file));
}

}  // namespace
