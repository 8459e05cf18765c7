// A package that holds every kind of character the marketplace's sellers
// write goes through the whole run (read, download, rewrite, write back) and
// comes back byte for byte, but for the addresses the run relocated.  The
// package is built as UTF-16 here, without the core's converters, so a
// character the core drops or mangles cannot hide in both sides alike.  The
// same test runs in the Windows build, where paths reach the system as UTF-16.
#include "platform/net.h"  // Winsock before <windows.h>

#include "demo/loopback_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "http/connection.h"
#include "package/item_record.h"
#include "package/reader.h"
#include "platform/fs.h"
#include "relocate/run.h"
#include "relocate/run_view.h"
#include "support/gbk.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"
#include "relocate/core_state.h"
#include "util/app_log.h"
#include "util/charset.h"

namespace {

std::string Utf16le(const std::u16string& text) {
    std::string bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::u16string Quote(const std::u16string& field) {
    std::u16string quoted = u"\"";
    for (char16_t unit : field) {
        quoted += unit;
        if (unit == u'"') quoted += u'"';
    }
    return quoted + u"\"";
}

std::u16string ReplaceAllUnits(std::u16string text, const std::u16string& from, const std::u16string& to) {
    for (size_t at = text.find(from); at != std::u16string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Every kind of character: GBK (with a backslash trail byte, 癨 = 0xF0 0x5C),
// Latin letters and signs GBK lacks, Hangul, Thai, Arabic, emoji (surrogate
// pairs), a zero-width no-break space inside the text, TAB and CR LF inside
// the free text, doubled quotes, a private-use character.
const std::u16string KINDS =
    u"纯棉T恤 癨\\ © ß ñ ø é € 한국어 ภาษาไทย العربية 😀👍🏽 \uFEFF \uE000 "
    u"“引号”";

std::string PngBody(const std::string& path) { return std::string("\x89PNG\r\n\x1a\n", 8) + path; }

class RoundTripTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(1, StartNetwork());  // Winsock on Windows; nothing on POSIX
        ASSERT_TRUE(server.Start());
        std::snprintf(coreState.stateFolder, sizeof coreState.stateFolder, "%s", dir.path().c_str());
        coreState.stopRequested = 0;
        coreState.items = NewItemList();
        ASSERT_EQ(1, OpenAppLog(dir.path().c_str()));
    }
    void TearDown() override {
        ClearItemRecords(coreState.items);
        FreeItemList(coreState.items);
        coreState.items = nullptr;
        std::free(coreState.packageText);
        coreState.packageText = nullptr;
        CloseAppLog();
    }

    std::u16string Url(const std::string& path) { return Ascii(server.Url(path)); }

    TempDir dir;
    LoopbackImageServer server{[](const std::string& path) {
        LoopbackResponse response;
        if (path.find("/missing") == std::string::npos) {
            response.status = 200;
            response.body = PngBody(path);
        }
        return response;
    }};
    RecordingFrontEnd frontEnd;
};

TEST_F(RoundTripTest, EveryCharacterSurvivesAndOnlyRelocatedAddressesChange) {
    const std::u16string kept = Url("/album/a.jpg"), second = Url("/album/b.png"), mobile = Url("/album/m.jpg");
    const std::u16string missing = Url("/album/missing.jpg");
    const std::u16string description = u"<p>" + KINDS + u"\t第二段\r\n\"加引号\"</p><img src=\"" + kept + u"\"><p>" +
                                       KINDS + u"</p><img src='" + missing + u"'><div style=\"background:url(" +
                                       second + u")\">" + KINDS + u"</div>";
    const std::u16string mobileDetail = u"<wapDesc><img>" + mobile + u"</img><txt>" + KINDS + u"</txt></wapDesc>";
    // A title at the byte limit in GBK's count, with characters GBK lacks on top.
    const std::u16string longTitle = std::u16string(127, u'宝') + u"a😀ß";
    std::u16string text =
        u"version 1.00\r\ntitle\tdescription\twireless_desc\tsubtitle\touter_id\r\n"
        u"宝贝名称\t宝贝描述\t无线详情\t宝贝卖点\t商家编码\r\n";
    text += Quote(u"😀 " + KINDS) + u"\t" + Quote(description) + u"\t" + Quote(mobileDetail) + u"\t" +
            Quote(KINDS + u"\r\n卖点") + u"\tK-1\r\n";
    text += Quote(longTitle) + u"\t" + Quote(u"<p>" + KINDS + u"</p><img src=" + kept + u">") + u"\t" + Quote(u"") +
            u"\t" + Quote(u"") + u"\tK-2 " + KINDS + u"\r\n";
    text += Quote(KINDS) + u"\t" + Quote(KINDS) + u"\t" + Quote(KINDS) + u"\t" + Quote(KINDS) + u"\t" + KINDS + u"\r\n";
    const std::string original = "\xFF\xFE" + Utf16le(text);

    // The destination's name holds characters GBK lacks too.
    const std::u16string folderName = u"图片 é 😀";
    const std::filesystem::path destination = std::filesystem::u8path(dir.path()) / std::filesystem::path(folderName);
    ASSERT_TRUE(std::filesystem::create_directory(destination));
    const std::filesystem::path package = std::filesystem::u8path(dir.File("店铺 ß.csv"));
    ASSERT_TRUE(WriteWholeFile(dir.File("店铺 ß.csv"), original));

    std::snprintf(coreState.packagePath, sizeof coreState.packagePath, "%s", Core(dir.File("店铺 ß.csv")).c_str());
    ASSERT_EQ(PACKAGE_READ_OK, ReadPackage(coreState.packagePath, coreState.items, &coreState.packageText));
    ASSERT_EQ(3, coreState.items->count);
    EXPECT_EQ(Core("😀 ") + Core(std::filesystem::path(KINDS).u8string()),
              static_cast<ItemRecord*>(coreState.items->items[0])->title);

    RunView view = {};
    static RunOptions options;
    options = RunOptions{};
    options.relocateImageSpace = 1;
    options.relocateOutsideAlbums = 1;
    options.blankFailedImages = 0;
    std::snprintf(options.destination, sizeof options.destination, "%s", Core(destination.u8string()).c_str());
    view.readOptions = [](void*, RunOptions* out) { *out = options; };
    RunRelocation(&view);

    // Each served image is in the destination once, found by its content.
    std::map<std::string, std::u16string> localPathOf;  // served path -> local path
    for (const auto& entry : std::filesystem::directory_iterator(destination)) {
        std::string body = ReadWholeFile(entry.path().u8string());
        localPathOf[body.substr(8)] = entry.path().u16string();
    }
    ASSERT_EQ(3u, localPathOf.size());
    std::u16string expected = text;
    expected = ReplaceAllUnits(expected, kept, localPathOf.at("/album/a.jpg"));
    expected = ReplaceAllUnits(expected, second, localPathOf.at("/album/b.png"));
    expected = ReplaceAllUnits(expected, mobile, localPathOf.at("/album/m.jpg"));
    const std::string written = ReadWholeFile(package.u8string());
    EXPECT_TRUE(written == "\xFF\xFE" + Utf16le(expected)) << "the package changed beyond its relocated addresses";

    // The backup is the original, byte for byte.
    std::string backup;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(dir.File("bak")))) {
        backup = ReadWholeFile(entry.path().u8string());
    }
    EXPECT_TRUE(backup == original);
}

TEST_F(RoundTripTest, ReversedMarkInsideIsRefusedAndNothingIsWritten) {
    std::u16string text =
        u"version 1.00\r\n宝贝名称\t宝贝描述\r\n\"item1\"\t\"\"\r\n\"item2 \uFFFE\"\t\"\"\r\n"
        u"\"item3\"\t\"\"\r\n";
    const std::string bytes = "\xFF\xFE" + Utf16le(text);
    ASSERT_TRUE(WriteWholeFile(dir.File("swapped.csv"), bytes));
    char* packageText = nullptr;
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadPackage(Core(dir.File("swapped.csv")).c_str(), coreState.items, &packageText));
    EXPECT_EQ(nullptr, packageText);
    EXPECT_TRUE(ReadWholeFile(dir.File("swapped.csv")) == bytes);
    // Refused as badly encoded, not as a broken row of swapped text.
    EXPECT_NE(std::string::npos, ReadAppLog(dir.File("app.log")).find(Gbk("csv 文件编码存在问题")));
}

}  // namespace
