// Reading a large package: ReadPackage against the C library's iconv
// converting the same bytes alone, and the reader's peak memory.
#include <benchmark/benchmark.h>

#include <iconv.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "download_runs.h"
#include "package/item_record.h"
#include "package/reader.h"
#include "relocate/run.h"
#include "support/package_generator.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "base/hash_map.h"
#include "base/strings.h"
#include "base/vector.h"

namespace {

const int ITEMS = 2000;
const int IMAGES_PER_ITEM = 20;
const size_t DESCRIPTION_BYTES = 40000;

struct BigPackage {
    TempDir dir;
    std::string path;
    std::string bytes;
};

// About 100 MB on disk: 2,000 items with 40 KB descriptions of 20 images.
BigPackage& Package() {
    static std::unique_ptr<BigPackage> package = [] {
        auto made = std::make_unique<BigPackage>();
        made->path = made->dir.File("big.csv");
        PackageLayout layout = RealisticPackage(ITEMS, IMAGES_PER_ITEM, DESCRIPTION_BYTES, "img.alicdn.com");
        made->bytes = BuildPackageBytes(layout);
        WriteWholeFile(made->path, made->bytes);
        return made;
    }();
    return *package;
}

void BM_ReadPackage(benchmark::State& state) {
    BigPackage& package = Package();
    for (auto _ : state) {
        ItemList* items = NewItemList();
        char* text = nullptr;
        int result = ReadPackage(package.path.c_str(), items, &text);
        if (result != PACKAGE_READ_OK || items->count != ITEMS) state.SkipWithError("package not read");
        std::free(text);
        ClearItemRecords(items);
        FreeItemList(items);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * package.bytes.size()));
    state.counters["file_MB"] = static_cast<double>(package.bytes.size()) / 1e6;
}
BENCHMARK(BM_ReadPackage)->Unit(benchmark::kMillisecond)->UseRealTime();

// The reference: the C library converting the bytes already in memory.
void BM_GlibcIconvOnly(benchmark::State& state) {
    BigPackage& package = Package();
    std::string out(package.bytes.size() * 2 + 1, '\0');
    for (auto _ : state) {
        iconv_t cd = iconv_open("GB18030//IGNORE", "UTF-16LE");
        char* in = &package.bytes[2];
        size_t inLeft = package.bytes.size() - 2;
        char* outAt = &out[0];
        size_t outLeft = out.size();
        iconv(cd, &in, &inLeft, &outAt, &outLeft);
        iconv_close(cd);
        benchmark::DoNotOptimize(outAt);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * package.bytes.size()));
}
BENCHMARK(BM_GlibcIconvOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

// Peak memory of reading the package, measured on `karvelo inspect` (which
// reads it and prints a line per item) as the child's maximum resident size.
void BM_ReadPackagePeakMemory(benchmark::State& state) {
    BigPackage& package = Package();
    const std::string karvelo = KarveloBesideBench();
    double peakMb = 0;
    for (auto _ : state) {
        pid_t pid = StartProcess({karvelo, "inspect", package.path});
        int status = 0;
        struct rusage usage;
        if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("karvelo inspect failed");
            return;
        }
        peakMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    }
    state.counters["peak_MB"] = peakMb;
    state.counters["peak_per_file_byte"] = peakMb * 1024 * 1024 / static_cast<double>(package.bytes.size());
}
BENCHMARK(BM_ReadPackagePeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// One checkpoint of a run halfway through the package: the rewrite of a
// copy of the text with every other image relocated, and the write-back to
// a temporary file synced to the disk and moved over the package.
void BM_Checkpoint(benchmark::State& state) {
    BigPackage& package = Package();
    ItemList* items = NewItemList();
    char* text = nullptr;
    if (ReadPackage(package.path.c_str(), items, &text) != PACKAGE_READ_OK) {
        state.SkipWithError("package not read");
        return;
    }
    HashMap* urlMap = NewHashMap(&STRING_KEYS_AND_VALUES, items->count * 32, 0.75f);
    int relocated = 0;
    for (int32_t i = 0; i < items->count; ++i) {
        const Vector* urls = DesktopUrls(static_cast<const ItemRecord*>(items->items[i]));
        for (int32_t j = 0; urls != nullptr && j < urls->count; j += 2) {
            std::string path = package.dir.File("pics/2026-12-7-9-30-" + std::to_string(++relocated) + ".jpg");
            HashMapReplace(urlMap, CopyString(static_cast<const char*>(urls->items[j])), CopyString(path.c_str()));
        }
    }
    const std::string target = package.dir.File("checkpoint.csv");
    for (auto _ : state) {
        if (WriteCheckpoint(urlMap, text, 0, target.c_str()) != 1) state.SkipWithError("nothing written");
    }
    state.counters["file_MB"] = static_cast<double>(package.bytes.size()) / 1e6;
    state.counters["relocated"] = relocated;
    FreeHashMap(urlMap, 1);
    std::free(text);
    ClearItemRecords(items);
    FreeItemList(items);
}
BENCHMARK(BM_Checkpoint)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
