// The HTTP client against a real server: 2,000 images of 5 to 200 KB from
// nginx on loopback, fetched one after the other over keep-alive.
//
// Each benchmark measures its references in the same iterations, so the
// ratios compare like with like on a machine that may be busy:
//   - DownloadImage vs `wget -q -i LIST -P DIR` (images per second; goal:
//     ratio_vs_wget >= 1) and vs `cat` of the served files into one file
//     (bytes per second; goal: ratio_vs_cat >= 0.5);
//   - a whole relocation run over a package with the same 2,000 image URLs
//     vs the same wget (goal: ratio_vs_wget >= 0.67, i.e. within 1.5x).
// The body is streamed, never held whole: rss_growth_kb (the growth of the
// peak resident size over the timed work) stays near zero.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "http/connection.h"
#include "http/download.h"
#include "http/http_client.h"
#include "http/transfer.h"
#include "package/item_record.h"
#include "package/reader.h"
#include "platform/fs.h"
#include "platform/net.h"
#include "relocate/run.h"
#include "relocate/run_view.h"
#include "support/nginx_fixture.h"
#include "support/package_generator.h"
#include "support/process.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"
#include "relocate/core_state.h"
#include "util/app_log.h"
#include "base/vector.h"

namespace {

const char WGET_PROGRAM[] = "/usr/bin/wget";
const char CAT_PROGRAM[] = "/bin/cat";
const int ITEM_COUNT = 200;
const int DESKTOP_IMAGES_PER_ITEM = 8;
const int MOBILE_IMAGES_PER_ITEM = 2;
const int IMAGE_COUNT = ITEM_COUNT * (DESKTOP_IMAGES_PER_ITEM + MOBILE_IMAGES_PER_ITEM);
const size_t MIN_IMAGE_BYTES = 5 * 1024;
const size_t MAX_IMAGE_BYTES = 200 * 1024;
const size_t DESCRIPTION_BYTES = 4000;
const int ITERATIONS = 3;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

long PeakRssKb() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// nginx serving 2,000 generated images under image-space style paths, the
// package that refers to them, and the list wget reads.
struct Site {
    TempDir folder;
    std::unique_ptr<NginxServer> server;
    std::vector<std::string> urls;         // plain "http://" form, in package order
    std::vector<std::string> servedFiles;  // the files nginx serves, same order
    std::vector<size_t> sizes;
    size_t totalBytes = 0;
    std::string listPath;
    std::string packageBytes;
    std::string error;  // why the site could not be set up
    // Where the downloads go.  In memory when the machine offers it: on a
    // disk file system the cost of creating 2,000 files depends on what was
    // deleted there lately (ext4 without a journal scans past every inode
    // freed in the last minutes for each new one), which would be measured
    // instead of the client, for us and wget alike.
    std::string output;
    int outputs = 0;

