// Foundations under load: ReplaceAll must stay linear in the text's length
// (the run rewrites packages of many megabytes), and the hash map must keep
// put and get flat at the size of a big run's address map.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/hash_map.h"
#include "base/strings.h"

namespace {

const int MAP_KEYS = 100000;

// Package-like text: description HTML with an "&amp;" every `spacing` bytes.
std::string TextWithMatches(size_t length, size_t spacing) {
    std::string text;
    text.reserve(length + spacing);
    const std::string filler = "<img src=\"http://img.example.com/imgextra/i1/12345/T1abc.jpg\"> ";
    while (text.size() < length) {
        size_t room = spacing > 5 ? spacing - 5 : 0;
        for (size_t i = 0; i < room; ++i) text.push_back(filler[(text.size() + i) % filler.size()]);
        text += "&amp;";
    }
    text.resize(length);
    return text;
}

void RunReplaceAll(benchmark::State& state, size_t spacing) {
    size_t length = static_cast<size_t>(state.range(0));
    std::string text = TextWithMatches(length, spacing);
    for (auto _ : state) {
        char* result = ReplaceAll(text.c_str(), "&amp;", "&");
        benchmark::DoNotOptimize(result);
        std::free(result);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(length));
    state.SetComplexityN(state.range(0));
}

// One occurrence per ~200 bytes, as in an item description.
void BM_ReplaceAllSparse(benchmark::State& state) { RunReplaceAll(state, 200); }
// One every 8 bytes: the offset list doubles many times.
void BM_ReplaceAllDense(benchmark::State& state) { RunReplaceAll(state, 8); }

BENCHMARK(BM_ReplaceAllSparse)->RangeMultiplier(8)->Range(1 << 10, 1 << 25)->Complexity(benchmark::oN);
BENCHMARK(BM_ReplaceAllDense)->RangeMultiplier(8)->Range(1 << 10, 1 << 25)->Complexity(benchmark::oN);

// Address-like keys, distinct, of the length real image URLs have.
std::vector<std::string> MapKeys() {
    std::vector<std::string> keys;
    keys.reserve(MAP_KEYS);
    char key[128];
    for (int i = 0; i < MAP_KEYS; ++i) {
        std::snprintf(key, sizeof key, "http://img.alicdn.com/imgextra/i%d/%d/TB2x%07d_!!0-item_pic.jpg", i % 4,
                      100000 + i * 37, i);
        keys.push_back(key);
    }
    return keys;
}

// Puts 100,000 keys into a map that starts small and doubles as it goes.
void BM_HashMapPut(benchmark::State& state) {
    std::vector<std::string> keys = MapKeys();
    std::vector<char*> copies(keys.size());
    for (auto _ : state) {
        state.PauseTiming();
        for (size_t i = 0; i < keys.size(); ++i) copies[i] = CopyString(keys[i].c_str());
        HashMap* map = NewStringHashMap(&STRING_KEYS);
        state.ResumeTiming();
        for (char* key : copies) HashMapReplace(map, key, key);
        state.PauseTiming();
        FreeHashMap(map, 0);  // releases the keys it owns
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * MAP_KEYS);
}
BENCHMARK(BM_HashMapPut)->Unit(benchmark::kMillisecond);

// Looks up every key of a full map through separate probe strings, so each
// hit compares bytes, as the run's lookups do.
void BM_HashMapGet(benchmark::State& state) {
    std::vector<std::string> keys = MapKeys();
    HashMap* map = NewStringHashMap(&STRING_KEYS);
    for (const std::string& key : keys) {
        char* copy = CopyString(key.c_str());
        HashMapReplace(map, copy, copy);
    }
    for (auto _ : state) {
        for (const std::string& key : keys) benchmark::DoNotOptimize(HashMapGet(map, key.c_str()));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * MAP_KEYS);
    FreeHashMap(map, 0);
}
BENCHMARK(BM_HashMapGet)->Unit(benchmark::kMillisecond);

}  // namespace
