#include "package/extraction.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/gbk.h"
#include "support/package_generator.h"
#include "support/temp_dir.h"
#include "package/item_record.h"
#include "package/reader.h"
#include "util/app_log.h"
#include "base/strings.h"

#ifdef KARVELO_HAVE_PCRE8
#include <pcre.h>
#include <pcre2.h>
#endif

namespace {

using Urls = std::vector<std::string>;

Urls ToStrings(const Vector* list) {
    Urls urls;
    for (int32_t i = 0; list != nullptr && i < list->count; ++i)
        urls.push_back(static_cast<const char*>(list->items[i]));
    return urls;
}

// The description URLs of `html` stored as the package stores the field.
Urls Description(const std::string& html, int* result = nullptr) {
    Vector* list = NewVector(32, 16);
    int ok = ExtractDescriptionUrls(QuoteField(html).c_str(), list);
    if (result != nullptr) *result = ok;
    Urls urls = ToStrings(list);
    FreeVector(list, 1);
    return urls;
}

Urls Mobile(const std::string& markup, int* result = nullptr) {
    Vector* list = NewVector(16, 8);
    int ok = ExtractMobileUrls(QuoteField(markup).c_str(), list);
    if (result != nullptr) *result = ok;
    Urls urls = ToStrings(list);
    FreeVector(list, 1);
    return urls;
}

// The pattern as written, or with `local` the same pattern finding an
// absolute local path where it finds a URL.
std::string PatternText(const ImagePattern& pattern, bool local) {
    std::string text = pattern.text;
    const std::string urlStart = "(http[s]?:)?//";
    if (local) text.replace(text.find(urlStart), urlStart.size(), "(/(?!/)|[a-z]:\\\\)");
    return text;
}

// What the plain search finds: each pattern compiled for the call and
// searched from every offset, one list filled in table order.
Urls PlainDescription(const std::string& field, bool local = false) {
    Vector* list = NewVector(32, 16);
    for (int i = 0; i < DESCRIPTION_PATTERN_COUNT; ++i) {
        const ImagePattern& pattern = DescriptionPatterns[i];
        EXPECT_EQ(1, CollectPatternUrls(field.c_str(), list, PatternText(pattern, local).c_str(), pattern.groupCount,
                                        pattern.urlGroup));
    }
    Urls urls = ToStrings(list);
    FreeVector(list, 1);
    return urls;
}

class AppLogFixture : public ::testing::Test {
protected:
    void SetUp() override { OpenAppLog(folder.path().c_str()); }
    void TearDown() override { CloseAppLog(); }
    std::string Log() const { return ReadAppLog(folder.File("app.log")); }
    TempDir folder;
};

TEST(DescriptionExtraction, FindsImageSourcesInEveryQuoting) {
    int result = 0;
    Urls urls = Description(
        "<p><img src=\"https://img.alicdn.com/imgextra/i1/1.jpg\" width=\"750\"></p>"
        "<IMG SRC=//img.alicdn.com/2.jpg|border=0>"
        "<img alt='x' src='http://photo.example.com/3.png'>"
        "<img class=\"a\"  src = \"  //photo.example.com/4.gif\">"
        "<img src=http://photo.example.com/5.jpg width=1><img src=http://photo.example.com/6.jpg>",
        &result);
    EXPECT_EQ(1, result);
    // Pattern order: double quotes (stored doubled), then single quotes,
    // then unquoted, each ending where its quoting ends.
    EXPECT_EQ(
        (Urls{"https://img.alicdn.com/imgextra/i1/1.jpg", "//photo.example.com/4.gif", "http://photo.example.com/3.png",
              "//img.alicdn.com/2.jpg", "http://photo.example.com/5.jpg", "http://photo.example.com/6.jpg"}),
        urls);
}

TEST(DescriptionExtraction, FindsBackgroundsInEveryForm) {
    Urls urls = Description(
        "<table background=\"http://a.example.com/b1.jpg\"><tr>"
        "<td background='//a.example.com/b2.jpg'></td><td BACKGROUND=http://a.example.com/b3.jpg></td>"
        "<div style='background: url(\"http://a.example.com/b4.jpg\")'></div>"
        "<div style=\"Background:URL('//a.example.com/b5.jpg')\"></div>"
        "<div style=\"background:url( http://a.example.com/b6.jpg) no-repeat\"></div></tr></table>");
    EXPECT_EQ((Urls{"http://a.example.com/b1.jpg", "//a.example.com/b2.jpg", "http://a.example.com/b3.jpg",
                    "http://a.example.com/b4.jpg", "//a.example.com/b5.jpg", "http://a.example.com/b6.jpg"}),
              urls);

    // url(...) without quotes is pattern 9's alone: pattern 7 wants a quote
    // after the parenthesis.
    const std::string unquoted = QuoteField("<div style=\"background:url(//a.example.com/b7.jpg)\"></div>");
    Vector* list = NewVector(4, 4);
    const ImagePattern& seventh = DescriptionPatterns[6];
    EXPECT_EQ(1, CollectPatternUrls(unquoted.c_str(), list, seventh.text, seventh.groupCount, seventh.urlGroup));
    EXPECT_EQ(0, list->count);
    const ImagePattern& ninth = DescriptionPatterns[8];
    EXPECT_EQ(1, CollectPatternUrls(unquoted.c_str(), list, ninth.text, ninth.groupCount, ninth.urlGroup));
    EXPECT_EQ(Urls{"//a.example.com/b7.jpg"}, ToStrings(list));
    FreeVector(list, 1);
}

TEST(DescriptionExtraction, ListsEachUrlOnceAtItsFirstFinding) {
    const std::string a = "https://img.alicdn.com/a.jpg";
    const std::string b = "https://img.alicdn.com/b.jpg";
    // `b` stands first in the text but in single quotes, so pattern 1's `a`
    // comes first; `a` again as a background is not listed twice.
    Urls urls = Description("<img src='" + b + "'><div style=\"background:url(" + a + ")\"><img src=\"" + a +
                            "\"></div><img src=\"" + a + "\"><img src=\"" + a + "\">");
    EXPECT_EQ((Urls{a, b}), urls);
}

TEST(DescriptionExtraction, SkipsNonImageHostsAndTheBlankImageWhichMobileKeeps) {
    const Urls skipped = {"https://img.tbcdn.cn/x.jpg", "https://shop123.taobao.com/y.jpg",
                          "http://detail.tmall.com/z.jpg", BLANK_IMAGE_URL};
    const Urls kept = {std::string(BLANK_IMAGE_URL) + "?v=2", "https://taobao.com/q.jpg"};
    std::string html, markup = "<wapDesc>";
    for (const Urls* list : {&skipped, &kept}) {
        for (const std::string& url : *list) {
            html += "<img src=\"" + url + "\">";
            markup += "<img>" + url + "</img>";
        }
    }
    markup += "</wapDesc>";
    EXPECT_EQ(kept, Description(html));
    Urls all = skipped;
    all.insert(all.end(), kept.begin(), kept.end());
    EXPECT_EQ(all, Mobile(markup));
}

TEST(DescriptionExtraction, KeepsTheUrlBytesAsWritten) {
    const std::string url = "http://photo.example.com/get?id=7&amp;size=big&amp;name=" + Gbk("图片") + ".jpg";
    EXPECT_EQ(Urls{url}, Description("<img src=\"" + url + "\">"));
    // Only what the quoting ends: text after the closing quote stays out.
    EXPECT_EQ(Urls{"//a.example.com/1.jpg"}, Description("<img src=\"//a.example.com/1.jpg\"alt=\"x\">"));
}

TEST(DescriptionExtraction, TextWithoutImagesGivesAnEmptyList) {
    int result = 0;
    EXPECT_TRUE(Description("", &result).empty());
    EXPECT_EQ(1, result);
    EXPECT_TRUE(
        Description(Gbk("<p>纯文字描述，没有图片。</p><img alt=\"none\"><a href=\"//a.example.com/\">"), &result)
            .empty());
    EXPECT_EQ(1, result);
    EXPECT_TRUE(Mobile("<wapDesc><txt>text</txt></wapDesc>", &result).empty());
    EXPECT_EQ(1, result);
}

TEST(MobileExtraction, ListsImageElementsInOrderOnce) {
    int result = 0;
    Urls urls =
        Mobile("<wapDesc><img>https://img.alicdn.com/m1.jpg</img><txt>" + Gbk("文字") +
                   "</txt><IMG size=\"750x1000\">//img.alicdn.com/m2.jpg</IMG><img>https://img.alicdn.com/m1.jpg</img>"
                   "<img>not-a-url</img></wapDesc>",
               &result);
    EXPECT_EQ(1, result);
    EXPECT_EQ((Urls{"https://img.alicdn.com/m1.jpg", "//img.alicdn.com/m2.jpg"}), urls);
}

Urls PlainMobile(const std::string& field, bool local = false) {
    Vector* list = NewVector(16, 8);
    const ImagePattern& pattern = MobileImagePattern;
    EXPECT_EQ(1, CollectPatternUrls(field.c_str(), list, PatternText(pattern, local).c_str(), pattern.groupCount,
                                    pattern.urlGroup));
    Urls urls = ToStrings(list);
    FreeVector(list, 1);
    return urls;
}

// The package read runs the patterns only where their literal start occurs,
// and matches the img patterns by hand; that must find exactly what the
// plain PCRE search from every offset finds, field after field with one set
// of patterns, and through a whole package read.  The same for the local
// paths that inspect counts.
TEST(DescriptionExtraction, CompiledOnceMatchesThePlainSearch) {
    // clang-format off
    std::vector<std::string> fields = {
        "<img<img src=\"\"//x.example.com/1\"\">",
        "<img src=\"\"//a.example.com/1>text<img src=\"\"//b.example.com/2\"\">",
        "<IMG SRC=//X.EXAMPLE.COM/Y><iMg sRc='//x.example.com/z'>",
        "backgroundBACKGROUND=//x.example.com/1 background : url ( //x.example.com/2 ) BackGround=''//x/3''",
        "text<img", "<im", "backgroun", "", "\"\"",
        "<img src=\"\"//a.example.com/1\"\" background=\"\"//a.example.com/2\"\">",
        "<img   src  =  \"\"\"\"  //a.example.com/3\"\"\"\">",
        "<img src=HTTPS://A.EXAMPLE.COM/4.JPG|b> <img src=http:/x> <img src=https//y>",
        "<img src=\"\"//img.alicdn.com/imgextra/blank.gif\"\"><img src=//a.tbcdn.cn/1.js>",
    };
    // clang-format on
    fields.push_back(QuoteField(RealisticDescription(20, "img.alicdn.com", 8000, 3)));

    // Small fields drawn from the patterns' own pieces.
    // clang-format off
    const char* pieces[] = {"<img", "<IMG", " ", "  ", "src", "SRC", "=", "\"\"", "'", "//", "http:", "https:",
                            "a.example.com/", "x", ">", "|", "background", "BackGround", ":", "url", "(", ")",
                            "</img>", "\t", "\r\n", "<img>", "<img ", " src=", "\"", "''", "<IMG  ", "/",
                            "a.example.com/aaa", "<img src=\"\"//b.example.com/\"\" ", "C:\\", "d:\\x", "/p/",
                            "<img src=\"\"/home/a.jpg\"\">", "<img>/m/1.jpg</img>"};
    // clang-format on
    const size_t pieceCount = sizeof pieces / sizeof pieces[0];
    unsigned state = 12345;
    for (int i = 0; i < 3000; ++i) {
        std::string field;
        int length = 1 + static_cast<int>(state % 60);
        for (int j = 0; j < length; ++j) {
            state = state * 1103515245U + 12345U;
            field += pieces[(state >> 16) % pieceCount];
        }
        fields.push_back(field);
    }

    ExtractionPatterns* patterns = NewExtractionPatterns();
    for (const std::string& field : fields) {
        Vector* list = NewVector(32, 16);
        ASSERT_EQ(1, ExtractDescriptionUrls(field.data(), field.size(), list, patterns));
        EXPECT_EQ(PlainDescription(field), ToStrings(list)) << field;
        FreeVector(list, 1);
        Vector* local = NewVector(32, 16);
        ASSERT_EQ(1, ExtractLocalPaths(field.data(), field.size(), local, 0, patterns));
        EXPECT_EQ(PlainDescription(field, true), ToStrings(local)) << field;
        FreeVector(local, 1);

        // The plain form filters as a description does; compare mobile
        // results on fields without filtered addresses.
        if (field.find("tbcdn") != std::string::npos || field.find("blank.gif") != std::string::npos) continue;
        Vector* mobile = NewVector(16, 8);
        ASSERT_EQ(1, ExtractMobileUrls(field.data(), field.size(), mobile, patterns));
        EXPECT_EQ(PlainMobile(field), ToStrings(mobile)) << field;
        FreeVector(mobile, 1);
        Vector* localMobile = NewVector(16, 8);
        ASSERT_EQ(1, ExtractLocalPaths(field.data(), field.size(), localMobile, 1, patterns));
        EXPECT_EQ(PlainMobile(field, true), ToStrings(localMobile)) << field;
        FreeVector(localMobile, 1);
    }
    FreeExtractionPatterns(patterns);

    // The same texts as the descriptions and mobile details of a package.
    PackageLayout layout;
    for (size_t i = 0; i + 1 < fields.size(); i += 2) {
        layout.items.push_back(MakeItem("t" + std::to_string(i), fields[i], fields[i + 1]));
    }
    const std::string bytes = BuildPackageBytes(layout);
    ItemList* items = NewItemList();
    char* text = nullptr;
    ASSERT_EQ(PACKAGE_READ_OK, ReadPackageBytes(bytes.data(), bytes.size(), items, &text));
    ASSERT_EQ(static_cast<int32_t>(layout.items.size()), items->count);
    for (int32_t i = 0; i < items->count; ++i) {
        const ItemRecord* item = static_cast<const ItemRecord*>(items->items[i]);
        const GeneratedItem& made = layout.items[static_cast<size_t>(i)];
        EXPECT_EQ(PlainDescription(QuoteField(made.description)), ToStrings(DesktopUrls(item))) << made.description;
        EXPECT_EQ(PlainMobile(QuoteField(made.mobileDetail)), ToStrings(MobileUrls(item))) << made.mobileDetail;
    }
    std::free(text);
    ClearItemRecords(items);
    FreeItemList(items);
}

// A field is searched only within its length: the package text goes on
// after it.
TEST(DescriptionExtraction, StaysWithinTheFieldLength) {
    const std::string text = "\"<img src=\"\"//a.example.com/1.jpg\"\">\"\t\"<img src=\"\"//b.example.com/2.jpg\"\">\"";
    const size_t firstField = text.find('\t');
    ExtractionPatterns* patterns = NewExtractionPatterns();
    Vector* list = NewVector(32, 16);
    EXPECT_EQ(1, ExtractDescriptionUrls(text.data(), firstField, list, patterns));
    EXPECT_EQ(Urls{"//a.example.com/1.jpg"}, ToStrings(list));
    FreeVector(list, 1);
    // "background" cut by the field's end is no candidate.
    list = NewVector(32, 16);
    const std::string cut = "x background=//a.example.com/3.jpg";
    EXPECT_EQ(1, ExtractDescriptionUrls(cut.data(), cut.find("ground"), list, patterns));
    EXPECT_EQ(0, list->count);
    FreeVector(list, 1);
    FreeExtractionPatterns(patterns);
}

#ifdef KARVELO_HAVE_PCRE8
// PCRE 8 and PCRE2 side by side, each compiled as the extraction compiles
// (case-insensitive; anchored for the runs at a literal prefix's offsets),
// with JIT code or without.  Match writes a search's result and the offsets
// of the whole match and its `groups` (-1: unset) into a transcript.
const int GROUP_PAIRS = 4;

struct Pcre8 {
    Pcre8(const std::string& pattern, bool anchored, bool jit) {
        const char* error = nullptr;
        int at = 0;
        code = pcre_compile(pattern.c_str(), PCRE_CASELESS | (anchored ? PCRE_ANCHORED : 0), &error, &at, nullptr);
        if (code != nullptr && jit) study = pcre_study(code, PCRE_STUDY_JIT_COMPILE, &error);
    }
    ~Pcre8() {
        if (study != nullptr) pcre_free_study(study);
        pcre_free(code);
    }
    int Match(const std::string& subject, size_t start, int groups, std::string* transcript) const {
        int vector[GROUP_PAIRS * 3];
        int result = pcre_exec(code, study, subject.data(), static_cast<int>(subject.size()), static_cast<int>(start),
                               0, vector, GROUP_PAIRS * 3);
        *transcript += std::to_string(start) + ":" + std::to_string(result < -1 ? -99 : result);
        for (int i = 0; result >= 0 && i < 2 * (groups + 1); ++i) *transcript += "," + std::to_string(vector[i]);
        *transcript += ";";
        return result < 0 ? -1 : vector[1] > vector[0] ? vector[1] : vector[1] + 1;
    }
    pcre* code = nullptr;
    pcre_extra* study = nullptr;
};

struct Pcre2 {
    Pcre2(const std::string& pattern, bool anchored, bool jit)
        : matches(pcre2_match_data_create(GROUP_PAIRS, nullptr)) {
        int error = 0;
        PCRE2_SIZE at = 0;
        code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()), PCRE2_ZERO_TERMINATED,
                             PCRE2_CASELESS | (anchored ? PCRE2_ANCHORED : 0), &error, &at, nullptr);
        if (code != nullptr && jit) pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    }
    ~Pcre2() {
        pcre2_match_data_free(matches);
        pcre2_code_free(code);
    }
    int Match(const std::string& subject, size_t start, int groups, std::string* transcript) const {
        int result =
            pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start, 0, matches, nullptr);
        const PCRE2_SIZE* vector = pcre2_get_ovector_pointer(matches);
        *transcript += std::to_string(start) + ":" + std::to_string(result < -1 ? -99 : result);
        for (int i = 0; result >= 0 && i < 2 * (groups + 1); ++i) {
            *transcript += "," + std::to_string(vector[i] == PCRE2_UNSET ? -1 : static_cast<long>(vector[i]));
        }
        *transcript += ";";
        return result < 0 ? -1 : static_cast<int>(vector[1] > vector[0] ? vector[1] : vector[1] + 1);
    }
    pcre2_code* code = nullptr;
    pcre2_match_data* matches;
};

