// Rewriting a large package text: the one-pass rewrite against one memcpy
// of the same text, and the plain replace-all per URL for comparison.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "relocate/rewrite.h"
#include "base/hash_map.h"
#include "base/strings.h"

namespace {

const size_t TEXT_BYTES = 40u << 20;
const int DISTINCT_URLS = 40000;

struct RewriteInput {
    std::string text;
    std::vector<std::string> urls;
};

// A package-like text of about 40 MB holding 40,000 distinct image URLs, a
// tenth of them nested in a longer one (thumbnails), each used about twice.
const RewriteInput& Input() {
    static RewriteInput input = [] {
        RewriteInput made;
        std::mt19937 random(7);
        for (int i = 0; i < DISTINCT_URLS; ++i) {
            if (i % 10 == 9) {
                made.urls.push_back(made.urls[static_cast<size_t>(i - 1)] + "_400x400.jpg");
            } else {
                made.urls.push_back("https://img.alicdn.com/imgextra/i" + std::to_string(i % 4) + "/" +
                                    std::to_string(100000000 + random() % 900000000) + "/TB2" + std::to_string(i) +
                                    "_!!0-item_pic.jpg");
            }
        }
        const std::string filler =
            "<p style=\"\"margin:0;padding:0;text-align:center\"\"><span style=\"\"font-size:14px\"\">"
            "\xb1\xa6\xb1\xb4\xc3\xe8\xca\xf6 quality cotton, machine washable</span></p>";
        made.text.reserve(TEXT_BYTES + 4096);
        size_t next = 0;
        while (made.text.size() < TEXT_BYTES) {
            made.text += filler;
            made.text += filler;
            made.text += "<img src=\"\"" + made.urls[next % made.urls.size()] + "\"\" />";
            next = (next + 7919) % made.urls.size();
        }
        return made;
    }();
    return input;
}

HashMap* MapFor(size_t keys) {
    const RewriteInput& input = Input();
    HashMap* map = NewHashMap(&STRING_KEYS_AND_VALUES, static_cast<int32_t>(keys * 2), 0.75f);
    for (size_t i = 0; i < keys; ++i) {
        std::string path = "/home/seller/pics/2026-12-7-9-30-" + std::to_string(i + 1) + ".jpg";
        HashMapReplace(map, CopyString(input.urls[i].c_str()), CopyString(path.c_str()));
    }
    return map;
}

void BM_MemcpyOfTheText(benchmark::State& state) {
    const std::string& text = Input().text;
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    for (auto _ : state) {
        std::memcpy(copy, text.c_str(), text.size() + 1);
        benchmark::DoNotOptimize(copy);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    std::free(copy);
}
BENCHMARK(BM_MemcpyOfTheText)->Unit(benchmark::kMillisecond);

void BM_RewritePackageText(benchmark::State& state) {
    const std::string& text = Input().text;
    HashMap* map = MapFor(DISTINCT_URLS);
    for (auto _ : state) {
        char* packageText = CopyString(text.c_str());
        int changed = RewritePackageText(map, &packageText, 0, 2000, 2000, nullptr);
        benchmark::DoNotOptimize(changed);
        std::free(packageText);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.counters["urls"] = DISTINCT_URLS;
    FreeHashMap(map, 1);
}
BENCHMARK(BM_RewritePackageText)->Unit(benchmark::kMillisecond);

// The copy of the input is part of every rewrite iteration above; measured
// alone so it can be taken out of the comparison.
void BM_CopyStringOfTheText(benchmark::State& state) {
    const std::string& text = Input().text;
    for (auto _ : state) {
        char* packageText = CopyString(text.c_str());
        benchmark::DoNotOptimize(packageText);
        std::free(packageText);
    }
}
BENCHMARK(BM_CopyStringOfTheText)->Unit(benchmark::kMillisecond);

void BM_RewriteKeyByKey(benchmark::State& state) {
    const std::string& text = Input().text;
    HashMap* map = MapFor(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        char* packageText = CopyString(text.c_str());
        int changed = RewriteTextKeyByKey(map, &packageText, 0);
        benchmark::DoNotOptimize(changed);
        std::free(packageText);
    }
    FreeHashMap(map, 1);
}
BENCHMARK(BM_RewriteKeyByKey)->Arg(1000)->Arg(10000)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
