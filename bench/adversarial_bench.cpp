// Packages shaped against the reader and the rewrite, each at ten times the
// size that once took seconds to minutes: every one must take time in
// proportion to its size, read as a run reads it and as inspect does (which
// also counts the local paths).  s_per_MB is the seconds per megabyte of package
// (of text, for the rewrite); the goal is under 0.2.  Also maps of keys
// with equal StringHash.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "package/item_record.h"
#include "package/reader.h"
#include "relocate/rewrite.h"
#include "support/gbk.h"
#include "support/package_generator.h"
#include "base/hash_map.h"
#include "base/strings.h"
#include "base/vector.h"

namespace {

enum Shape {
    UNCLOSED_IMG,
    UNCLOSED_IMG_SRC,
    UNCLOSED_IMG_SPACES_SRC,
    DISTINCT_IMAGES,
    TINY_ROWS,
    EQUAL_HASH_URLS,
    SHAPES
};

// 2^blocks URLs of `blocks` blocks "Aa" or "BB": all with one StringHash.
std::string EqualHashUrl(int index, int blocks) {
    std::string url = "//h.example.com/";
    for (int b = 0; b < blocks; ++b) url += ((index >> b) & 1) ? "Aa" : "BB";
    return url;
}

std::string Repeated(const std::string& piece, int times) {
    std::string text;
    text.reserve(piece.size() * static_cast<size_t>(times));
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

std::string ShapeBytes(Shape shape) {
    if (shape == TINY_ROWS) {
        // Ten million rows of a title and two empty quoted fields: the
        // smallest rows a package can have (22 bytes each).
        std::string text = "version 1.00\r\n" + Gbk("宝贝名称\t宝贝描述\t无线详情") + "\r\n";
        text += Repeated("\"t\"\t\"\"\t\"\"\r\n", 10000000);
        return EncodePackageText(text);
    }
    PackageLayout layout;
    layout.mobileColumn = false;
    layout.sellingColumn = false;
    layout.trailingPlainColumn = false;
    if (shape == UNCLOSED_IMG) layout.items.push_back(MakeItem("t", Repeated("<img ", 2000000)));
    if (shape == UNCLOSED_IMG_SRC) layout.items.push_back(MakeItem("t", Repeated("<img src=\"", 2000000)));
    if (shape == UNCLOSED_IMG_SPACES_SRC) layout.items.push_back(MakeItem("t", Repeated("<img  src", 2000000)));
    if (shape == DISTINCT_IMAGES) {
        std::string description;
        for (int i = 0; i < 1000000; ++i) description += "<img src=\"//h.example.com/" + std::to_string(i) + "\">";
        layout.items.push_back(MakeItem("t", description));
    }
    if (shape == EQUAL_HASH_URLS) {
        // 2^20 URLs, 100 to an item.
        const int blocks = 20;
        std::string description;
        for (int i = 0; i < (1 << blocks); ++i) {
            description += "<img src=\"" + EqualHashUrl(i, blocks) + "\">";
            if (i % 100 == 99 || i + 1 == (1 << blocks)) {
                layout.items.push_back(MakeItem("t", description));
                description.clear();
            }
        }
    }
    return BuildPackageBytes(layout);
}

void BM_ReadShapedPackage(benchmark::State& state) {
    static std::string bytes[SHAPES];
    const Shape shape = static_cast<Shape>(state.range(0));
    if (bytes[shape].empty()) bytes[shape] = ShapeBytes(shape);
    for (auto _ : state) {
        ItemList* items = NewItemList();
        items->countLocalPaths = state.range(1) != 0;  // as inspect reads
        char* text = nullptr;
        if (ReadPackageBytes(bytes[shape].data(), bytes[shape].size(), items, &text) != PACKAGE_READ_OK) {
            state.SkipWithError("package not read");
        }
        std::free(text);
        FreeItemList(items);
    }
    const double megabytes = static_cast<double>(bytes[shape].size()) / 1e6;
    state.counters["file_MB"] = megabytes;
    state.counters["s_per_MB"] =
        benchmark::Counter(megabytes, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReadShapedPackage)
    ->ArgNames({"shape", "inspect"})
    ->ArgsProduct({benchmark::CreateDenseRange(UNCLOSED_IMG, SHAPES - 1, 1), {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// A failed URL of 6 MB followed by "http://" as often as fits in its
// length, then the URL again: every "http://" starts a near-match of it.
void BM_RewriteLongNearMatches(benchmark::State& state) {
    const std::string failed = "http://host/" + std::string(6000000, 'h');
    std::string text =
        "<img src=\"\"" + failed + "\"\">" + Repeated("http://", 6000000 / 7) + "<img>" + failed + "</img>";
    HashMap* map = NewStringHashMap(&STRING_KEYS_AND_VALUES);
    HashMapReplace(map, CopyString(failed.c_str()), CopyString(""));
    HashMapReplace(map, CopyString("http://host/a.jpg"), CopyString("/p/1.jpg"));
    for (auto _ : state) {
        char* packageText = CopyString(text.c_str());
        benchmark::DoNotOptimize(RewritePackageText(map, &packageText, state.range(0), 1, 1, nullptr));
        std::free(packageText);
    }
    FreeHashMap(map, 1);
    const double megabytes = static_cast<double>(text.size()) / 1e6;
    state.counters["text_MB"] = megabytes;
    state.counters["s_per_MB"] =
        benchmark::Counter(megabytes, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RewriteLongNearMatches)->ArgName("blank")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

// 2^n keys of n blocks "Aa" or "BB", all with one StringHash, against as
// many keys of the same length without a pattern.
void BM_HashMapEqualStringHash(benchmark::State& state) {
    const bool colliding = state.range(0) != 0;
    const int blocks = 20;
    for (auto _ : state) {
        HashMap* map = NewStringHashMap(&STRING_KEYS);
        unsigned random = 1;
        for (int i = 0; i < (1 << blocks); ++i) {
            std::string key = "http://h/";
            for (int b = 0; b < blocks; ++b) {
                random = random * 1103515245U + 12345U;
                key += colliding ? (((i >> b) & 1) ? "Aa" : "BB")
                                 : std::string{static_cast<char>('a' + (random >> 16) % 26),
                                               static_cast<char>('a' + (random >> 8) % 26)};
            }
            char* copy = CopyString(key.c_str());
            if (HashMapReplace(map, copy, &state) != nullptr) std::free(copy);
        }
        FreeHashMap(map, 0);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) << blocks);
}
BENCHMARK(BM_HashMapEqualStringHash)
    ->ArgName("colliding")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