// The anchored search at each offset that starts like the literal prefix,
// then the plain search resuming after each match, as CollectMatches runs
// them.
template <class Library>
std::string Searches(const Library& anchored, const Library& plain, const ImagePattern& pattern,
                     const std::string& subject) {
    std::string transcript;
    const int groups = pattern.groupCount;
    for (size_t at = 0; at < subject.size(); ++at) {
        if (FoldAscii(static_cast<unsigned char>(subject[at])) == pattern.literalPrefix[0]) {
            anchored.Match(subject, at, groups, &transcript);
        }
    }
    transcript += "|";
    for (int start = 0; start >= 0 && static_cast<size_t>(start) <= subject.size();) {
        start = plain.Match(subject, static_cast<size_t>(start), groups, &transcript);
    }
    return transcript;
}

// Descriptions holding every address form the extraction knows (Chinese
// text in the core's GB18030 form, doubled quotes, entities), cut short,
// joined, and pseudo-randomly mutated with a fixed seed.
std::vector<std::string> DifferentialSubjects() {
    const std::string chinese = Core("图片描述😀");
    // clang-format off
    const std::string addresses[] = {"http://a.example.com/1.jpg", "HTTPS://IMG.ALICDN.COM/2.JPG",
                                     "//img.alicdn.com/i/" + chinese + ".jpg", "https://a.example.com/g?id=7&amp;s=b&quot;",
                                     "http:/x.jpg", "https//y.jpg", "/home/s/" + chinese + ".jpg", "C:\\images\\3.jpg",
                                     "d:\\4.gif", "//a.tbcdn.cn/x.js", BLANK_IMAGE_URL};
    // clang-format on
    // clang-format off
    const std::pair<std::string, std::string> forms[] = {
        {"<img src=\"\"", "\"\">"}, {"<IMG alt=\"\"" + chinese + "\"\"  SRC = \"\"\"\" ", "\"\" width=1>"},
        {"<img src='", "'>"}, {"<img class=x src=", "|b>"}, {"<img   src=", " >"}, {"<td background=\"\"", "\"\">"},
        {"<td BACKGROUND = '", "'>"}, {"<td background=", ">"}, {"<p style=\"\"background:url(\"\"", "\"\")\"\">"},
        {"<p style=\"\"Background : URL ( '", "' )\"\">"}, {"<p style=\"\"background:url(", ") no-repeat\"\">"},
        {"<img>", "</img>"}, {"<img size=\"\"750x1000\"\">", "</IMG>"}};
    // clang-format on
    std::vector<std::string> whole;
    for (const std::string& address : addresses) {
        for (const auto& form : forms) whole.push_back("<p>" + chinese + "</p>" + form.first + address + form.second);
    }
    std::vector<std::string> subjects = whole;
    for (size_t i = 0; i < whole.size(); ++i) {
        for (size_t cut = 1; cut < whole[i].size(); cut += 7) subjects.push_back(whole[i].substr(0, cut));
        subjects.push_back(whole[i] + whole[(i * 7 + 3) % whole.size()]);
    }
    subjects.push_back(RealisticDescription(20, "img.alicdn.com", 8000, 3));
    const char* pieces[] = {"\"",
                            "\"\"",
                            "'",
                            "<",
                            ">",
                            " ",
                            "|",
                            "(",
                            ")",
                            "=",
                            ":",
                            "//",
                            "<img",
                            "background",
                            "src",
                            "url",
                            "</img>",
                            "\xd6\xd0",
                            "\x81\x30\x81\x30",
                            "&amp;",
                            "/",
                            "C:\\",
                            "http"};
    unsigned state = 20261208;
    auto next = [&state]() {
        state = state * 1103515245U + 12345U;
        return static_cast<size_t>(state >> 16);
    };
    for (int i = 0; i < 3000; ++i) {
        std::string subject = whole[next() % whole.size()];
        for (size_t edits = 1 + next() % 4; edits > 0; --edits) {
            const size_t at = next() % (subject.size() + 1);
            switch (next() % 4) {
                case 0: subject.insert(at, pieces[next() % (sizeof pieces / sizeof pieces[0])]); break;
                case 1: subject.erase(at, next() % 8); break;
                case 2: subject.insert(at, subject.substr(at, next() % 16)); break;
                default:
                    if (at < subject.size()) subject[at] = static_cast<char>(subject[at] ^ (next() % 2 ? 0x20 : 0x80));
            }
        }
        subjects.push_back(subject);
    }
    return subjects;
}

