#include "package/reader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "package/extraction.h"
#include "package/item_record.h"
#include "support/gbk.h"
#include "support/package_generator.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"
#include "util/app_log.h"
#include "util/front_end.h"
#include "base/strings.h"

namespace {

using Urls = std::vector<std::string>;

const std::string ENCODING_LOG_LINE = "csv 文件编码存在问题, 无法正常的解析。";

Urls ToStrings(const Vector* list) {
    Urls urls;
    for (int32_t i = 0; list != nullptr && i < list->count; ++i)
        urls.push_back(static_cast<const char*>(list->items[i]));
    return urls;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// A small package with three columns, 宝贝名称, 宝贝描述 and 商家编码, and
// the given rows (GBK, each ending in CR LF as the caller writes it).
std::string MiniPackage(const std::string& rows) {
    return "version 1.00\r\ntitle\tdescription\touter_id\r\n" + Gbk("宝贝名称\t宝贝描述\t商家编码") + "\r\n" + rows;
}

std::string MiniRow(const std::string& title, const std::string& description, const std::string& id) {
    return QuoteField(title) + "\t" + QuoteField(description) + "\t" + id + "\r\n";
}

std::string Img(const std::string& url) { return "<img src=\"" + url + "\" width=\"750\">"; }
std::string MobileImg(const std::string& url) { return "<img>" + url + "</img>"; }

class PackageReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        OpenAppLog(folder.path().c_str());
        items = NewItemList();
        path = folder.File("package.csv");
    }
    void TearDown() override {
        ClearItemRecords(items);
        FreeItemList(items);
        if (text != UNTOUCHED) std::free(text);
        CloseAppLog();
    }

    int ReadBytes(const std::string& bytes) {
        EXPECT_TRUE(WriteWholeFile(path, bytes));
        return ReadPackage(path.c_str(), items, &text);
    }
    int ReadText(const std::string& gbkText) { return ReadBytes(EncodePackageText(gbkText)); }
    int ReadLayout(const PackageLayout& layout) { return ReadBytes(BuildPackageBytes(layout)); }

    // Starts a read whose outText must stay as it was.
    void ExpectUntouchedText() { text = UNTOUCHED; }

    ItemRecord* At(int32_t index) const { return static_cast<ItemRecord*>(VectorGet(items, index)); }
    Urls Desktop(int32_t index) const { return ToStrings(DesktopUrls(At(index))); }
    Urls Mobile(int32_t index) const { return ToStrings(MobileUrls(At(index))); }
    std::string Log() const { return ReadAppLog(folder.File("app.log")); }

    static char UNTOUCHED[];
    TempDir folder;
    RecordingFrontEnd front;
    ItemList* items = nullptr;
    char* text = nullptr;
    std::string path;
};

char PackageReaderTest::UNTOUCHED[] = "untouched";

