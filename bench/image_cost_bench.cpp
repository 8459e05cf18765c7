// The cost of an image: `karvelo relocate PACKAGE DEST` with its default
// settings against curl, as processes, in one run and interleaved (karvelo,
// curl, karvelo, curl, ...) on the same URL list, over images of 2 to 20 KB
// from nginx on loopback, stored on /dev/shm; and `karvelo inspect` of a
// large package.  Each row repeats its pair three times (an iteration is
// one pair; --benchmark_min_time does not apply) and reports medians with
// the smallest and largest value over the repetitions:
//
//   make native && build/native/karvelo_bench --benchmark_filter=ImageCost
//
// (about three minutes on two cores, making the images included;
// `--benchmark_filter=ImageCost_PlainHttp/images:1000/` for a quick look,
// `--benchmark_filter=ImageCost_SystemCalls` for the system calls alone).
// To measure another build, copy karvelo_bench beside its `karvelo` and run
// it from there.
//
// BM_ImageCost_PlainHttp/images:1000, 10000 and 100000: plain HTTP/1.1
// against `curl -Z --parallel-max 16`.
// BM_ImageCost_Http2Loopback/images:10000: nginx speaking TLS 1.3 only,
// HTTP/2 by ALPN, against `curl -Z --http2 --parallel-max 100`.
// BM_ImageCost_Http2Relayed/images:400 and 2000: the same behind a relay
// that holds each direction 25 ms (50 ms per round trip), with floor_s, what
// 100 streams on one connection cannot beat (the TLS handshake's round
// trip, ceil(N / 100) round trips of requests, the bytes at the relay's own
// bandwidth relay_MB_per_s), and karvelo_over_floor, karvelo's seconds over
// it.
// BM_ImageCost_SystemCalls/images:10000: one run of each under `strace -c
// -f` over plain HTTP: calls_per_image_<program>, and the top calls of each
// on standard error.  Not timed (strace slows both).
// BM_ImageCost_Inspect/rows:1000000: `karvelo inspect` of a package of a
// million items (about 650 MB): inspect_s, inspect_cpu_s, inspect_rss_MB
// and peak_over_package, the peak over the package's size (package_MB).
//
// Counters of the races, each figure of one repetition, then its median
// (plain name) and _min and _max: ratio, curl's seconds over karvelo's
// (above 1: karvelo is faster); cpu_ratio, karvelo's CPU seconds (user +
// system) over curl's; rss_ratio, karvelo's peak resident size over curl's;
// ctx_per_image_<program>, context switches (voluntary + involuntary) per
// image.  Beside them the medians <program>_s, <program>_cpu_s and
// <program>_rss_MB.  CPU and switches come from wait4 of the child; the
// peak from GNU time's wait4, since Linux counts what a child shared with
// its parent before exec in its peak (so this process, large with its
// inputs, cannot ask for that figure itself); GNU time's own few
// milliseconds and switches are in both programs' figures.  load_1min is
// the load average at the row's start; wide_spread counts the figures whose
// (max - min) / median is over 30 % (the ratios, karvelo_over_floor and
// inspect's figures), each also named on standard error: repeat such a row
// (a busy machine spreads the wall times first).  The manual time is
// karvelo's.
//
// Goals: ratio >= 1.0 in every row (no slower than curl in the same run),
// cpu_ratio <= 1.2, rss_ratio <= 2 at 100,000 images, karvelo_over_floor
// <= 1.1 at 50 ms; and inspect's peak_over_package <= 0.5.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "download_runs.h"
#include "repetition_figures.h"
#include "support/nginx_fixture.h"
#include "support/package_generator.h"
#include "support/temp_dir.h"