// Every pattern of the extraction, URL and local-path form, finds with
// PCRE2 exactly the matches (offsets and groups) PCRE 8 found.
TEST(DescriptionExtraction, Pcre2MatchesAsPcre8Did) {
    const std::vector<std::string> subjects = DifferentialSubjects();
    std::vector<const ImagePattern*> table;
    for (const ImagePattern& pattern : DescriptionPatterns) table.push_back(&pattern);
    table.push_back(&MobileImagePattern);
    int mismatches = 0;
    for (const ImagePattern* pattern : table) {
        for (bool local : {false, true}) {
            const std::string text = PatternText(*pattern, local);
            for (bool jit : {false, true}) {
                const Pcre8 anchored8(text, true, jit), plain8(text, false, jit);
                const Pcre2 anchored2(text, true, jit), plain2(text, false, jit);
                ASSERT_TRUE(anchored8.code && plain8.code && anchored2.code && plain2.code) << text;
                for (const std::string& subject : subjects) {
                    const std::string was = Searches(anchored8, plain8, *pattern, subject);
                    const std::string is = Searches(anchored2, plain2, *pattern, subject);
                    EXPECT_EQ(was, is) << text << (jit ? " (JIT)" : "") << " in " << Utf8(subject);
                    ASSERT_LT(mismatches += was != is, 10);
                }
            }
        }
    }
}
#endif