TEST_F(PackageReaderTest, ReadsTheListingToolsExport) {
    PackageLayout layout;
    layout.items = {
        MakeItem(
            Gbk("夏季新款纯棉短袖T恤"),
            Img("https://img.alicdn.com/imgextra/1.jpg") + Gbk("<p>说明</p>") + Img("http://photo.example.com/2.jpg"),
            "<wapDesc>" + MobileImg("https://img.alicdn.com/m1.jpg") + "</wapDesc>", Gbk("纯棉")),
        MakeItem(Gbk("他说\"好\""), Img("//img.alicdn.com/3.jpg"), "<wapDesc></wapDesc>"),
        MakeItem(
            "Plain", Gbk("<p>没有图片</p>"),
            "<wapDesc>" + MobileImg("//img.alicdn.com/m2.jpg") + MobileImg("//img.alicdn.com/m3.jpg") + "</wapDesc>"),
    };
    ASSERT_EQ(PACKAGE_READ_OK, ReadLayout(layout));

    ASSERT_EQ(3, items->count);
    EXPECT_EQ(Gbk("夏季新款纯棉短袖T恤"), At(0)->title);
    EXPECT_EQ(Gbk("他说\"\"好\"\""), At(1)->title);  // doubled quotes stay as stored
    EXPECT_EQ("Plain", std::string(At(2)->title));
    EXPECT_EQ((Urls{"https://img.alicdn.com/imgextra/1.jpg", "http://photo.example.com/2.jpg"}), Desktop(0));
    EXPECT_EQ(Urls{"//img.alicdn.com/3.jpg"}, Desktop(1));
    EXPECT_EQ(Urls{}, Desktop(2));
    EXPECT_EQ(Urls{"https://img.alicdn.com/m1.jpg"}, Mobile(0));
    EXPECT_EQ(Urls{}, Mobile(1));
    EXPECT_EQ((Urls{"//img.alicdn.com/m2.jpg", "//img.alicdn.com/m3.jpg"}), Mobile(2));
    for (int32_t i = 0; i < items->count; ++i) {
        EXPECT_EQ(0, At(i)->index);
        EXPECT_EQ(0u, At(i)->state);
        EXPECT_EQ(nullptr, FailedDesktopUrls(At(i)));
        EXPECT_EQ(nullptr, FailedMobileUrls(At(i)));
    }
    // The package text is the whole file in GBK, preamble included.
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(BuildPackageText(layout), std::string(text));
    EXPECT_TRUE(front.messages.empty());
    EXPECT_EQ("", Log());
}

TEST_F(PackageReaderTest, APackageWithoutMobileColumnHasNoMobileLists) {
    PackageLayout layout;
    layout.mobileColumn = false;
    layout.sellingColumn = false;
    layout.items = {MakeItem("A", Img("//img.alicdn.com/1.jpg")), MakeItem("B", Img("//img.alicdn.com/2.jpg"))};
    ASSERT_EQ(PACKAGE_READ_OK, ReadLayout(layout));
    ASSERT_EQ(2, items->count);
    EXPECT_FALSE(items->hasMobileColumn);
    for (int32_t i = 0; i < 2; ++i) EXPECT_EQ(nullptr, MobileUrls(At(i)));
    EXPECT_EQ(Urls{"//img.alicdn.com/2.jpg"}, Desktop(1));
}

TEST_F(PackageReaderTest, RequiresTitleFirstAndADescriptionColumn) {
    const std::string row = MiniRow("A", Img("//a.example.com/1.jpg"), "K1");
    ExpectUntouchedText();
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadText(Replace(MiniPackage(row), Gbk("宝贝描述"), Gbk("宝贝详情"))));
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadText(Replace(MiniPackage(row), Gbk("宝贝名称"), Gbk("宝贝标题"))));
    // A second 宝贝名称 moves the title column away from the first field.
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadText(Replace(MiniPackage(row), Gbk("\t商家编码"), Gbk("\t宝贝名称\t商家编码"))));
    // A header line without LF.
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadText("version 1.00\r\n" + Gbk("宝贝名称\t宝贝描述")));
    EXPECT_EQ(UNTOUCHED, text);
    EXPECT_EQ(0, items->count);

    // A header with no rows is a package with no items.
    text = nullptr;
    EXPECT_EQ(PACKAGE_READ_OK, ReadText(MiniPackage("")));
    EXPECT_EQ(0, items->count);
}

TEST_F(PackageReaderTest, TheLastHeaderFieldKeepsItsCarriageReturn) {
    // 无线详情 as the last column is not recognised: the field reads "无线详情\r".
    PackageLayout layout;
    layout.sellingColumn = false;
    layout.trailingPlainColumn = false;
    layout.items = {
        MakeItem("A", Img("//img.alicdn.com/1.jpg"), "<wapDesc>" + MobileImg("//img.alicdn.com/m.jpg") + "</wapDesc>"),
        MakeItem("B", Img("//img.alicdn.com/2.jpg"), "<wapDesc></wapDesc>")};
    ASSERT_EQ(PACKAGE_READ_OK, ReadLayout(layout));
    ASSERT_EQ(2, items->count);
    EXPECT_EQ(nullptr, MobileUrls(At(0)));
    EXPECT_EQ("B", std::string(At(1)->title));
    EXPECT_EQ(Urls{"//img.alicdn.com/2.jpg"}, Desktop(1));
    std::free(text);

    // 宝贝描述 as the last column: no description column at all.
    ExpectUntouchedText();
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadText("version 1.00\r\n" + Gbk("宝贝名称\t宝贝描述") +
                                            "\r\n\"A\"\t\"<img src=//a.example.com/1.jpg>\"\r\n"));
    EXPECT_EQ(UNTOUCHED, text);
}

