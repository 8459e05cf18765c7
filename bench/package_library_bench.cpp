// Ten packages that share addresses, relocated into one destination five
// ways, as processes, in one run of this program and interleaved (a b c d e,
// b c d e a, c d e a b), three repetitions each, from nginx on loopback,
// everything stored on /dev/shm:
//
//   make native && build/native/karvelo_bench --benchmark_filter=PackageLibrary
//
// (under a minute on two cores, making the images included; every row is
// measured whichever the filter picks, since they are interleaved; add
// --benchmark_counters_tabular=true for columns, --benchmark_format=csv for
// the counts unrounded).  To measure another build, copy karvelo_bench
// beside its `karvelo`.
//
// The packages: ten of 2,000 addresses each, 40 % of each package's
// addresses shared.  Package p (0 to 9) holds 1,200 addresses of its own
// and 800 of a shared pool of 2,000, the pool's 800 from 200 * p on
// (wrapping round), so every pooled address is in four packages: 20,000
// addresses in the packages, 14,000 distinct.  Two in every five of a
// package's items' addresses are pooled ones, so each run meets them all
// along.  Images of 2 to 20 KB; every tenth pooled image is served with the
// bytes of the pooled image four before it (the same format), so 13,800
// distinct bodies: a destination that keeps identical bytes once holds
// 13,800 files.
//
// The rows:
//   a_one_run: one `karvelo relocate P01.csv ... P10.csv DEST`;
//   b_ten_runs_library: `karvelo relocate PNN.csv DEST` for each package in
//     turn into one DEST, the later runs finding what the earlier ones stored
//     in DEST/.karvelo/library.sqlite3;
//   c_ten_runs_no_library: the same with --no-library (each package downloads
//     all its own images); a karvelo that has no --no-library keeps no library
//     either, so it runs without (the row's label says so);
//   d_curl_union: one `curl -Z --parallel-max 16` over the 14,000 distinct
//     addresses, as the image-cost benchmark runs curl;
//   e_one_run_no_library: row a with --no-library, which parts what a gains
//     from one hand-out over all packages from what the library costs.
// A row that cannot run (a karvelo that takes one package only, a failed
// run) is reported as an error naming what failed; the others still run.
// A row b whose runs left no library is labelled so, and rows c and e when
// this karvelo has no --no-library.
//
// Counters, medians over the repetitions: requests and served_MB, what nginx
// logged for the row (requests, body bytes); stored_MB and files, the
// regular files in DEST after the row (the library's folder not counted);
// s (with s_min and s_max), the row's wall time (in b and c the sum of its
// ten runs); cpu_s, its processes' CPU seconds (user + system); vs_curl,
// curl's seconds over the row's in the same repetition (above 1: faster
// than curl), and vs_c, row c's over the row's.  load_1min is the load when
// the rows began; wide_spread counts the rows' figures spread over 30 %
// (named on standard error: repeat).  The manual time is the row's.
//
// Goals: a and b send 14,000 requests (each distinct address once) against
// c's 20,000 and store 13,800 files (e 14,000: without the library identical
// bytes are not found); a's vs_curl >= 1.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "download_runs.h"
#include "repetition_figures.h"
#include "support/nginx_fixture.h"
#include "support/package_generator.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

const int REPETITIONS = 3;
const int PACKAGES = 10;
const int OWN_PER_PACKAGE = 1200;
const int POOLED_PER_PACKAGE = 800;
const int POOL = 2000;
const int POOL_STEP = POOL / PACKAGES;  // where the next package's pooled addresses begin
// Of every five addresses of a package, the first two are pooled ones.
const int POOLED_OF_FIVE = 2;
// Every tenth pooled image (number 9, 19, ...) has the bytes of the pooled
// image this many before it; four keeps the format, as the generated
// images take their formats in turn over four.
const int SAME_BYTES_EVERY = 10;
const int SAME_BYTES_BACK = 4;
const unsigned IMAGE_SEED = 35;
const size_t MIN_IMAGE_BYTES = 2 * 1024;
const size_t MAX_IMAGE_BYTES = 20 * 1024;
// Above every row's requests: no connection is closed for its count of
// requests in the middle of a run.
const int KEEPALIVE_REQUESTS = 1000000;
const char LIBRARY_FILE[] = "/.karvelo/library.sqlite3";
const char NO_LIBRARY_OPTION[] = "--no-library";
// nginx logs a request once its response is sent, which may be a moment
// after the client has read it: the log is read again until it stays.
const int LOG_SETTLE_MS = 20;