using PatternFailure = AppLogFixture;

TEST_F(PatternFailure, APatternThatCannotCompileIsLoggedAndFails) {
    Vector* list = NewVector(4, 4);
    EXPECT_EQ(0, CollectPatternUrls("\"<img src=//a.example.com/1.jpg>\"", list, "<img([", 1, 1));
    EXPECT_EQ(0, list->count);
    FreeVector(list, 1);
    const std::string log = Log();
    EXPECT_NE(std::string::npos,
              log.find(" PCRE compilation failed at offset 6: missing terminating ] for character class\r\n"))
        << log;
}

TEST_F(PatternFailure, AMatchingErrorIsLoggedAndFails) {
    // Nested repetition over a long run exhausts PCRE's match limit.
    Vector* list = NewVector(4, 4);
    EXPECT_EQ(0, CollectPatternUrls("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaac b", list, "(a+)+b", 1, 1));
    FreeVector(list, 1);
    EXPECT_NE(std::string::npos, Log().find(" Matching error: -8\r\n")) << Log();
}

TEST(ImageSpace, RecognisesTheImageSpaceHosts) {
    EXPECT_EQ(1, IsImageSpaceUrl("https://img.alicdn.com/imgextra/i1/1.jpg"));
    EXPECT_EQ(1, IsImageSpaceUrl("//gd1.alicdn.com/bao/uploaded/2.jpg"));
    EXPECT_EQ(1, IsImageSpaceUrl("http://img01.taobaocdn.com/imgextra/3.jpg"));
    EXPECT_EQ(1, IsImageSpaceUrl(BLANK_IMAGE_URL));
    // A suffix needs its dot and its slash.
    EXPECT_EQ(0, IsImageSpaceUrl("https://alicdn.com/4.jpg"));
    EXPECT_EQ(0, IsImageSpaceUrl("https://img.alicdn.com.example.net/5.jpg"));
    EXPECT_EQ(0, IsImageSpaceUrl("http://photo.example.com/6.jpg"));
}

}  // namespace