TEST_F(PackageReaderTest, FreeTextWithTabsLineBreaksAndQuotesKeepsColumnsAligned) {
    PackageLayout layout;
    layout.items = {
        MakeItem(Gbk("第一"), "<table>\t<tr>\r\n<td>" + Img("//img.alicdn.com/1.jpg") + "</td></tr>\r\n</table>\t",
                 "<wapDesc>\r\n\t" + MobileImg("//img.alicdn.com/m1.jpg") + "\r\n</wapDesc>", "a\tb\r\n\"c\""),
        MakeItem(Gbk("第二"), "\"\"quoted\"\"\t\r\n" + Img("//img.alicdn.com/2.jpg") + "\r\n", "\t\r\n", "\r\n"),
        MakeItem(Gbk("第三"), "\r\n", "<wapDesc>" + MobileImg("//img.alicdn.com/m3.jpg") + "</wapDesc>", "\""),
    };
    ASSERT_EQ(PACKAGE_READ_OK, ReadLayout(layout));
    ASSERT_EQ(3, items->count);
    EXPECT_EQ(Gbk("第一"), At(0)->title);
    EXPECT_EQ(Gbk("第二"), At(1)->title);
    EXPECT_EQ(Gbk("第三"), At(2)->title);
    EXPECT_EQ(Urls{"//img.alicdn.com/1.jpg"}, Desktop(0));
    EXPECT_EQ(Urls{"//img.alicdn.com/2.jpg"}, Desktop(1));
    EXPECT_EQ(Urls{}, Desktop(2));
    EXPECT_EQ(Urls{"//img.alicdn.com/m1.jpg"}, Mobile(0));
    EXPECT_EQ(Urls{}, Mobile(1));
    EXPECT_EQ(Urls{"//img.alicdn.com/m3.jpg"}, Mobile(2));
    EXPECT_EQ(BuildPackageText(layout), std::string(text));
}

TEST_F(PackageReaderTest, QuotedColumnsMustBeWholeQuotedFields) {
    // An empty description, written as two quotes, gives no list.
    ASSERT_EQ(PACKAGE_READ_OK, ReadText(MiniPackage(MiniRow("A", "", "K1"))));
    ASSERT_EQ(1, items->count);
    EXPECT_EQ(nullptr, At(0)->urls);
    std::free(text);
    ClearItemRecords(items);

    ExpectUntouchedText();
    // Not starting with a quote.
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadText(MiniPackage("\"A\"\t<img src=//a.example.com/1.jpg>\tK1\r\n")));
    // No closing quote.
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadText(MiniPackage("\"A\"\t\"<img src=\"\"//a.example.com/1.jpg\"\">\tK1\r\n")));
    EXPECT_EQ(UNTOUCHED, text);
}

