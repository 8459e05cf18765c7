// Packages shaped against the reader: each is read in time proportional to
// its size (compare bytes_per_second across the shapes and with
// BM_ReadPackage), and maps of keys with equal StringHash.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "package/item_record.h"
#include "package/reader.h"
#include "support/package_generator.h"
#include "util/hash_map.h"
#include "util/strings.h"
#include "util/vector.h"

namespace {

enum Shape { UNCLOSED_IMG, UNCLOSED_IMG_SRC, DISTINCT_IMAGES, TINY_ROWS };

std::string ShapeBytes(Shape shape) {
    PackageLayout layout;
    layout.mobileColumn = false;
    layout.sellingColumn = false;
    layout.trailingPlainColumn = false;
    std::string description;
    if (shape == UNCLOSED_IMG) {
        for (int i = 0; i < 2000000; ++i) description += "<img ";
    } else if (shape == UNCLOSED_IMG_SRC) {
        for (int i = 0; i < 1000000; ++i) description += "<img src=\"";
    } else if (shape == DISTINCT_IMAGES) {
        for (int i = 0; i < 1000000; ++i) description += "<img src=\"//h.example.com/" + std::to_string(i) + "\">";
    }
    if (shape == TINY_ROWS) {
        for (int i = 0; i < 1000000; ++i) layout.items.push_back(MakeItem("t", ""));
    } else {
        layout.items.push_back(MakeItem("t", description));
    }
    return BuildPackageBytes(layout);
}

void BM_ReadShapedPackage(benchmark::State& state) {
    static std::string bytes[4];
    const Shape shape = static_cast<Shape>(state.range(0));
    if (bytes[shape].empty()) bytes[shape] = ShapeBytes(shape);
    for (auto _ : state) {
        ItemList* items = NewItemList();
        char* text = nullptr;
        if (ReadPackageBytes(bytes[shape].data(), bytes[shape].size(), items, &text) != PACKAGE_READ_OK) {
            state.SkipWithError("package not read");
        }
        std::free(text);
        ClearItemRecords(items);
        FreeItemList(items);
    }
    state.counters["file_MB"] = static_cast<double>(bytes[shape].size()) / 1e6;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes[shape].size()));
}
BENCHMARK(BM_ReadShapedPackage)
    ->ArgName("shape")
    ->DenseRange(UNCLOSED_IMG, TINY_ROWS)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

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
                key += colliding ? (((i >> b) & 1) ? "Aa" : "BB") : std::string{static_cast<char>('a' + (random >> 16) % 26),
                                                                               static_cast<char>('a' + (random >> 8) % 26)};
            }
            char* copy = CopyString(key.c_str());
            if (HashMapPut(map, copy, &state) != nullptr) std::free(copy);
        }
        FreeHashMap(map, 0);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) << blocks);
}
BENCHMARK(BM_HashMapEqualStringHash)->ArgName("colliding")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
