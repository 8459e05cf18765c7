#include "relocate/run_inputs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "package/reader.h"
#include "package/writer.h"
#include "relocate/core_state.h"
#include "support/package_generator.h"
#include "platform/fs.h"
#include "support/file_fault_layer.h"
#include "support/gbk.h"
#include "support/temp_dir.h"

namespace {

RunOptions OptionsFor(const std::string& destination) {
    RunOptions options = {};
    options.relocateImageSpace = 1;
    options.relocateOutsideAlbums = 1;
    std::snprintf(options.destination, sizeof options.destination, "%s", destination.c_str());
    return options;
}

// A package that can be written, beside the folders of the tests.
class Package {
public:
    Package() { WriteWholeFile(path, "package"); }
    TempDir dir;
    std::string path = dir.File("shop.csv");
};

char text[1024];

const char* Check(const std::string& destination, InputField* field, const char* desktop = nullptr,
                  const std::string& package = Package().path) {
    return CheckRunInputs(OptionsFor(destination), package.c_str(), desktop, field, text, sizeof text);
}

TEST(CheckRunInputs, AcceptsAnExistingFolder) {
    TempDir dir;
    InputField field = INPUT_DESTINATION;
    EXPECT_EQ(nullptr, Check(dir.path(), &field));
    EXPECT_EQ(INPUT_OK, field);

    // A Chinese name: GBK trail bytes are never taken for quotes or controls.
    const std::string chinese = dir.path() + PATH_SEPARATOR_TEXT + Gbk("图片搬家");
    ASSERT_EQ(1, MakeDirectory(chinese.c_str()));
    EXPECT_EQ(nullptr, Check(chinese, &field));
    EXPECT_EQ(INPUT_OK, field);
}

TEST(CheckRunInputs, RefusesQuotesAndControlCharactersInTheDestination) {
    TempDir dir;
    const std::string base = dir.path() + PATH_SEPARATOR_TEXT;
    // Whether or not such a folder exists, it cannot go into the package.
    const std::string refused[] = {base + "d\"q", base + "\"",       base + "tab\there", base + "line\nbreak",
                                   base + "cr\r", base + "bell\x07", base + "del\x7f",   base + "unit\x1f"};
    for (const std::string& destination : refused) {
        InputField field = INPUT_OK;
        const char* warning = Check(destination, &field);
        EXPECT_EQ(MESSAGE_DESTINATION_UNWRITABLE, warning) << destination;
        EXPECT_EQ(INPUT_DESTINATION, field) << destination;
    }
    EXPECT_EQ(Gbk("选择的文件夹路径中含有双引号或控制字符，无法写入数据包，请重新选择"),
              std::string(MESSAGE_DESTINATION_UNWRITABLE));

    // The other checks keep their order: no image source first, then empty.
    InputField field = INPUT_OK;
    RunOptions noSource = OptionsFor(base + "d\"q");
    noSource.relocateImageSpace = 0;
    noSource.relocateOutsideAlbums = 0;
    EXPECT_EQ(MESSAGE_NO_IMAGE_SOURCE, CheckRunInputs(noSource, "", nullptr, &field, text, sizeof text));
    EXPECT_EQ(INPUT_IMAGE_SOURCE, field);
    EXPECT_EQ(MESSAGE_NO_DESTINATION, Check("", &field));
    EXPECT_EQ(MESSAGE_DESTINATION_MISSING, Check(base + "missing", &field));
    EXPECT_EQ(MESSAGE_DESTINATION_DESKTOP, Check(dir.path(), &field, dir.path().c_str()));
}

// A destination is refused when the next read would cut it ("_.webp") or
// when it holds a character that would break the markup around one of
// THIS package's addresses, named with the item's title; a folder with a
// space or a quote stays usable where every address is double-quoted.
TEST(CheckRunInputs, RefusesDestinationsThatBreakThePackagesAddresses) {
    TempDir dir;
    const std::string base = dir.path() + PATH_SEPARATOR_TEXT;
    const std::string quoted = "<img src=\"http://h/q.jpg\">";
    struct Case {
        std::string description, mobile, folder;
        const char* refusal;  // UTF-8 text the message holds; null: accepted
    } cases[] = {
        {quoted, "", "a b'c(1)<", nullptr},
        {quoted, "", "x_.webp", "下次搬家时会被当作图片地址的后缀去掉"},
        {quoted + "<img src='http://h/s.jpg'>", "", "it's", "含有字符“'”，而宝贝[宝贝1]的图片地址"},
        {"<img src=http://h/u.jpg>", "", "my pics", "含有空格，而宝贝[宝贝1]"},
        {"<td background=http://h/u.jpg>", "", "a>b", "含有字符“>”"},
        {"<div style=\"background:url(http://h/c.jpg)\">", "", "a(1)", "含有字符“(”"},
        {"<div style=\"background:url('http://h/c.jpg')\">", "", "a(1)", nullptr},
        {quoted, "<img>http://h/m.jpg</img>", "a<b", "含有字符“<”"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description + " " + c.folder);
        PackageLayout layout;
        layout.items.push_back(MakeItem(Gbk("宝贝0"), quoted, ""));
        layout.items.push_back(MakeItem(Gbk("宝贝1"), c.description, c.mobile));
        Package package;
        ASSERT_TRUE(WritePackageFile(package.path, layout));
        ASSERT_EQ(PACKAGE_READ_OK, LoadPackageIntoState(package.path.c_str()));
        InputField field = INPUT_OK;
        const char* warning = Check(base + c.folder, &field, nullptr, package.path);
        if (c.refusal == nullptr) {
            EXPECT_EQ(MESSAGE_DESTINATION_MISSING, warning);  // past the character checks
        } else {
            ASSERT_NE(nullptr, warning);
            EXPECT_NE(std::string::npos, std::string(warning).find(Gbk(c.refusal))) << Utf8(warning);
            EXPECT_EQ(INPUT_DESTINATION, field);
        }
    }
    ClearItemRecords(coreState.items);
}

// What would make a run fail late is refused before it starts: a
// destination with no room for the longest image name, a package whose
// temporary or backup path does not fit, and a package another program
// holds; each path one byte shorter passes.
TEST(CheckRunInputs, RefusesWhatTheRunCouldNotWrite) {
    TempDir dir;
    // "m-9999-12-31-23-59-2147483647.jpeg" and its separator: 35 bytes.
    const size_t destinationRoom = MAX_PATH_BYTES - 1 - 35;
    const std::string longest = dir.DeepFolder(destinationRoom, 'd');
    const std::string tooLong = longest + "d";
    ASSERT_TRUE(PathExists(longest));
    ASSERT_EQ(1, MakeDirectory(tooLong.c_str()));
    InputField field = INPUT_OK;
    EXPECT_EQ(nullptr, Check(longest, &field));
    EXPECT_EQ(MESSAGE_DESTINATION_TOO_LONG, Check(tooLong, &field));
    EXPECT_EQ(INPUT_DESTINATION, field);

    // The temporary file is the longest path formed beside the package.
    const std::string folder = dir.DeepFolder(MAX_PATH_BYTES - 1 - std::strlen(PACKAGE_TEMP_SUFFIX) - 4 - 21, 'f');
    const std::string fits = folder + PATH_SEPARATOR_TEXT + std::string(20, 'p') + ".csv";
    const std::string noRoom = folder + PATH_SEPARATOR_TEXT + std::string(21, 'q') + ".csv";
    ASSERT_TRUE(WriteWholeFile(fits, "package"));
    ASSERT_TRUE(WriteWholeFile(noRoom, "package"));
    EXPECT_EQ(nullptr, Check(longest, &field, nullptr, fits));
    EXPECT_EQ(text, Check(longest, &field, nullptr, noRoom));
    EXPECT_EQ(INPUT_PACKAGE, field);
    EXPECT_EQ(0u, std::string(text).find("[" + noRoom.substr(folder.size() + 1) + "]" +
                                         Gbk("数据包的文件名或所在文件夹的路径太长，搬家时无法备份或写回数据包。")))
        << text;

    Package held;
    FileFault fault = {FILE_FAULT_HELD, "shop.csv", 1};
    SetFileFaultInjection(&fault);
    EXPECT_EQ(text, Check(longest, &field, nullptr, held.path));
    SetFileFaultInjection(nullptr);
    EXPECT_EQ(INPUT_PACKAGE, field);
    EXPECT_EQ(Gbk("[shop.csv]可能正被 Excel 或 WPS "
                  "等程序打开，搬家后无法写回数据包。\n\n请先关闭打开它的程序，然后再开始搬家。"),
              std::string(text));
    // Asking left nothing behind.
    EXPECT_EQ(
        1, std::distance(std::filesystem::directory_iterator(held.dir.path()), std::filesystem::directory_iterator()));
}

}  // namespace