TEST_F(PackageReaderTest, TitlesUpTo255BytesInAnyRow) {
    const std::string longest(255, 'T');
    const std::string tooLong(256, 'T');
    const std::string other = MiniRow("A", "", "K1");

    ASSERT_EQ(PACKAGE_READ_OK, ReadText(MiniPackage(MiniRow(longest, "", "K1") + other)));
    EXPECT_EQ(longest, At(0)->title);
    std::free(text);
    ClearItemRecords(items);
    ASSERT_EQ(PACKAGE_READ_OK, ReadText(MiniPackage(other + MiniRow(longest, "", "K2"))));
    EXPECT_EQ(longest, At(1)->title);
    std::free(text);
    ClearItemRecords(items);

    ExpectUntouchedText();
    EXPECT_EQ(PACKAGE_READ_TITLE_TOO_LONG, ReadText(MiniPackage(MiniRow(tooLong, "", "K1") + other)));
    EXPECT_EQ(0, items->count);
    EXPECT_EQ(PACKAGE_READ_TITLE_TOO_LONG, ReadText(MiniPackage(other + MiniRow(tooLong, "", "K2"))));
    EXPECT_EQ(1, items->count);  // what was read before stays for the caller to clear
    EXPECT_EQ(UNTOUCHED, text);
}

TEST_F(PackageReaderTest, TextAfterTheLastRow) {
    const std::string rows = MiniRow("A", Img("//a.example.com/1.jpg"), "K1") + MiniRow("B", "", "K2");
    struct Case {
        std::string tail;
        int result;
    };
    const Case cases[] = {
        {"", PACKAGE_READ_OK},                           // ends with the last row's LF
        {"\r", PACKAGE_READ_OK},                         // LF and one CR
        {"x", PACKAGE_READ_FAILED},                      // LF and one other byte
        {"\r\n", PACKAGE_READ_OK},                       // a blank line: no further item
        {"\r\n\r\n", PACKAGE_READ_OK},                   // two
        {"\t\"C\"\t\"\"\tK3\r\n", PACKAGE_READ_FAILED},  // a row whose first field is empty
    };
    for (const Case& c : cases) {
        ClearItemRecords(items);
        if (text != UNTOUCHED) std::free(text);
        ExpectUntouchedText();
        ASSERT_EQ(c.result, ReadText(MiniPackage(rows + c.tail))) << Utf8(c.tail);
        if (c.result != PACKAGE_READ_OK) {
            EXPECT_EQ(UNTOUCHED, text);
            continue;
        }
        ASSERT_EQ(2, items->count) << Utf8(c.tail);
        EXPECT_EQ(MiniPackage(rows + c.tail), std::string(text));
    }

    // The last row without its line break.
    ClearItemRecords(items);
    if (text != UNTOUCHED) std::free(text);
    ExpectUntouchedText();
    std::string unterminated = MiniPackage(rows);
    unterminated.resize(unterminated.size() - 2);
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadText(unterminated));
    EXPECT_EQ(UNTOUCHED, text);
}

TEST_F(PackageReaderTest, LeadingBytesDecideTheDecoding) {
    const std::string package = MiniPackage(MiniRow("A", Img("//a.example.com/1.jpg"), "K1"));
    ExpectUntouchedText();
    // The mark followed directly by 宝: the Chinese header with no preamble.
    std::string noPreamble = EncodePackageText(package.substr(package.find(Gbk("宝贝名称"))));
    ASSERT_EQ(std::string("\xFF\xFE\x9D\x5B", 4), noPreamble.substr(0, 4));
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadBytes(noPreamble));
    // A version line in single bytes.
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadBytes("version 1.00\r\n" + EncodePackageText(package)));
    EXPECT_EQ(UNTOUCHED, text);
    EXPECT_EQ("", Log());  // rejected before decoding

    // The UTF-8 mark is skipped; the rest is still UCS-2.
    text = nullptr;
    ASSERT_EQ(PACKAGE_READ_OK, ReadBytes("\xEF\xBB\xBF" + EncodePackageText(package)));
    EXPECT_EQ(package, std::string(text));
    std::free(text);
    text = nullptr;
    ClearItemRecords(items);

    // No mark: big-endian.
    std::string littleEndian = Ucs2le(package), bigEndian;
    for (size_t i = 0; i + 1 < littleEndian.size(); i += 2) {
        bigEndian += littleEndian[i + 1];
        bigEndian += littleEndian[i];
    }
    ASSERT_EQ(PACKAGE_READ_OK, ReadBytes(bigEndian));
    EXPECT_EQ(package, std::string(text));
    EXPECT_EQ(Urls{"//a.example.com/1.jpg"}, Desktop(0));
}

