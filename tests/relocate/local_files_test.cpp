#include "relocate/local_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/fs.h"
#include "support/temp_dir.h"

TEST(ImageExtensionForUrl, TakesTheLastDotAfterTheLastSlash) {
    EXPECT_STREQ("jpg", ImageExtensionForUrl("http://h/a.JPG"));
    EXPECT_STREQ("jpeg", ImageExtensionForUrl("http://h/a.jpeg"));
    EXPECT_STREQ("png", ImageExtensionForUrl("http://h/a.png?x=1"));
    EXPECT_STREQ("gif", ImageExtensionForUrl("http://h/a.GIF#top"));
    EXPECT_STREQ("bmp", ImageExtensionForUrl("//h/a.bmp"));
    EXPECT_STREQ("jpg", ImageExtensionForUrl("http://h/a.webp"));
    EXPECT_STREQ("jpg", ImageExtensionForUrl("http://h/pic"));
    EXPECT_STREQ("jpg", ImageExtensionForUrl("http://h.com/pic"));  // the host's dot is before the last slash
    EXPECT_STREQ("jpg", ImageExtensionForUrl("no-slash.png"));
    EXPECT_STREQ("jpg", ImageExtensionForUrl("http://h/a."));
    // Only the first seven bytes count: 'jpg_120' still says jpg.
    EXPECT_STREQ("jpg", ImageExtensionForUrl("http://h/a.jpg_120x120q90"));
    EXPECT_STREQ("png", ImageExtensionForUrl("http://h/a.png_80x80"));
    // The last dot may be in the query; '2' names nothing.
    EXPECT_STREQ("jpg", ImageExtensionForUrl("http://h/a.gif?v=1.2"));
    EXPECT_STREQ("gif", ImageExtensionForUrl("http://h/a?f=x.gif"));
}

TEST(NextLocalImagePath, NamesFromTheStartTimeAndOneCounter) {
    TempDir dir;
    const RunTimeStamp stamp = {2026, 3, 5, 9, 7};
    imageCounter = 1;
    char path[MAX_PATH_BYTES];
    const std::string prefix = dir.path() + PATH_SEPARATOR_TEXT;

    ASSERT_TRUE(WriteWholeFile(prefix + "2026-3-5-9-7-1.jpg", "taken"));
    ASSERT_EQ(1, NextLocalImagePath(IMAGE_KIND_DESKTOP, "jpg", dir.path().c_str(), stamp, path, sizeof path));
    EXPECT_EQ(prefix + "2026-3-5-9-7-2.jpg", path);  // value 1 was spent on the taken name
    ASSERT_EQ(1, NextLocalImagePath(IMAGE_KIND_DESKTOP, "png", dir.path().c_str(), stamp, path, sizeof path));
    EXPECT_EQ(prefix + "2026-3-5-9-7-3.png", path);
    // Mobile names draw from the same counter.
    ASSERT_EQ(1, NextLocalImagePath(IMAGE_KIND_MOBILE, "jpg", dir.path().c_str(), stamp, path, sizeof path));
    EXPECT_EQ(prefix + "m-2026-3-5-9-7-4.jpg", path);
    // A folder standing at a candidate name is never used as a file name.
    ASSERT_TRUE(std::filesystem::create_directory(prefix + "2026-3-5-9-7-5.jpg"));
    ASSERT_EQ(1, NextLocalImagePath(IMAGE_KIND_DESKTOP, "jpg", dir.path().c_str(), stamp, path, sizeof path));
    EXPECT_EQ(prefix + "2026-3-5-9-7-6.jpg", path);
    EXPECT_EQ(7, imageCounter);
    // The name is taken by making the file, so no other run can take it.
    EXPECT_TRUE(PathExists(path));
    EXPECT_EQ("", ReadWholeFile(path));
#ifndef _WIN32
    // A link, even one that leads nowhere, holds its name too.
    std::filesystem::create_symlink(prefix + "nowhere", prefix + "2026-3-5-9-7-7.jpg");
    ASSERT_EQ(1, NextLocalImagePath(IMAGE_KIND_DESKTOP, "jpg", dir.path().c_str(), stamp, path, sizeof path));
    EXPECT_EQ(prefix + "2026-3-5-9-7-8.jpg", path);
    EXPECT_FALSE(PathExists(prefix + "nowhere"));
#endif
    // A folder that is gone takes no name.
    EXPECT_EQ(LOCAL_NAME_NOT_CREATED,
              NextLocalImagePath(IMAGE_KIND_DESKTOP, "jpg", (prefix + "gone").c_str(), stamp, path, sizeof path));
}

TEST(NextLocalImagePath, RefusesPathsThatDoNotFit) {
    const RunTimeStamp stamp = {2026, 12, 31, 23, 59};
    std::string longFolder(MAX_PATH_BYTES - 10, 'd');
    char path[MAX_PATH_BYTES];
    EXPECT_EQ(0, NextLocalImagePath(IMAGE_KIND_DESKTOP, "jpg", longFolder.c_str(), stamp, path, sizeof path));
    EXPECT_STREQ("", path);
}

// With `claimed` the name's new file stays open for its writer, and a name
// held by anything still moves the claim on to the next.
TEST(NextLocalImagePath, ClaimKeepsTheNewFileOpenForItsWriter) {
    TempDir dir;
    const RunTimeStamp stamp = {2026, 3, 5, 9, 7};
    const std::string prefix = dir.path() + PATH_SEPARATOR_TEXT;
    const char* const holders[] = {"file", "folder"};
    for (const char* holder : holders) {
        SCOPED_TRACE(holder);
        imageCounter = 1;
        std::filesystem::remove_all(prefix + "2026-3-5-9-7-1.jpg");
        std::filesystem::remove_all(prefix + "2026-3-5-9-7-2.jpg");
        if (std::string(holder) == "file") {
            ASSERT_TRUE(WriteWholeFile(prefix + "2026-3-5-9-7-1.jpg", "taken"));
        } else {
            ASSERT_TRUE(std::filesystem::create_directory(prefix + "2026-3-5-9-7-1.jpg"));
        }
        char path[MAX_PATH_BYTES];
        FILE* claimed = nullptr;
        ASSERT_EQ(LOCAL_NAME_MADE,
                  NextLocalImagePath(IMAGE_KIND_DESKTOP, "jpg", dir.path().c_str(), stamp, path, sizeof path, &claimed));
        EXPECT_EQ(prefix + "2026-3-5-9-7-2.jpg", path);
        ASSERT_NE(nullptr, claimed);
        EXPECT_EQ(3u, WriteFileBytes(claimed, "new", 3));
        EXPECT_EQ(1, CloseFile(claimed));
        EXPECT_EQ("new", ReadWholeFile(path));
    }
}