    ~Site() {
        std::error_code ignored;
        if (!output.empty()) std::filesystem::remove_all(output, ignored);
    }
    std::string Root() const { return folder.File("www"); }
    // A new path for one iteration's files.
    std::string Fresh(const std::string& name) { return output + "/" + name + "-" + std::to_string(++outputs); }
};

void Remove(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string PlainHttp(const std::string& url) {
    return url.rfind("https://", 0) == 0 ? "http://" + url.substr(8) : url;
}

bool Publish(Site* site, const std::string& url) {
    static const char* const EXTENSIONS[] = {"jpg", "png", "gif", "bmp"};
    const size_t index = site->urls.size();
    std::string path = url.substr(url.find('/', std::string("https://").size()));
    std::filesystem::path file = site->Root() + path;
    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);
    size_t size = MIN_IMAGE_BYTES + (index * 2654435761u) % (MAX_IMAGE_BYTES - MIN_IMAGE_BYTES + 1);
    if (!WriteWholeFile(file.string(),
                        GeneratedImageBytes(EXTENSIONS[index % 4], size, static_cast<unsigned>(index)))) {
        return false;
    }
    site->urls.push_back(PlainHttp(url));
    site->servedFiles.push_back(file.string());
    site->sizes.push_back(size);
    site->totalBytes += size;
    return true;
}

Site* MakeSite() {
    Site* site = new Site;
    if (!NginxAvailable()) {
        site->error = std::string(NGINX_PROGRAM) + " is missing (tools/install-deps.sh installs nginx-light)";
        return site;
    }
    if (access(WGET_PROGRAM, X_OK) != 0) {
        site->error = std::string(WGET_PROGRAM) + " is missing (tools/install-deps.sh installs wget)";
        return site;
    }
    std::filesystem::create_directories(site->Root());
    std::error_code error;
    site->output = "/dev/shm/karvelo-bench-" + std::to_string(getpid());
    if (!std::filesystem::create_directory(site->output, error)) site->output = site->folder.File("output");
    std::filesystem::create_directories(site->output, error);
    site->server = std::make_unique<NginxServer>(site->Root());
    if (!site->server->Start()) {
        site->error = site->server->error();
        return site;
    }
    const std::string host = "127.0.0.1:" + std::to_string(site->server->port());
    PackageLayout layout;
    for (int i = 0; i < ITEM_COUNT; ++i) {
        GeneratedItem item;
        item.title = "item " + std::to_string(i + 1);
        std::vector<std::string> desktop;
        item.description =
            RealisticDescription(DESKTOP_IMAGES_PER_ITEM, host, DESCRIPTION_BYTES, static_cast<unsigned>(i), &desktop);
        item.mobileDetail = "<wapDesc>";
        std::vector<std::string> mobile;
        for (int j = 0; j < MOBILE_IMAGES_PER_ITEM; ++j) {
            mobile.push_back(GeneratedImageUrl(host, static_cast<unsigned>(i) + 5000000u, j));
            item.mobileDetail += "<img>" + mobile.back() + "</img>";
        }
        item.mobileDetail += "</wapDesc>";
        for (const std::string& url : desktop) {
            if (!Publish(site, url)) site->error = "cannot write the images";
        }
        for (const std::string& url : mobile) {
            if (!Publish(site, url)) site->error = "cannot write the images";
        }
        layout.items.push_back(item);
    }
    site->packageBytes = BuildPackageBytes(layout);
    std::string list;
    for (const std::string& url : site->urls) list += url + "\n";
    site->listPath = site->folder.File("urls.txt");
    if (!WriteWholeFile(site->listPath, list)) site->error = "cannot write the URL list";
    return site;
}

// Set up once, for every benchmark of this file; the static's destructor
// stops nginx and removes the files at the process's end.
Site& TheSite() {
    static std::unique_ptr<Site> site(MakeSite());
    return *site;
}

// The benchmark's one client, made on first use: its keep-alive pool
// serves every iteration, as one run's would.
HttpClient* StartClientOnce(const Site& site) {
    static HttpClient* client = nullptr;
    if (client != nullptr) return client;
    StartNetwork();
    OpenAppLog(site.folder.path().c_str());
    const HttpClientSettings settings = {};
    client = NewHttpClient(&settings);
    return client;
}

// `wget -q -i LIST -P DIR` into a fresh folder; its wall time in seconds,
// or a negative value when it failed.
double TimeWget(Site* site) {
    const std::string folder = site->Fresh("wget");
    Clock::time_point start = Clock::now();
    ProcessResult wget = RunProcess({WGET_PROGRAM, "-q", "-i", site->listPath, "-P", folder});
    double seconds = SecondsSince(start);
    size_t fetched = 0;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) fetched += entry.is_regular_file();
    Remove(folder);
    return wget.exitCode == 0 && fetched == site->urls.size() ? seconds : -1.0;
}

void BM_KeepAliveDownloadVsWgetAndCat(benchmark::State& state) {
    Site& site = TheSite();
    if (!site.error.empty()) {
        state.SkipWithError(site.error.c_str());
        return;
    }
    HttpClient* client = StartClientOnce(site);
    std::vector<std::string> catArguments = {CAT_PROGRAM};
    catArguments.insert(catArguments.end(), site.servedFiles.begin(), site.servedFiles.end());

    double oursSeconds = 0, wgetSeconds = 0, catSeconds = 0;
    long rssBefore = PeakRssKb();
    for (auto _ : state) {
        const std::string ours = site.Fresh("ours");
        std::filesystem::create_directories(ours);
        char errorText[HTTP_ERROR_TEXT_BYTES];
        const ErrorText error = {errorText, sizeof errorText};
        char path[512];
        Clock::time_point start = Clock::now();
        for (size_t i = 0; i < site.urls.size(); ++i) {
            std::snprintf(path, sizeof path, "%s/%zu.img", ours.c_str(), i);
            errorText[0] = '\0';
            FILE* made = CreateNewFileByPath(path, nullptr);  // as the run makes each file
            if (made != nullptr) CloseFile(made);
            Transfer transfer;
            InitTransfer(&transfer, client, error, nullptr);
            if (DownloadImage(&transfer, site.urls[i].c_str(), path, 1, 0) != DOWNLOAD_STORED) {
                state.SkipWithError(("DownloadImage failed: " + site.urls[i] + ": " + errorText).c_str());
                return;
            }
        }
        double seconds = SecondsSince(start);
        state.SetIterationTime(seconds);
        oursSeconds += seconds;
        for (size_t i = 0; i < site.urls.size(); ++i) {
            std::snprintf(path, sizeof path, "%s/%zu.img", ours.c_str(), i);
            struct stat status;
            if (stat(path, &status) != 0 || static_cast<size_t>(status.st_size) != site.sizes[i]) {
                state.SkipWithError("a downloaded file differs in size from the served one");
                return;
            }
        }

        Remove(ours);

        double wget = TimeWget(&site);
        if (wget < 0) {
            state.SkipWithError("wget failed");
            return;
        }
        wgetSeconds += wget;

        start = Clock::now();
        const std::string catOutput = site.Fresh("cat");
        ProcessResult cat = RunProcess(catArguments, catOutput);
        catSeconds += SecondsSince(start);
        Remove(catOutput);
        if (cat.exitCode != 0) {
            state.SkipWithError("cat failed");
            return;
        }
    }
    const double images = static_cast<double>(site.urls.size()) * static_cast<double>(state.iterations());
    const double bytes = static_cast<double>(site.totalBytes) * static_cast<double>(state.iterations());
    state.counters["images_per_s"] = images / oursSeconds;
    state.counters["MB_per_s"] = bytes / oursSeconds / 1e6;
    state.counters["wget_images_per_s"] = images / wgetSeconds;
    state.counters["cat_MB_per_s"] = bytes / catSeconds / 1e6;
    state.counters["ratio_vs_wget"] = wgetSeconds / oursSeconds;
    state.counters["ratio_vs_cat"] = catSeconds / oursSeconds;
    state.counters["max_rss_kb"] = static_cast<double>(PeakRssKb());
    state.counters["rss_growth_kb"] = static_cast<double>(PeakRssKb() - rssBefore);
    state.counters["total_MB"] = static_cast<double>(site.totalBytes) / 1e6;
}
BENCHMARK(BM_KeepAliveDownloadVsWgetAndCat)->UseManualTime()->Iterations(ITERATIONS)->Unit(benchmark::kMillisecond);