TEST_F(PackageReaderTest, BadEncodingIsLoggedAndRejected) {
    const std::string package = EncodePackageText(MiniPackage(MiniRow("A", "", "K1")));
    ExpectUntouchedText();
    // Half a UCS-2 unit at the end.
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadBytes(package + "A"));
    // U+0000 would cut the package text short when it is written back.
    std::string withNul = package;
    withNul.insert(withNul.size() - 4, std::string("\0\0", 2));
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadBytes(withNul));
    EXPECT_EQ(UNTOUCHED, text);
    EXPECT_EQ(0, items->count);
    const std::string log = Utf8(Log());
    size_t first = log.find(ENCODING_LOG_LINE + "\r\n");
    ASSERT_NE(std::string::npos, first) << log;
    EXPECT_NE(std::string::npos, log.find(ENCODING_LOG_LINE + "\r\n", first + 1)) << log;
}

// A file is converted in pieces of a quarter megabyte: a package several
// pieces long reads as the same bytes held in memory do, with the UTF-8
// mark shifting every piece's end into the middle of a character.
TEST_F(PackageReaderTest, LargePackagesReadAcrossPieces) {
    PackageLayout layout = RealisticPackage(14, 6, 40000, "img.alicdn.com");
    layout.items[7].title = Gbk("第八件");
    const std::string expected = BuildPackageText(layout);
    for (const std::string& mark : {std::string(), std::string("\xEF\xBB\xBF")}) {
        const std::string bytes = mark + EncodePackageText(expected);
        ASSERT_GT(bytes.size(), 3u * 256 * 1024);
        ClearItemRecords(items);
        std::free(text);
        text = nullptr;
        ASSERT_EQ(PACKAGE_READ_OK, ReadBytes(bytes));
        EXPECT_EQ(expected, std::string(text));
        ASSERT_EQ(14, items->count);
        EXPECT_EQ(Gbk("第八件"), At(7)->title);

        ItemList* fromMemory = NewItemList();
        char* memoryText = nullptr;
        ASSERT_EQ(PACKAGE_READ_OK, ReadPackageBytes(bytes.data(), bytes.size(), fromMemory, &memoryText));
        EXPECT_EQ(std::string(memoryText), std::string(text));
        ASSERT_EQ(items->count, fromMemory->count);
        for (int32_t i = 0; i < items->count; ++i) {
            const ItemRecord* other = static_cast<const ItemRecord*>(fromMemory->items[i]);
            EXPECT_EQ(6u, Desktop(i).size());
            EXPECT_EQ(ToStrings(DesktopUrls(other)), Desktop(i));
            EXPECT_EQ(ToStrings(MobileUrls(other)), Mobile(i));
        }
        ClearItemRecords(fromMemory);
        FreeItemList(fromMemory);
        std::free(memoryText);
    }

    // Bad encoding in a later piece is still found.
    ClearItemRecords(items);
    std::free(text);
    ExpectUntouchedText();
    std::string withNul = EncodePackageText(expected);
    withNul.insert(withNul.size() - 100, std::string("\0\0", 2));
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadBytes(withNul));
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadBytes(EncodePackageText(expected) + "x"));
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadBytes("\xEF\xBB\xBF" + EncodePackageText(expected) + "x"));
    EXPECT_EQ(UNTOUCHED, text);
    const std::string log = Utf8(Log());
    size_t lines = 0;
    for (size_t at = log.find(ENCODING_LOG_LINE); at != std::string::npos; at = log.find(ENCODING_LOG_LINE, at + 1)) {
        ++lines;
    }
    EXPECT_EQ(3u, lines) << log;
}

