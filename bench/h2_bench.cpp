// HTTP/2: `karvelo relocate PACKAGE DEST` with its default settings against
// curl and aria2c, as processes, over images of 5 to 200 KB from nginx.  One
// run gives every figure, each the median of three repetitions (the JSON
// report of --benchmark_out=FILE keeps each repetition):
//
//   make native && build/native/karvelo_bench --benchmark_filter=H2Bench
//
// BM_H2Bench_RelayedTls/images:2000 and /images:400: nginx speaking TLS 1.3
// only, HTTP/2 or HTTP/1.1 by ALPN, behind a relay that holds each direction
// 25 ms (50 ms per round trip; the kernel here has no netem).  The peers:
// `curl -Z --http2 --parallel-max 100` (every URL as a stream on one
// connection) and `aria2c -j16`; ratio_vs_curl and ratio_vs_aria2c are their
// seconds over karvelo's (above 1, karvelo is faster).  floor_s is what 100
// streams on one connection cannot beat: the TLS handshake's round trip,
// ceil(N / 100) round trips of requests, and the images' bytes at the
// relay's own bandwidth (relay_MB_per_s, the best of three probes at
// set-up through a relay of its own); karvelo_over_floor is karvelo's
// seconds over it.  The relay cannot delay TCP's handshake (the kernel
// completes it), so that costs nothing here.
// BM_H2Bench_PlainHttp1/images:2000: the same images straight from nginx
// over plain HTTP/1.1 with no added latency, against `curl -Z
// --parallel-max 16`: ratio_vs_curl.
// Both: rss_karvelo_kb, karvelo's peak resident size (wait4 in GNU time);
// connections_<program>, the connections nginx served that program on; and
// for TLS karvelo_http2_share, the share of karvelo's requests nginx served
// over HTTP/2.  The manual time is karvelo's.  Output goes to /dev/shm.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "download_runs.h"
#include "support/nginx_fixture.h"
#include "support/temp_dir.h"