// A silent view: the run only needs its options.
struct BenchView {
    RunView view = {};
    RunOptions options = {};
};

void BM_RelocationVsWget(benchmark::State& state) {
    Site& site = TheSite();
    if (!site.error.empty()) {
        state.SkipWithError(site.error.c_str());
        return;
    }
    StartClientOnce(site);
    RecordingFrontEnd frontEnd;
    std::snprintf(coreState.stateFolder, sizeof coreState.stateFolder, "%s", site.folder.path().c_str());
    const std::string packagePath = site.folder.File("shop.csv");
    BenchView view;
    view.view.context = &view;
    view.view.readOptions = [](void* context, RunOptions* options) {
        *options = static_cast<BenchView*>(context)->options;
    };
    view.options.relocateImageSpace = 1;
    view.options.relocateOutsideAlbums = 1;
    coreState.items = NewItemList();

    double runSeconds = 0, wgetSeconds = 0;
    long rssBefore = 0;
    for (auto _ : state) {
        const std::string destination = site.Fresh("pics");
        std::filesystem::create_directories(destination);
        std::snprintf(view.options.destination, sizeof view.options.destination, "%s", destination.c_str());
        ClearItemRecords(coreState.items);
        std::free(coreState.packageText);
        coreState.packageText = nullptr;
        std::snprintf(coreState.packagePath, sizeof coreState.packagePath, "%s", packagePath.c_str());
        if (!WriteWholeFile(packagePath, site.packageBytes) ||
            ReadPackage(coreState.packagePath, coreState.items, &coreState.packageText) != PACKAGE_READ_OK) {
            state.SkipWithError("cannot load the generated package");
            break;
        }
        frontEnd.messages.clear();
        if (rssBefore == 0) rssBefore = PeakRssKb();

        Clock::time_point start = Clock::now();
        const RunOutcome outcome = RunRelocation(&view.view);
        PresentRunOutcome(&view.view, outcome);
        coreState.running = 0;
        double seconds = SecondsSince(start);
        state.SetIterationTime(seconds);
        runSeconds += seconds;
        if (outcome.relocatedCount != IMAGE_COUNT || outcome.failureCount != 0) {
            state.SkipWithError(("the run relocated " + std::to_string(outcome.relocatedCount) + " images, " +
                                 std::to_string(outcome.failureCount) + " failed")
                                    .c_str());
            break;
        }

        Remove(destination);

        double wget = TimeWget(&site);
        if (wget < 0) {
            state.SkipWithError("wget failed");
            break;
        }
        wgetSeconds += wget;
    }
    ClearItemRecords(coreState.items);
    FreeItemList(coreState.items);
    coreState.items = nullptr;
    if (runSeconds <= 0 || wgetSeconds <= 0) return;
    const double images = static_cast<double>(IMAGE_COUNT) * static_cast<double>(state.iterations());
    state.counters["images_per_s"] = images / runSeconds;
    state.counters["wget_images_per_s"] = images / wgetSeconds;
    state.counters["ratio_vs_wget"] = wgetSeconds / runSeconds;
    state.counters["max_rss_kb"] = static_cast<double>(PeakRssKb());
    state.counters["rss_growth_kb"] = static_cast<double>(PeakRssKb() - rssBefore);
}
BENCHMARK(BM_RelocationVsWget)->UseManualTime()->Iterations(ITERATIONS)->Unit(benchmark::kMillisecond);

}  // namespace