TEST_F(PackageReaderTest, RemovesTheWebpSuffixFromTextAndUrlsButNotFromTheFile) {
    PackageLayout layout;
    layout.items = {MakeItem("A", Img("https://img.alicdn.com/a.jpg_.webp") + Img("https://img.alicdn.com/b.jpg"),
                             "<wapDesc>" + MobileImg("https://img.alicdn.com/c.png_.webp") + "</wapDesc>",
                             "x_.webp_.webp")};
    const std::string bytes = BuildPackageBytes(layout);
    ASSERT_EQ(PACKAGE_READ_OK, ReadBytes(bytes));
    EXPECT_EQ((Urls{"https://img.alicdn.com/a.jpg", "https://img.alicdn.com/b.jpg"}), Desktop(0));
    EXPECT_EQ(Urls{"https://img.alicdn.com/c.png"}, Mobile(0));
    std::string expected = BuildPackageText(layout);
    for (size_t at; (at = expected.find("_.webp")) != std::string::npos;) expected.erase(at, 6);
    EXPECT_EQ(expected, std::string(text));
    // Reading never writes the package.
    EXPECT_EQ(bytes, ReadWholeFile(path));
}

// The removal is done in place on the whole text; it must take exactly the
// occurrences ReplaceAll would.
TEST(WebpRemoval, TakesTheOccurrencesReplaceAllTakes) {
    for (const std::string& sample :
         {std::string("__.webp.webp"), std::string("_.webp_.webp"), std::string("_._.webp"), std::string("a_.web"),
          std::string("_.webp"), std::string("x_.webpy_.webpz_"), std::string(""), std::string("no suffix here")}) {
        std::vector<char> buffer(sample.begin(), sample.end());
        buffer.push_back('\0');
        size_t length = RemoveAllInPlace(buffer.data(), sample.size(), "_.webp");
        char* replaced = ReplaceAll(sample.c_str(), "_.webp", "");
        const std::string expected = replaced != nullptr ? replaced : sample;
        std::free(replaced);
        EXPECT_EQ(expected, std::string(buffer.data())) << sample;
        EXPECT_EQ(expected.size(), length) << sample;
    }
}

TEST_F(PackageReaderTest, CharactersGbkLacksAreKept) {
    PackageLayout layout;
    layout.items = {MakeItem(Gbk("笑脸A哭"), Img("//img.alicdn.com/1.jpg")), MakeItem("B", "")};
    std::string bytes = BuildPackageBytes(layout);
    // 笑 becomes an emoji (a surrogate pair), 哭 a Thai letter.
    bytes = Replace(bytes, Ucs2le(Gbk("笑脸")), std::string("\x3D\xD8\x00\xDE", 4) + Ucs2le(Gbk("脸")));
    bytes = Replace(bytes, Ucs2le(Gbk("A哭")), Ucs2le("A") + std::string("\x01\x0E", 2));
    ASSERT_EQ(PACKAGE_READ_OK, ReadBytes(bytes));
    ASSERT_EQ(2, items->count);
    EXPECT_EQ(Core("😀脸Aก"), At(0)->title);
    EXPECT_EQ(Urls{"//img.alicdn.com/1.jpg"}, Desktop(0));
}

TEST_F(PackageReaderTest, MissingOrUnreadableFiles) {
    ExpectUntouchedText();
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadPackage(folder.File("missing.csv").c_str(), items, &text));
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadPackage(folder.path().c_str(), items, &text));  // a folder
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadBytes(""));
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadBytes(std::string("\xFF\xFE", 2)));
    // Over 2 GiB: the size does not fit, nothing is allocated or read.
    const std::string huge = folder.File("huge.csv");
    ASSERT_TRUE(WriteWholeFile(huge, EncodePackageText(MiniPackage(""))));
    std::error_code error;
    std::filesystem::resize_file(huge, (1ULL << 31) + 2, error);  // sparse
    ASSERT_FALSE(error) << error.message();
    EXPECT_EQ(PACKAGE_READ_FAILED, ReadPackage(huge.c_str(), items, &text));
    EXPECT_EQ(UNTOUCHED, text);
    EXPECT_EQ(0, items->count);
}