enum Row { ONE_RUN, TEN_RUNS_LIBRARY, TEN_RUNS_NO_LIBRARY, CURL_UNION, ONE_RUN_NO_LIBRARY, ROWS };
const char* const ROW_NAMES[ROWS] = {"a_one_run", "b_ten_runs_library", "c_ten_runs_no_library", "d_curl_union",
                                     "e_one_run_no_library"};

// One repetition of one row.
struct RowRun {
    double seconds = 0;
    double cpuSeconds = 0;  // the row's processes', user plus system
    size_t requests = 0;
    double servedBytes = 0;
    StoredFiles stored;
    bool libraryWritten = false;
};

struct RowResults {
    std::vector<RowRun> runs;  // one per repetition
    std::string error;         // why the row could not run, empty when it did
    std::string label;         // how it ran, when not as it should
};

struct Site {
    std::string folder = "/dev/shm/karvelo-package-library-" + std::to_string(getpid());
    std::string www = folder + "/www";
    std::string karvelo = KarveloBesideBench();
    std::unique_ptr<NginxServer> server;
    std::vector<std::string> names;                  // the images: the pool's, then each package's own
    std::vector<std::vector<std::string>> packages;  // each package's addresses, in its order
    std::vector<std::string> distinct;               // every address once
    bool noLibraryOption = false;                    // whether this karvelo takes --no-library
    size_t logLines = 0;                             // nginx's access log lines so far
    double load = 0;                                 // the load average when the rows began
    std::string error;
    std::array<RowResults, ROWS> rows;
    ~Site() {
        server.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

// The images and the packages' addresses as the head of the file says;
// false on a write failure or when the packages miss an image.
bool MakeImages(Site* site) {
    const int images = POOL + PACKAGES * OWN_PER_PACKAGE;
    site->names = GenerateImageFiles(site->www, images, IMAGE_SEED, MIN_IMAGE_BYTES, MAX_IMAGE_BYTES);
    if (site->names.size() != static_cast<size_t>(images)) return false;
    for (int pooled = SAME_BYTES_EVERY - 1; pooled < POOL; pooled += SAME_BYTES_EVERY) {
        const std::string bytes = ReadWholeFile(site->www + "/" + site->names[pooled - SAME_BYTES_BACK]);
        if (!WriteWholeFile(site->www + "/" + site->names[pooled], bytes)) return false;
    }
    const std::string origin = site->server->Url("/");
    for (const std::string& name : site->names) site->distinct.push_back(origin + name);
    site->packages.resize(PACKAGES);
    for (int p = 0; p < PACKAGES; ++p) {
        int own = POOL + p * OWN_PER_PACKAGE, pooled = 0;
        for (int i = 0; i < OWN_PER_PACKAGE + POOLED_PER_PACKAGE; ++i) {
            const bool fromPool = i % 5 < POOLED_OF_FIVE;
            const int image = fromPool ? (p * POOL_STEP + pooled++) % POOL : own++;
            site->packages[p].push_back(site->distinct[image]);
        }
    }
    // Every image is in some package, so the rows' requests and files can be
    // held against the distinct addresses.
    std::set<std::string> held;
    for (const std::vector<std::string>& package : site->packages) held.insert(package.begin(), package.end());
    return held.size() == site->distinct.size();
}

std::unique_ptr<Site> MakeSite() {
    auto s = std::make_unique<Site>();
    s->error = MissingRacePrograms(s->karvelo);
    if (s->error.empty() && !NginxAvailable()) s->error = "nginx cannot serve the images";
    if (!s->error.empty()) return s;
    std::error_code ignored;
    std::filesystem::create_directories(s->www, ignored);
    s->server = std::make_unique<NginxServer>(s->www);
    s->server->SetKeepaliveRequests(KEEPALIVE_REQUESTS);
    if (!s->server->Start()) {
        s->error = "nginx cannot serve: " + s->server->error();
    } else if (!MakeImages(s.get())) {
        s->error = "cannot write the images, or the packages miss some";
    }
    s->noLibraryOption =
        RunProcess({s->karvelo, "relocate", "--help"}).out.find(NO_LIBRARY_OPTION) != std::string::npos;
    return s;
}

// The requests nginx logged since the last call, and their body bytes.
void TakeServed(Site* site, RowRun* run) {
    std::vector<NginxAccess> log = site->server->AccessLog();
    for (size_t seen = 0; seen != log.size();) {
        seen = log.size();
        std::this_thread::sleep_for(std::chrono::milliseconds(LOG_SETTLE_MS));
        log = site->server->AccessLog();
    }
    for (size_t i = site->logLines; i < log.size(); ++i) run->servedBytes += static_cast<double>(log[i].bodyBytes);
    run->requests = log.size() - site->logLines;
    site->logLines = log.size();
}

// The first line of a program's standard error, for a row's error.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// Runs `command`, adding its wall and CPU time to *run's; false with *error (what ran, its exit code
// and first line of standard error) when it failed.
bool TimeStep(const std::vector<std::string>& command, const std::string& what, RowRun* run, std::string* error) {
    const ClientRun step = TimeProgram(command, false, "/dev/null");
    if (step.seconds < 0) {
        *error = what + " ended with " + std::to_string(step.exitCode) + ": " + FirstLine(step.err);
        return false;
    }
    run->seconds += step.seconds;
    run->cpuSeconds += step.cpuSeconds;
    return true;
}

// Writes the packages afresh (a run rewrites them) as P01.csv ... P10.csv
// under `folder`; their paths, empty on failure.
std::vector<std::string> WritePackages(const Site& site, const std::string& folder) {
    std::vector<std::string> paths;
    for (int p = 0; p < PACKAGES; ++p) {
        char name[16];
        std::snprintf(name, sizeof name, "/P%02d.csv", p + 1);
        paths.push_back(folder + name);
        if (!WriteImagePackage(paths.back(), site.packages[p])) return std::vector<std::string>();
    }
    return paths;
}

// One repetition of `row` into a fresh destination; false with *error when
// it could not run.
bool RunRow(Site* site, Row row, int repetition, RowRun* run, std::string* error) {
    const std::string tag = std::string(ROW_NAMES[row]) + "-" + std::to_string(repetition);
    const std::string destination = site->folder + "/dest-" + tag;
    const std::string inputs = site->folder + "/inputs-" + tag;
    std::error_code ignored;
    std::filesystem::create_directories(destination, ignored);
    std::filesystem::create_directories(inputs, ignored);
    bool ran = true;
    std::vector<std::string> packages;
    const bool noLibrary = (row == TEN_RUNS_NO_LIBRARY || row == ONE_RUN_NO_LIBRARY) && site->noLibraryOption;
    const std::string options = noLibrary ? std::string(NO_LIBRARY_OPTION) + " " : std::string();
    if (row == CURL_UNION) {
        const ClientInvocation curl = PrepareClientRun("curl", site->karvelo, site->distinct, site->names, destination,
                                                       inputs + "/urls", PLAIN_CURL, std::string());
        ran = TimeStep(curl.command, "curl", run, error);
        RemoveClientInput(curl, site->karvelo);
    } else if ((packages = WritePackages(*site, inputs)).empty()) {
        *error = "cannot write the packages";
        ran = false;
    } else if (row == ONE_RUN || row == ONE_RUN_NO_LIBRARY) {
        std::vector<std::string> command = {site->karvelo, "relocate"};
        if (noLibrary) command.push_back(NO_LIBRARY_OPTION);
        command.insert(command.end(), packages.begin(), packages.end());
        command.push_back(destination);
        ran = TimeStep(command, "karvelo relocate " + options + "P01.csv ... P10.csv DEST", run, error);
    } else {
        for (size_t p = 0; ran && p < packages.size(); ++p) {
            std::vector<std::string> command = {site->karvelo, "relocate", packages[p], destination};
            if (noLibrary) command.insert(command.begin() + 2, NO_LIBRARY_OPTION);
            const std::string what =
                "karvelo relocate " + options + std::filesystem::path(packages[p]).filename().string() + " DEST";
            ran = TimeStep(command, what, run, error);
        }
    }
    TakeServed(site, run);
    run->stored = FilesStoredIn(destination);
    run->libraryWritten = PathExists(destination + LIBRARY_FILE);
    for (const std::string& package : packages) RemoveKarveloBackup(site->karvelo, package);
    std::filesystem::remove_all(destination, ignored);
    std::filesystem::remove_all(inputs, ignored);
    return ran;
}

// Every row's repetitions, interleaved, each repetition starting one row
// further on (a b c d e, b c d e a, ...), so no row always follows the same
// one; a row that fails once is not run again.
void MeasureRows(Site* site) {
    site->load = LoadAverage();
    for (int repetition = 0; repetition < REPETITIONS; ++repetition) {
        for (int step = 0; step < ROWS; ++step) {
            const int row = (repetition + step) % ROWS;
            RowResults& results = site->rows[row];
            if (!results.error.empty()) continue;
            RowRun run;
            if (!RunRow(site, static_cast<Row>(row), repetition, &run, &results.error)) continue;
            results.runs.push_back(run);
        }
    }
    if (!site->noLibraryOption) {
        for (Row row : {TEN_RUNS_NO_LIBRARY, ONE_RUN_NO_LIBRARY}) {
            site->rows[row].label = "this karvelo has no --no-library: ran without it";
        }
    }
    for (const RowRun& run : site->rows[TEN_RUNS_LIBRARY].runs) {
        if (!run.libraryWritten) site->rows[TEN_RUNS_LIBRARY].label = "no library in DEST: ran as --no-library";
    }
}

// The site with every row measured: the first row asked for measures them
// all.
Site& MeasuredSite() {
    static std::unique_ptr<Site> site = [] {
        std::unique_ptr<Site> made = MakeSite();
        if (made->error.empty()) MeasureRows(made.get());
        return made;
    }();
    return *site;
}

// The row's figure `of` in each repetition over row `other`'s in the same
// one; empty when `other` did not run.
template <typename Figure>
std::vector<double> RatiosTo(const RowResults& results, const RowResults& other, Figure of) {
    std::vector<double> ratios;
    if (other.runs.size() != results.runs.size()) return ratios;
    for (size_t i = 0; i < results.runs.size(); ++i) ratios.push_back(of(other.runs[i]) / of(results.runs[i]));
    return ratios;
}

void BM_PackageLibrary(benchmark::State& state, Row row) {
    Site& site = MeasuredSite();
    state.counters["load_1min"] = site.load;
    const RowResults& results = site.rows[row];
    const std::string& error = site.error.empty() ? results.error : site.error;
    if (!error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    size_t repetition = 0;
    for (auto _ : state) state.SetIterationTime(results.runs[repetition++ % results.runs.size()].seconds);
    std::vector<double> requests, served, stored, files, seconds, cpu;
    for (const RowRun& run : results.runs) {
        requests.push_back(static_cast<double>(run.requests));
        served.push_back(run.servedBytes / 1e6);
        stored.push_back(run.stored.bytes / 1e6);
        files.push_back(static_cast<double>(run.stored.files));
        seconds.push_back(run.seconds);
        cpu.push_back(run.cpuSeconds);
    }
    int wide = 0;
    const std::string rowName = std::string("BM_PackageLibrary/") + ROW_NAMES[row];
    state.counters["requests"] = SpreadOf(requests).median;
    state.counters["served_MB"] = SpreadOf(served).median;
    state.counters["stored_MB"] = SpreadOf(stored).median;
    state.counters["files"] = SpreadOf(files).median;
    SetSpreadCounters(state, rowName, "s", seconds, &wide);
    state.counters["cpu_s"] = SpreadOf(cpu).median;
    const auto secondsOf = [](const RowRun& run) { return run.seconds; };
    const std::vector<double> overCurl = RatiosTo(results, site.rows[CURL_UNION], secondsOf);
    const std::vector<double> overC = RatiosTo(results, site.rows[TEN_RUNS_NO_LIBRARY], secondsOf);
    if (!overCurl.empty()) SetSpreadCounters(state, rowName, "vs_curl", overCurl, &wide);
    if (!overC.empty()) SetSpreadCounters(state, rowName, "vs_c", overC, &wide);
    state.counters["wide_spread"] = wide;
    if (!results.label.empty()) state.SetLabel(results.label);
}
// Each row's time is its repetitions' own, as the head of the file says.
void RepeatedRow(benchmark::internal::Benchmark* row) {
    row->UseManualTime()->Iterations(REPETITIONS)->Unit(benchmark::kSecond);
}
BENCHMARK_CAPTURE(BM_PackageLibrary, a_one_run, ONE_RUN)->Apply(RepeatedRow);
BENCHMARK_CAPTURE(BM_PackageLibrary, b_ten_runs_library, TEN_RUNS_LIBRARY)->Apply(RepeatedRow);
BENCHMARK_CAPTURE(BM_PackageLibrary, c_ten_runs_no_library, TEN_RUNS_NO_LIBRARY)->Apply(RepeatedRow);
BENCHMARK_CAPTURE(BM_PackageLibrary, d_curl_union, CURL_UNION)->Apply(RepeatedRow);
BENCHMARK_CAPTURE(BM_PackageLibrary, e_one_run_no_library, ONE_RUN_NO_LIBRARY)->Apply(RepeatedRow);

}  // namespace
