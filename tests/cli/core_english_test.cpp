// The core's Chinese messages in English: plain, formatted and composed
// ones matched against the catalog piece by piece.
#include "cli/core_english.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli/console.h"
#include "texts/texts.h"

namespace {

// The core's message as the run forms it: `format` with `values`.
template <typename... Values>
std::string Formed(const char* format, Values... values) {
    char text[4096];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

TEST(CoreEnglish, MessagesAreMatchedPieceByPieceAndArgumentsCarriedOver) {
    const std::string package = CoreFromUtf8("货品(夏季).csv");
    const std::string kept = CoreFromUtf8("/home/卖家/货品(夏季)(已搬家).csv");
    struct Row {
        std::string core, english;
    };
    // clang-format off
    const Row rows[] = {
        {MESSAGE_NOTHING_TO_DO, "No image to relocate was found."},
        {Formed(FORMAT_DONE, package.c_str()), "Image relocation finished; the package (" + package + ") is updated."},
        // The final message of a run with failures and vanished images.
        {Formed(FORMAT_DONE, package.c_str()) + TEXT_SOME_FAILED + Formed(FORMAT_IMAGES_VANISHED, 12),
         "Image relocation finished; the package (" + package + ") is updated." + EnglishText(TEXT_SOME_FAILED) +
             "\n\n12 images vanished from the destination before they were saved; their addresses stay as they were, "
             "and the next run downloads them again."},
        {std::string(MESSAGE_ALL_FAILED) + Formed(FORMAT_IMAGES_VANISHED, 1),
         "Image relocation failed: no image was relocated.\n\n1 images vanished from the destination before they "
         "were saved; their addresses stay as they were, and the next run downloads them again."},
        // Kept beside, with paths that hold the format's own brackets.
        {Formed(FORMAT_KEPT_BESIDE, package.c_str(), kept.c_str()) + TEXT_SOME_FAILED,
         "The package (" + package + ") may be open in Excel, WPS or another program, so it could not be updated.\n\n"
         "The relocated package is saved as:\n" + kept + "\n\nClose the program that holds the package, then replace "
         "the package with this file." + EnglishText(TEXT_SOME_FAILED)},
        {Formed(FORMAT_OUT_OF_MEMORY, 4096ul),
         "Out of memory: 4096 bytes could not be allocated, and the program cannot go on."},
        // A capture that is itself a catalog text is English too.
        {Formed(FORMAT_PROXY_CANNOT_PARSE, TEXT_SYSTEM_PROXY_SETTINGS, "http://h:99999"),
         "the proxy address cannot be understood (the system's proxy settings): http://h:99999"},
        {Formed(FORMAT_TITLE_TOO_LONG, package.c_str(), 255, 127, STEP_ONE, package.c_str(), package.c_str(),
                package.c_str()).substr(0, 60), ""},
        // Nothing the catalog knows: as it is.
        {CoreFromUtf8("连接被重置"), ""},
        {CoreFromUtf8("货品(夏季)"), ""},  // not the reasons' bare "%s(%s)"
        {std::string(MESSAGE_ALL_FAILED) + "!", ""},
    };
    // clang-format on
    for (const Row& row : rows) {
        const std::string expected = row.english.empty() ? row.core : row.english;
        EXPECT_EQ(Utf8FromCore(expected), Utf8FromCore(ShownCoreText(row.core)));
    }
    std::vector<CorePart> parts;
    ASSERT_TRUE(MatchCoreText(Formed(FORMAT_DONE, package.c_str()) + TEXT_SOME_FAILED, &parts));
    ASSERT_EQ(2u, parts.size());
    EXPECT_EQ(FORMAT_DONE, parts[0].text);
    EXPECT_EQ(std::vector<std::string>{package}, parts[0].captures);
    EXPECT_EQ(TEXT_SOME_FAILED, parts[1].text);
    const std::string whole = Formed(FORMAT_TITLE_TOO_LONG, package.c_str(), 255, 127, STEP_ONE, package.c_str(),
                                     package.c_str(), package.c_str());
    EXPECT_NE(std::string::npos, ShownCoreText(whole).find("longer than 255 bytes (127 Chinese characters)"));
    EXPECT_NE(std::string::npos, ShownCoreText(whole).find("1. Open the listing tool"));
}

}  // namespace