TEST_F(PackageReaderTest, AnUnclosedImgTagIsNoImageAndNoError) {
    // An <img tag that never closes holds no src: no URL, and no search
    // that runs out of its limits on the way.
    const std::string endless = "<img" + std::string(100, ' ') + std::string(100000, 'x');
    EXPECT_EQ(PACKAGE_READ_OK,
              ReadText(MiniPackage(MiniRow("A", Img("//a.example.com/1.jpg"), "K1") + MiniRow("B", endless, "K2"))));
    EXPECT_TRUE(front.messages.empty());
    ASSERT_EQ(2, items->count);
    EXPECT_EQ(1u, Desktop(0).size());
    EXPECT_EQ(nullptr, DesktopUrls(At(1)));
}

TEST(FindQuotedFieldEnd, CountsBothQuotesAndSkipsDoubledOnes) {
    EXPECT_EQ(2, FindQuotedFieldEnd("\"\"\tnext"));
    EXPECT_EQ(5, FindQuotedFieldEnd("\"abc\"\t\"x\""));
    EXPECT_EQ(9, FindQuotedFieldEnd("\"a\"\"b\"\"c\"\t"));
    EXPECT_EQ(6, FindQuotedFieldEnd("\"\"\"\"\"\""));  // two doubled quotes, then the closing one
    EXPECT_EQ(0, FindQuotedFieldEnd("\"abc"));
    EXPECT_EQ(0, FindQuotedFieldEnd("\"ab\"\""));
}

}  // namespace