namespace {

const size_t IMAGE_COUNT = 2000;  // a smaller run takes the first ones
const int DELAY_EACH_WAY_MS = 25;
const int STREAMS_PER_ROUND = 100;

struct Site {
    TempDir folder;
    std::vector<std::string> names;
    std::vector<double> bytesBefore;  // [n]: the bytes of the first n images
    ImageServers servers;
    std::string karvelo = KarveloBesideBench();
    std::string output = "/dev/shm/karvelo-h2-bench-" + std::to_string(getpid());
    std::string error;
    int runs = 0;
    ~Site() {
        std::error_code ignored;
        std::filesystem::remove_all(output, ignored);
    }
};

std::unique_ptr<Site> MakeSite() {
    auto s = std::make_unique<Site>();
    const std::string www = s->folder.File("www");
    std::error_code ignored;
    std::filesystem::create_directories(www, ignored);
    s->names = GenerateImageFiles(www, static_cast<int>(IMAGE_COUNT), 11);
    s->bytesBefore.push_back(0);
    for (const std::string& name : s->names) {
        const double bytes = static_cast<double>(std::filesystem::file_size(www + "/" + name, ignored));
        s->bytesBefore.push_back(s->bytesBefore.back() + bytes);
    }
    if (s->names.size() != IMAGE_COUNT) {
        s->error = "nginx cannot serve the images";
    } else if (access(s->karvelo.c_str(), X_OK) != 0) {
        s->error = s->karvelo + " is missing";
    } else if (access(CURL_PROGRAM, X_OK) != 0 || access(ARIA2_PROGRAM, X_OK) != 0) {
        s->error = "the peers are missing: install curl and aria2";
    } else {
        s->error = StartImageServers(www, DELAY_EACH_WAY_MS, &s->servers);
    }
    return s;
}

Site& TheSite() {
    static std::unique_ptr<Site> site = MakeSite();
    return *site;
}

// One program's run over the first `count` images, and what nginx saw of it.
struct Outcome {
    ClientRun run;
    double connections = 0;
    double http2Requests = 0;
};

// `program` is "karvelo", "curl" (with `curlOptions`) or "aria2c", fetching
// from `server` at `port` (the server's own or the relay's).
Outcome RunProgram(Site* site, const std::string& program, size_t count, const NginxServer& server, int port,
                   const std::vector<std::string>& curlOptions) {
    const bool secure = &server == site->servers.tls.get();
    const std::string origin = (secure ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port) + "/";
    std::vector<std::string> urls, names(site->names.begin(), site->names.begin() + static_cast<long>(count));
    for (const std::string& name : names) urls.push_back(origin + name);
    const std::string tag = std::to_string(getpid()) + "-" + std::to_string(++site->runs);
    const std::string destination = site->output + "/" + program + tag;
    std::error_code ignored;
    std::filesystem::create_directories(site->output, ignored);
    const ClientInvocation invocation =
        PrepareClientRun(program, site->karvelo, urls, names, destination, site->output + "/h2-bench-" + tag,
                         curlOptions, secure ? site->servers.authority : std::string());

    const size_t logged = server.AccessLog().size();
    Outcome outcome;
    outcome.run = TimeClientRun(invocation.command, destination, count, program == "karvelo");
    RemoveClientInput(invocation, site->karvelo);
    // nginx logs a request once it has sent the response, maybe just after
    // the client has read it.
    server.WaitForAccessLines(logged + count);
    std::vector<NginxAccess> log = server.AccessLog();
    std::set<long> connections;
    for (size_t i = logged; i < log.size(); ++i) {
        connections.insert(log[i].connection);
        const std::string& request = log[i].request;
        outcome.http2Requests += request.size() >= 8 && request.compare(request.size() - 8, 8, "HTTP/2.0") == 0;
    }
    outcome.connections = static_cast<double>(connections.size());
    return outcome;
}

// Runs karvelo and then each peer once per iteration, karvelo's time the
// iteration's, and sets the counters they share; false when a program failed.
bool RaceKarvelo(benchmark::State& state, const NginxServer& server, int port, const std::vector<std::string>& peers,
                 const std::vector<std::string>& curlOptions, std::map<std::string, Outcome>* outcomes) {
    std::vector<std::string> programs = {"karvelo"};
    programs.insert(programs.end(), peers.begin(), peers.end());
    const size_t count = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        for (const std::string& program : programs) {
            Outcome outcome = RunProgram(&TheSite(), program, count, server, port, curlOptions);
            if (outcome.run.seconds < 0) {
                state.SkipWithError((program + " failed").c_str());
                return false;
            }
            (*outcomes)[program] = outcome;
        }
        state.SetIterationTime((*outcomes)["karvelo"].run.seconds);
    }
    const Outcome& karvelo = (*outcomes)["karvelo"];
    state.counters["rss_karvelo_kb"] = static_cast<double>(karvelo.run.rssKb);
    for (const std::string& program : programs) {
        const Outcome& outcome = (*outcomes)[program];
        state.counters[program + "_s"] = outcome.run.seconds;
        state.counters["connections_" + program] = outcome.connections;
        if (program != "karvelo") state.counters["ratio_vs_" + program] = outcome.run.seconds / karvelo.run.seconds;
    }
    return true;
}

void BM_H2Bench_RelayedTls(benchmark::State& state) {
    Site& site = TheSite();
    if (!site.error.empty()) {
        state.SkipWithError(site.error.c_str());
        return;
    }
    std::map<std::string, Outcome> outcomes;
    if (!RaceKarvelo(state, *site.servers.tls, site.servers.relayPort, {"curl", "aria2c"},
                     {"-Z", "--http2", "--parallel-max", std::to_string(STREAMS_PER_ROUND)}, &outcomes)) {
        return;
    }
    const size_t count = static_cast<size_t>(state.range(0));
    const double floor = StreamsFloorSeconds(count, site.bytesBefore[count], STREAMS_PER_ROUND, DELAY_EACH_WAY_MS,
                                             site.servers.relayBytesPerSecond);
    const Outcome& karvelo = outcomes["karvelo"];
    state.counters["floor_s"] = floor;
    state.counters["karvelo_over_floor"] = karvelo.run.seconds / floor;
    state.counters["relay_MB_per_s"] = site.servers.relayBytesPerSecond / 1e6;
    state.counters["karvelo_http2_share"] = karvelo.http2Requests / static_cast<double>(count);
}
BENCHMARK(BM_H2Bench_RelayedTls)
    ->ArgName("images")
    ->Arg(2000)
    ->Arg(400)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kSecond);

void BM_H2Bench_PlainHttp1(benchmark::State& state) {
    Site& site = TheSite();
    if (!site.error.empty()) {
        state.SkipWithError(site.error.c_str());
        return;
    }
    std::map<std::string, Outcome> outcomes;
    RaceKarvelo(state, *site.servers.plain, site.servers.plain->port(), {"curl"}, {"-Z", "--parallel-max", "16"},
                &outcomes);
}
BENCHMARK(BM_H2Bench_PlainHttp1)
    ->ArgName("images")
    ->Arg(2000)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

}  // namespace
