#include "relocate/run_inputs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/fs.h"
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

const char* Check(const std::string& destination, InputField* field, const char* desktop = nullptr) {
    return CheckRunInputs(OptionsFor(destination), desktop, field);
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
    const std::string refused[] = {base + "d\"q", base + "\"", base + "tab\there", base + "line\nbreak",
                                   base + "cr\r", base + "bell\x07", base + "del\x7f", base + "unit\x1f"};
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
    EXPECT_EQ(MESSAGE_NO_IMAGE_SOURCE, CheckRunInputs(noSource, nullptr, &field));
    EXPECT_EQ(INPUT_IMAGE_SOURCE, field);
    EXPECT_EQ(MESSAGE_NO_DESTINATION, Check("", &field));
    EXPECT_EQ(MESSAGE_DESTINATION_MISSING, Check(base + "missing", &field));
    EXPECT_EQ(MESSAGE_DESTINATION_DESKTOP, Check(dir.path(), &field, dir.path().c_str()));
}

}  // namespace