// 商家编码 is kept per item wherever its column stands, plain or quoted (the
// enclosing quotes go, as the title's do), and only when there is one.
TEST_F(PackageReaderTest, KeepsEachItemsOuterIdWhereThePackageHasTheColumn) {
    const std::string middle = "version 1.00\r\nx\r\n" + Gbk("宝贝名称\t商家编码\t宝贝描述\t价格") + "\r\n";
    const std::string none = "version 1.00\r\nx\r\n" + Gbk("宝贝名称\t宝贝描述\t价格") + "\r\n";
    struct Case {
        std::string text;
        std::vector<std::string> outerIds;  // "(none)": null
    };
    // clang-format off
    const std::vector<Case> cases = {
        {MiniPackage(MiniRow("a", "<p></p>", "K1") + MiniRow("b", "<p></p>", "") + MiniRow("c", "<p></p>", "\"q\"\"1\"")),
         {"K1", "", "q\"\"1"}},
        {middle + "\"a\"\tK-7\t\"<p></p>\"\t1\r\n\"b\"\t\"K 8\"\t\"<p></p>\"\t2\r\n", {"K-7", "K 8"}},
        {none + "\"a\"\t\"<p></p>\"\t1\r\n", {"(none)"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        ClearItemRecords(items);
        std::free(text);
        text = nullptr;
        ASSERT_EQ(PACKAGE_READ_OK, ReadText(c.text)) << c.text;
        EXPECT_EQ(c.outerIds.front() != "(none)", items->hasOuterIdColumn);
        std::vector<std::string> read;
        for (int32_t i = 0; i < items->count; ++i)
            read.push_back(At(i)->outerId != nullptr ? At(i)->outerId : "(none)");
        EXPECT_EQ(c.outerIds, read) << c.text;
    }
}

// Scanned in one pass, a package that spans many read pieces gives the rows
// the whole read gives, with the same lists and counts, wherever a piece's
// end cuts a row, a doubled quote, "_.webp" or a character; and a package
// that breaks late fails with the whole read's result.
TEST_F(PackageReaderTest, ScanGivesTheRowsOfTheWholeRead) {
    struct Row {
        std::string title;
        Urls desktop, mobile;
        int32_t localDesktop;
        unsigned forms;
        std::string outerId;
        int32_t blankDesktop;
    };
    auto scan = [this](std::vector<Row>* rows) {
        ItemList* scanned = NewItemList();
        scanned->countLocalPaths = true;
        int result = ScanPackage(
            path.c_str(), scanned,
            [](void* context, const ItemRecord* item) {
                static_cast<std::vector<Row>*>(context)->push_back(Row{
                    item->title, ToStrings(DesktopUrls(item)), ToStrings(MobileUrls(item)),
                    item->urls ? item->urls->localDesktop : 0, item->urls ? item->urls->addressForms : 0,
                    item->outerId != nullptr ? item->outerId : "(none)", item->urls ? item->urls->blankDesktop : 0});
            },
            rows);
        if (result == PACKAGE_READ_OK) {
            EXPECT_EQ(static_cast<size_t>(scanned->count), rows->size());
        }
        ClearItemRecords(scanned);
        FreeItemList(scanned);
        return result;
    };
    PackageLayout layout = RealisticPackage(16, 12, 30000, "img.alicdn.com");
    for (size_t i = 0; i < layout.items.size(); ++i) {
        GeneratedItem& item = layout.items[i];
        item.description += std::string(i * 997 % 4096, 'q') + "\"x\"_.webp<img src=\"/home/u/" + std::to_string(i) +
                            ".jpg\">" + Gbk("宝贝");
        // Each place of the blank image counts, though none is collected.
        for (size_t blank = 0; blank < i % 3; ++blank)
            item.description += "<img src=\"" + std::string(BLANK_IMAGE_URL) + "\">";
    }
    items->countLocalPaths = true;
    ASSERT_EQ(PACKAGE_READ_OK, ReadLayout(layout));
    std::vector<Row> rows;
    ASSERT_EQ(PACKAGE_READ_OK, scan(&rows));
    ASSERT_EQ(static_cast<size_t>(items->count), rows.size());
    for (int32_t i = 0; i < items->count; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(At(i)->title, rows[i].title);
        EXPECT_EQ(Desktop(i), rows[i].desktop);
        EXPECT_EQ(Mobile(i), rows[i].mobile);
        EXPECT_EQ(At(i)->urls->localDesktop, rows[i].localDesktop);
        EXPECT_EQ(At(i)->urls->addressForms, rows[i].forms);
        EXPECT_EQ("K" + std::to_string(1000 + i), rows[i].outerId);
        EXPECT_EQ(rows[i].outerId, At(i)->outerId);
        EXPECT_EQ(static_cast<int32_t>(i % 3), rows[i].blankDesktop);
        EXPECT_EQ(rows[i].blankDesktop, At(i)->urls->blankDesktop);
    }
    // "_.webp" and a doubled quote at each place around the end of the
    // first piece: 131,071 UTF-16 units after the mark, 12 of the header's
    // before it Chinese (two bytes each in the text).
    const std::string img = Img("http://a.example.com/b.jpg_.webp");
    const size_t pieceEnd = 131071 + 12;
    for (size_t webpAt = pieceEnd - 12; webpAt <= pieceEnd + 4; ++webpAt) {
        const std::string plain = MiniPackage(MiniRow("t", img, "1"));
        const size_t filler = webpAt - plain.find("_.webp");
        ClearItemRecords(items);
        std::free(text);
        ASSERT_EQ(PACKAGE_READ_OK, ReadText(MiniPackage(MiniRow("t", std::string(filler, 'x') + img, "1"))));
        rows.clear();
        ASSERT_EQ(PACKAGE_READ_OK, scan(&rows));
        ASSERT_EQ(1u, rows.size());
        EXPECT_EQ(Desktop(0), rows[0].desktop) << webpAt;
    }
    // Broken late: a title over the limit, a description never closed.
    PackageLayout longTitle = layout;
    longTitle.items.push_back(MakeItem(std::string(300, 'a'), "d"));
    for (const std::string& broken :
         {BuildPackageText(longTitle), BuildPackageText(layout) + QuoteField("t") + "\t1\t2\t3\t4\t\"never closed"}) {
        ClearItemRecords(items);
        const int whole = ReadText(broken);
        rows.clear();
        EXPECT_EQ(whole, scan(&rows));
        EXPECT_NE(PACKAGE_READ_OK, whole);
    }
}
