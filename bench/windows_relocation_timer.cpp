// The wall time of one relocation of 2,000 images on loopback, for the
// Windows build under 64-bit Wine, where Karvelo.exe is a window and cannot
// be timed from outside: this console program runs the core's run in its
// own process (the run Karvelo.exe makes on its worker thread, with its
// defaults, its app.log and its backup) over a package of 2,000 images of 2
// to 20 KB served by the project's loopback image server, and prints each
// run's seconds and their median:
//
//   make windows
//   tools/wine-run.sh build/windows/wineprefix --init
//   tools/wine-run.sh build/windows/wineprefix build/windows/karvelo_relocation_timer.exe [IMAGES [RUNS]]
//
// (IMAGES 2000 and RUNS 3 unless given.)  To compare two versions of the
// core, build it on each (the program and its sources stay the same) and run
// both on the same machine one after the other.  Timed: the run from its
// start to its outcome shown (RunRelocation and PresentRunOutcome), not the
// reading of the package before it, which the window does when a package
// is opened.  Ends with 1 when a run relocates fewer images.
#include "platform/net.h"  // Winsock before <windows.h>

#include "demo/loopback_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "package/item_record.h"
#include "package/reader.h"
#include "relocate/core_state.h"
#include "relocate/run.h"
#include "relocate/run_view.h"
#include "support/gbk.h"
#include "support/package_generator.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"
#include "util/app_log.h"

namespace {

const int DEFAULT_IMAGES = 2000;
const int DEFAULT_RUNS = 3;
const size_t MIN_IMAGE_BYTES = 2 * 1024;
const size_t IMAGE_BYTES_SPAN = 18 * 1024;

// A body of 2 to 20 KB that the client takes for a PNG: the signature, then
// filler, its length drawn from the path.
LoopbackResponse ServeImage(const std::string& path) {
    LoopbackResponse response;
    response.status = 200;
    response.contentType = "image/png";
    response.body = std::string("\x89PNG\r\n\x1a\n", 8);
    response.body.resize(MIN_IMAGE_BYTES + std::hash<std::string>()(path) % IMAGE_BYTES_SPAN, 'k');
    return response;
}

void ReadRunOptions(void* context, RunOptions* options) { *options = *static_cast<const RunOptions*>(context); }

// One run over a fresh package of `urls` into a fresh folder: its seconds,
// or -1 when it relocated fewer than all.
double TimeOneRun(const TempDir& dir, const std::vector<std::string>& urls, int serial) {
    const std::string package = dir.File("shop.csv");
    const std::string destination = dir.File("pics-" + std::to_string(serial));
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::u8path(destination), ignored);
    ClearItemRecords(coreState.items);
    std::free(coreState.packageText);
    coreState.packageText = nullptr;
    std::snprintf(coreState.packagePath, sizeof coreState.packagePath, "%s", Core(package).c_str());
    if (!WriteImagePackage(package, urls) ||
        ReadPackage(coreState.packagePath, coreState.items, &coreState.packageText) != PACKAGE_READ_OK) {
        std::fprintf(stderr, "cannot write and read the package %s\n", package.c_str());
        return -1;
    }
    RunOptions options = {};
    options.relocateImageSpace = 1;
    options.relocateOutsideAlbums = 1;
    std::snprintf(options.destination, sizeof options.destination, "%s", Core(destination).c_str());
    RunView view = {};
    view.context = &options;
    view.readOptions = ReadRunOptions;

    const auto start = std::chrono::steady_clock::now();
    const RunOutcome outcome = RunRelocation(&view);
    PresentRunOutcome(&view, outcome);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    coreState.running = 0;
    std::filesystem::remove_all(std::filesystem::u8path(destination), ignored);
    std::filesystem::remove_all(std::filesystem::u8path(dir.File("bak")), ignored);
    if (outcome.relocatedCount != static_cast<int>(urls.size())) {
        std::fprintf(stderr, "the run relocated %d of %zu images, %d failed\n", outcome.relocatedCount, urls.size(),
                     outcome.failureCount);
        return -1;
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const int images = argc > 1 ? std::atoi(argv[1]) : DEFAULT_IMAGES;
    const int runs = argc > 2 ? std::atoi(argv[2]) : DEFAULT_RUNS;
    if (images <= 0 || runs <= 0) {
        std::fprintf(stderr, "usage: %s [IMAGES [RUNS]] (both above 0)\n", argv[0]);
        return 2;
    }
    LoopbackImageServer server(ServeImage);
    if (StartNetwork() != 1 || !server.Start()) {
        std::fprintf(stderr, "the loopback image server cannot listen on 127.0.0.1\n");
        return 1;
    }
    std::vector<std::string> urls;
    for (int i = 0; i < images; ++i) urls.push_back(server.Url("/img/" + std::to_string(i + 1) + ".png"));

    TempDir dir;
    RecordingFrontEnd frontEnd;  // the run's final box, recorded instead of shown
    std::snprintf(coreState.stateFolder, sizeof coreState.stateFolder, "%s", Core(dir.path()).c_str());
    coreState.items = NewItemList();
    if (OpenAppLog(coreState.stateFolder) != 1) {
        std::fprintf(stderr, "cannot open app.log in %s\n", dir.path().c_str());
        return 1;
    }
    std::vector<double> seconds;
    for (int run = 1; run <= runs; ++run) {
        const double taken = TimeOneRun(dir, urls, run);
        if (taken < 0) return 1;
        std::printf("relocation of %d images: %.3f s\n", images, taken);
        std::fflush(stdout);
        seconds.push_back(taken);
    }
    std::sort(seconds.begin(), seconds.end());
    const size_t n = seconds.size();
    std::printf("median of %d runs: %.3f s (%.3f to %.3f)\n", runs, (seconds[(n - 1) / 2] + seconds[n / 2]) / 2,
                seconds.front(), seconds.back());
    CloseAppLog();
    ClearItemRecords(coreState.items);
    FreeItemList(coreState.items);
    coreState.items = nullptr;
    std::free(coreState.packageText);
    coreState.packageText = nullptr;
    return 0;
}