namespace {

const int REPETITIONS = 3;
const unsigned IMAGE_SEED = 33;
const size_t MIN_IMAGE_BYTES = 2 * 1024;
const size_t MAX_IMAGE_BYTES = 20 * 1024;
const int DELAY_EACH_WAY_MS = 25;
const int STREAMS_PER_ROUND = 100;
// Above every row's image count: no connection is closed for its count
// of requests in the middle of a run.
const int KEEPALIVE_REQUESTS = 1000000;
const char STRACE_PROGRAM[] = "/usr/bin/strace";
const size_t TOP_CALLS = 8;
// An inspected row: an item with the shortest realistic description (a
// styled paragraph around one background image), about 650 bytes in the
// package.
const size_t DESCRIPTION_BYTES = 0;
const int DISTINCT_DESCRIPTIONS = 1000;

const std::vector<std::string> HTTP2_CURL = {"-Z", "--http2", "--parallel-max", std::to_string(STREAMS_PER_ROUND)};

struct Site {
    std::string folder = "/dev/shm/karvelo-image-cost-" + std::to_string(getpid());
    std::string www = folder + "/www";
    std::vector<std::string> names;   // the images made so far
    std::vector<double> bytesBefore;  // [n]: the bytes of the first n images
    ImageServers servers;
    std::string karvelo = KarveloBesideBench();
    std::string error;
    int runs = 0;
    ~Site() {
        servers.plain.reset();
        servers.tls.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

std::unique_ptr<Site> MakeSite() {
    auto s = std::make_unique<Site>();
    std::error_code ignored;
    std::filesystem::create_directories(s->www, ignored);
    s->error = MissingRacePrograms(s->karvelo);
    if (s->error.empty()) s->error = StartImageServers(s->www, DELAY_EACH_WAY_MS, &s->servers, KEEPALIVE_REQUESTS);
    return s;
}

Site& TheSite() {
    static std::unique_ptr<Site> site = MakeSite();
    return *site;
}

// Makes the first `count` images (the same ones on every call: a larger
// row writes the smaller rows' images again, then more); false on failure.
bool HaveImages(Site* site, size_t count) {
    if (site->names.size() >= count) return true;
    site->names = GenerateImageFiles(site->www, static_cast<int>(count), IMAGE_SEED, MIN_IMAGE_BYTES, MAX_IMAGE_BYTES);
    site->bytesBefore.assign(1, 0);
    std::error_code ignored;
    for (const std::string& name : site->names) {
        const double bytes = static_cast<double>(std::filesystem::file_size(site->www + "/" + name, ignored));
        site->bytesBefore.push_back(site->bytesBefore.back() + bytes);
    }
    return site->names.size() == count;
}

// The site, ready for `count` images, or the state skipped.
Site* SiteFor(benchmark::State& state, size_t count) {
    Site& site = TheSite();
    if (site.error.empty() && !HaveImages(&site, count)) site.error = "cannot write the images";
    if (!site.error.empty()) {
        state.SkipWithError(site.error.c_str());
        return nullptr;
    }
    return &site;
}

// One program's run over the first `count` images from `origin`.
ClientRun RunProgram(Site* site, const std::string& program, size_t count, const std::string& origin,
                     const std::vector<std::string>& curlOptions, const std::vector<std::string>& wrapper = {}) {
    std::vector<std::string> urls, names(site->names.begin(), site->names.begin() + static_cast<long>(count));
    for (const std::string& name : names) urls.push_back(origin + name);
    const std::string tag = std::to_string(++site->runs);
    const std::string destination = site->folder + "/" + program + "-" + tag;
    const bool secure = origin.compare(0, 8, "https://") == 0;
    ClientInvocation invocation =
        PrepareClientRun(program, site->karvelo, urls, names, destination, site->folder + "/input-" + tag, curlOptions,
                         secure ? site->servers.authority : std::string());
    invocation.command.insert(invocation.command.begin(), wrapper.begin(), wrapper.end());
    const ClientRun run = TimeClientRun(invocation.command, destination, count, wrapper.empty());
    RemoveClientInput(invocation, site->karvelo);
    return run;
}

// Each repetition's runs of karvelo and curl, in that order.
using Race = std::vector<std::pair<ClientRun, ClientRun>>;

// Runs karvelo then curl once per iteration over the first `count` images
// from `origin`, karvelo's time the iteration's; false (the state skipped)
// when either failed.
bool RunRace(benchmark::State& state, Site* site, size_t count, const std::string& origin,
             const std::vector<std::string>& curlOptions, Race* race) {
    state.counters["load_1min"] = LoadAverage();
    for (auto _ : state) {
        const ClientRun karvelo = RunProgram(site, "karvelo", count, origin, {});
        const ClientRun curl = karvelo.seconds < 0 ? ClientRun() : RunProgram(site, "curl", count, origin, curlOptions);
        if (karvelo.seconds < 0 || curl.seconds < 0) {
            state.SkipWithError(karvelo.seconds < 0 ? "karvelo failed" : "curl failed");
            return false;
        }
        race->emplace_back(karvelo, curl);
        state.SetIterationTime(karvelo.seconds);
    }
    return true;
}

// The race's counters (see the head of the file); the number of figures
// that spread too widely is wide_spread.
void SetRaceCounters(benchmark::State& state, const std::string& row, const Race& race, size_t count, int* wide) {
    std::map<std::string, std::vector<double>> figures;
    const double images = static_cast<double>(count);
    for (const auto& pair : race) {
        const ClientRun& k = pair.first;
        const ClientRun& c = pair.second;
        figures["ratio"].push_back(c.seconds / k.seconds);
        figures["cpu_ratio"].push_back(k.cpuSeconds / c.cpuSeconds);
        figures["rss_ratio"].push_back(static_cast<double>(k.rssKb) / static_cast<double>(c.rssKb));
        figures["ctx_per_image_karvelo"].push_back(static_cast<double>(k.contextSwitches) / images);
        figures["ctx_per_image_curl"].push_back(static_cast<double>(c.contextSwitches) / images);
        figures["karvelo_s"].push_back(k.seconds);
        figures["curl_s"].push_back(c.seconds);
        figures["karvelo_cpu_s"].push_back(k.cpuSeconds);
        figures["curl_cpu_s"].push_back(c.cpuSeconds);
        figures["karvelo_rss_MB"].push_back(static_cast<double>(k.rssKb) / 1024);
        figures["curl_rss_MB"].push_back(static_cast<double>(c.rssKb) / 1024);
    }
    for (const char* name : {"ratio", "cpu_ratio", "rss_ratio"})
        SetSpreadCounters(state, row, name, figures[name], wide);
    // A few dozen switches in all may double between runs: they flag no row.
    for (const char* name : {"ctx_per_image_karvelo", "ctx_per_image_curl"}) {
        SetSpreadCounters(state, row, name, figures[name], nullptr);
    }
    for (const char* name : {"karvelo_s", "curl_s", "karvelo_cpu_s", "curl_cpu_s", "karvelo_rss_MB", "curl_rss_MB"}) {
        state.counters[name] = SpreadOf(figures[name]).median;
    }
    state.counters["wide_spread"] = *wide;
}

// The row as the benchmark's output names it: `prefix` and the argument.
std::string RowName(const benchmark::State& state, const char* prefix) {
    return prefix + std::to_string(state.range(0));
}

std::string Origin(bool secure, int port) {
    return (secure ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port) + "/";
}

// How a race reaches nginx: plainly, over TLS, or over TLS through the relay.
enum Route { PLAIN_ROUTE, TLS_ROUTE, RELAYED_ROUTE };

// Races karvelo against curl over the first state.range(0) images along
// `route` and sets the race's counters, through the relay
// karvelo_over_floor and the floor's too; `row` names it on standard error.
void RaceAlong(benchmark::State& state, const char* row, Route route) {
    const size_t count = static_cast<size_t>(state.range(0));
    Site* site = SiteFor(state, count);
    if (site == nullptr) return;
    const ImageServers& servers = site->servers;
    const int port = route == PLAIN_ROUTE ? servers.plain->port()
                     : route == TLS_ROUTE ? servers.tls->port()
                                          : servers.relayPort;
    Race race;
    if (!RunRace(state, site, count, Origin(route != PLAIN_ROUTE, port), route == PLAIN_ROUTE ? PLAIN_CURL : HTTP2_CURL,
                 &race)) {
        return;
    }
    int wide = 0;
    const std::string rowName = RowName(state, row);
    if (route == RELAYED_ROUTE) {
        const double floor = StreamsFloorSeconds(count, site->bytesBefore[count], STREAMS_PER_ROUND, DELAY_EACH_WAY_MS,
                                                 servers.relayBytesPerSecond);
        std::vector<double> overFloor;
        for (const auto& pair : race) overFloor.push_back(pair.first.seconds / floor);
        SetSpreadCounters(state, rowName, "karvelo_over_floor", overFloor, &wide);
        state.counters["floor_s"] = floor;
        state.counters["relay_MB_per_s"] = servers.relayBytesPerSecond / 1e6;
    }
    SetRaceCounters(state, rowName, race, count, &wide);
}

void BM_ImageCost_PlainHttp(benchmark::State& state) {
    RaceAlong(state, "BM_ImageCost_PlainHttp/images:", PLAIN_ROUTE);
}
BENCHMARK(BM_ImageCost_PlainHttp)
    ->ArgName("images")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->UseManualTime()
    ->Iterations(REPETITIONS)
    ->Unit(benchmark::kSecond);

void BM_ImageCost_Http2Loopback(benchmark::State& state) {
    RaceAlong(state, "BM_ImageCost_Http2Loopback/images:", TLS_ROUTE);
}
BENCHMARK(BM_ImageCost_Http2Loopback)
    ->ArgName("images")
    ->Arg(10000)
    ->UseManualTime()
    ->Iterations(REPETITIONS)
    ->Unit(benchmark::kSecond);

void BM_ImageCost_Http2Relayed(benchmark::State& state) {
    RaceAlong(state, "BM_ImageCost_Http2Relayed/images:", RELAYED_ROUTE);
}
BENCHMARK(BM_ImageCost_Http2Relayed)
    ->ArgName("images")
    ->Arg(400)
    ->Arg(2000)
    ->UseManualTime()
    ->Iterations(REPETITIONS)
    ->Unit(benchmark::kSecond);

// The calls of one `strace -c -f` summary by name, most first.
std::vector<std::pair<std::string, long>> SummarizedCalls(const std::string& summary) {
    std::vector<std::pair<std::string, long>> calls;
    std::istringstream lines(summary);
    for (std::string line; std::getline(lines, line);) {
        // "% time seconds usecs/call calls [errors] syscall"; the total line
        // leaves usecs/call out, and is not a call.
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;) fields.push_back(word);
        if (fields.size() < 5 || fields.back() == "total" || fields.back() == "syscall") continue;
        char* end = nullptr;
        const long count = std::strtol(fields[3].c_str(), &end, 10);
        if (end != fields[3].c_str() && *end == '\0') calls.emplace_back(fields.back(), count);
    }
    std::sort(calls.begin(), calls.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    return calls;
}

void BM_ImageCost_SystemCalls(benchmark::State& state) {
    const size_t count = static_cast<size_t>(state.range(0));
    Site* site = SiteFor(state, count);
    if (site == nullptr) return;
    if (access(STRACE_PROGRAM, X_OK) != 0) {
        state.SkipWithError("strace is missing");
        return;
    }
    const std::string origin = Origin(false, site->servers.plain->port());
    const double images = static_cast<double>(count);
    for (auto _ : state) {
        for (const std::string program : {"karvelo", "curl"}) {
            const std::string summary = site->folder + "/strace-" + program + ".txt";
            const ClientRun run =
                RunProgram(site, program, count, origin, PLAIN_CURL, {STRACE_PROGRAM, "-c", "-f", "-o", summary});
            const std::vector<std::pair<std::string, long>> calls = SummarizedCalls(ReadWholeFile(summary));
            if (run.seconds < 0 || calls.empty()) {
                state.SkipWithError((program + " failed under strace").c_str());
                return;
            }
            long total = 0;
            for (const auto& call : calls) total += call.second;
            std::string top;
            for (size_t i = 0; i < calls.size() && i < TOP_CALLS; ++i) {
                char entry[96];
                std::snprintf(entry, sizeof entry, "%s%s %.2f", i ? ", " : "", calls[i].first.c_str(),
                              static_cast<double>(calls[i].second) / images);
                top += entry;
            }
            std::fprintf(stderr, "%s: %s makes %.2f system calls per image: %s\n",
                         RowName(state, "BM_ImageCost_SystemCalls/images:").c_str(), program.c_str(),
                         static_cast<double>(total) / images, top.c_str());
            state.counters["calls_per_image_" + program] = static_cast<double>(total) / images;
            if (program == "karvelo") state.SetIterationTime(run.seconds);
        }
    }
}
BENCHMARK(BM_ImageCost_SystemCalls)
    ->ArgName("images")
    ->Arg(10000)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// A package of `rows` items, each with a short description around one
// image; its size in bytes, 0 on failure.
size_t WriteLargePackage(const std::string& path, size_t rows) {
    std::vector<std::string> descriptions;
    for (int i = 0; i < DISTINCT_DESCRIPTIONS; ++i) {
        descriptions.push_back(
            RealisticDescription(1, "img.alicdn.com", DESCRIPTION_BYTES, static_cast<unsigned>(i) + 1));
    }
    PackageLayout layout;
    layout.items.reserve(rows);
    for (size_t i = 0; i < rows; ++i) {
        layout.items.push_back(MakeItem("item " + std::to_string(i), descriptions[i % descriptions.size()]));
    }
    const std::string bytes = BuildPackageBytes(layout);
    return WriteWholeFile(path, bytes) ? bytes.size() : 0;
}

void BM_ImageCost_Inspect(benchmark::State& state) {
    Site& site = TheSite();
    if (!site.error.empty()) {
        state.SkipWithError(site.error.c_str());
        return;
    }
    const std::string package = site.folder + "/large.csv";
    const size_t packageBytes = WriteLargePackage(package, static_cast<size_t>(state.range(0)));
    if (packageBytes == 0) {
        state.SkipWithError("cannot write the package");
        return;
    }
    state.counters["load_1min"] = LoadAverage();
    std::vector<double> seconds, cpu, rssMb, overPackage;
    for (auto _ : state) {
        const ClientRun run = TimeProgram({site.karvelo, "inspect", package}, true, "/dev/null");
        if (run.seconds < 0) {
            state.SkipWithError("karvelo inspect failed");
            break;
        }
        state.SetIterationTime(run.seconds);
        seconds.push_back(run.seconds);
        cpu.push_back(run.cpuSeconds);
        rssMb.push_back(static_cast<double>(run.rssKb) / 1024);
        overPackage.push_back(static_cast<double>(run.rssKb) * 1024 / static_cast<double>(packageBytes));
    }
    std::error_code ignored;
    std::filesystem::remove(package, ignored);
    if (seconds.size() != static_cast<size_t>(state.iterations())) return;
    int wide = 0;
    const std::string row = RowName(state, "BM_ImageCost_Inspect/rows:");
    SetSpreadCounters(state, row, "inspect_s", seconds, &wide);
    SetSpreadCounters(state, row, "peak_over_package", overPackage, &wide);
    state.counters["inspect_cpu_s"] = SpreadOf(cpu).median;
    state.counters["inspect_rss_MB"] = SpreadOf(rssMb).median;
    state.counters["package_MB"] = static_cast<double>(packageBytes) / 1e6;
    state.counters["wide_spread"] = wide;
}
BENCHMARK(BM_ImageCost_Inspect)
    ->ArgName("rows")
    ->Arg(1000000)
    ->UseManualTime()
    ->Iterations(REPETITIONS)
    ->Unit(benchmark::kSecond);

}  // namespace
