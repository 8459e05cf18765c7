// Parallel downloads: `karvelo relocate --jobs N` against aria2c, curl and
// wget, as processes, over 400 images of 5 to 200 KB from nginx on loopback.
//
// BM_OverSlowNetwork puts a relay in front of nginx that holds each
// direction 25 ms (50 ms per round trip; the kernel here has no netem) and
// times, in every iteration, --jobs 1, 8 and 16, `aria2c -q -j16 -x1 -i` and
// `curl -s -Z --parallel-max 16 -K` (each when installed).  Goals:
// ratio_jobs16_vs_aria2 >= 1, ratio_jobs8_vs_aria2 >= 0.5.  Peak memory of
// the karvelo process (/usr/bin/time -v): rss_jobs16_minus_jobs1_kb <= 2048.
// BM_WithoutAddedLatency times --jobs 1 and 8 and `wget -i` straight against
// nginx.  Goals: ratio_jobs8_vs_jobs1 >= 0.95, ratio_jobs8_vs_wget >= 1.
// BM_OverTls serves the same images over https (a certificate of the tests'
// own authority, trusted through SSL_CERT_FILE, --cacert and
// --ca-certificate): --jobs 1 against `curl -s -K` one at a time straight
// against nginx (goal ratio_jobs1_vs_curl_sequential >= 1), and through the
// relay --jobs 16 against `aria2c -j16` (goal ratio_jobs16_vs_aria2 >= 1).
// BM_ThroughProxy times --jobs 8 straight against nginx, the same through
// tinyproxy (http_proxy: absolute-form requests), and, when
// KARVELO_MAIN_PROGRAM names the `karvelo` of the branch point, that one
// straight against nginx too: ratio_direct_vs_main (main's seconds over
// ours: the transport seam costs nothing when >= 0.95) and
// proxy_over_direct (seconds through the proxy over seconds direct).
// 400 rather than 2,000 images: one at a time over the relay already takes
// 20 s per iteration on this 2-core machine.  Output goes to /dev/shm.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "download_runs.h"
#include "support/nginx_fixture.h"
#include "support/proxy_fixture.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"

namespace {

const int IMAGE_COUNT = 400;
const int DELAY_EACH_WAY_MS = 25;
const char ARIA2_PROGRAM[] = "/usr/bin/aria2c";
const char CURL_PROGRAM[] = "/usr/bin/curl";
const char WGET_PROGRAM[] = "/usr/bin/wget";

struct Site {
    TempDir folder;
    std::unique_ptr<NginxServer> nginx;
    std::unique_ptr<NginxServer> tlsNginx;  // the same images over https
    std::vector<std::string> names;
    int relayPort = 0;
    int tlsRelayPort = 0;
    std::string authority;  // the test authority's certificate
    std::string output = "/dev/shm/karvelo-parallel-bench-" + std::to_string(getpid());
    std::string karvelo;
    std::string mainKarvelo;           // KARVELO_MAIN_PROGRAM, or empty
    std::unique_ptr<TinyProxy> proxy;  // for BM_ThroughProxy's time only
    std::string error;
    int runs = 0;
    ~Site() {
        std::error_code ignored;
        std::filesystem::remove_all(output, ignored);
    }
};

Site& TheSite() {
    // Destroyed at exit, which stops nginx and removes the images: the
    // relay's threads hold only ports.
    static std::unique_ptr<Site> site = [] {
        auto s = std::make_unique<Site>();
        std::error_code ignored;
        s->karvelo = KarveloBesideBench();
        const char* mainProgram = std::getenv("KARVELO_MAIN_PROGRAM");
        if (mainProgram != nullptr && access(mainProgram, X_OK) == 0) s->mainKarvelo = mainProgram;
        std::filesystem::create_directories(s->output, ignored);
        std::filesystem::create_directories(s->folder.File("www"), ignored);
        s->names = GenerateImageFiles(s->folder.File("www"), IMAGE_COUNT, 7);
        s->nginx = std::make_unique<NginxServer>(s->folder.File("www"));
        if (!NginxAvailable() || s->names.empty() || !s->nginx->Start()) {
            s->error = "nginx cannot serve the images: " + s->nginx->error();
        } else if (access(s->karvelo.c_str(), X_OK) != 0) {
            s->error = s->karvelo + " is missing";
        } else {
            s->relayPort = StartDelayRelay(s->nginx->port(), DELAY_EACH_WAY_MS);
            if (s->relayPort == 0) s->error = "the relay cannot listen";
        }
        const TestCertificates* certificates =
            TrustTestAuthority(&s->error) ? TestCertificatesMade(&s->error) : nullptr;
        if (certificates != nullptr && s->error.empty()) {
            s->authority = certificates->authority;
            s->tlsNginx = std::make_unique<NginxServer>(s->folder.File("www"));
            s->tlsNginx->UseTls(certificates->loopback.certificate, certificates->loopback.key);
            if (!s->tlsNginx->Start())
                s->error = "nginx cannot serve over TLS: " + s->tlsNginx->error();
            else
                s->tlsRelayPort = StartDelayRelay(s->tlsNginx->port(), DELAY_EACH_WAY_MS);
        }
        return s;
    }();
    return *site;
}

std::vector<std::string> Urls(const Site& site, int port, bool secure) {
    std::vector<std::string> urls;
    const std::string origin = (secure ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port);
    for (const std::string& name : site.names) urls.push_back(origin + "/" + name);
    return urls;
}

// `client` "curl" runs 16 at a time, "curl-sequential" one at a time;
// "karvelo-main" is the branch point's karvelo, "karvelo-proxy" ours through
// the site's proxy.
ClientRun TimeClient(Site* site, const std::string& client, int jobs, int port, bool secure) {
    const std::string tag = std::to_string(++site->runs);
    const std::string destination = site->output + "/" + client + tag;
    std::vector<std::string> urls = Urls(*site, port, secure);
    std::vector<std::string> command;
    std::string list;
    const std::string package = site->output + "/bench-parallel-" + tag + ".csv";
    const std::string& program = client == "karvelo-main" ? site->mainKarvelo : site->karvelo;
    const bool karvelo = client.rfind("karvelo", 0) == 0;
    if (karvelo) {
        WriteImagePackage(package, urls);
        command = {program, "relocate", package, destination, "--jobs", std::to_string(jobs)};
    } else if (client.rfind("curl", 0) == 0) {
        list = CurlConfig(urls, site->names, destination);
        command = {CURL_PROGRAM, "-s", "-K", site->output + "/list" + tag};
        if (client == "curl") command.insert(command.begin() + 1, {"-Z", "--parallel-max", "16"});
        if (secure) command.insert(command.begin() + 1, {"--cacert", site->authority});
    } else {
        list = UrlList(urls);
        const std::string listPath = site->output + "/list" + tag;
        if (client == "aria2c")
            command = {ARIA2_PROGRAM, "-q", "-j16", "-x1", "-i", listPath, "-d", destination};
        else
            command = {WGET_PROGRAM, "-q", "-i", listPath, "-P", destination};
        if (secure && client == "aria2c") command.push_back("--ca-certificate=" + site->authority);
    }
    if (!list.empty()) WriteWholeFile(site->output + "/list" + tag, list);

    // Only the child that goes through the proxy sees it.
    if (client == "karvelo-proxy") setenv("http_proxy", site->proxy->Url().c_str(), 1);
    ClientRun run = TimeClientRun(command, destination, urls.size(), karvelo);
    unsetenv("http_proxy");
    if (karvelo) RemoveKarveloBackup(program, package);
    return run;
}

// Times every client once per iteration; the counters are the summed
// seconds per client and their ratios (other / ours: above 1, we are faster).
void TimeAll(benchmark::State& state, const std::vector<std::pair<std::string, int>>& clients, bool relayed,
             const std::vector<std::pair<std::string, std::pair<std::string, std::string>>>& ratios,
             bool secure = false) {
    Site& site = TheSite();
    if (!site.error.empty()) {
        state.SkipWithError(site.error.c_str());
        return;
    }
    const int port = secure ? (relayed ? site.tlsRelayPort : site.tlsNginx->port())
                            : (relayed ? site.relayPort : site.nginx->port());
    std::vector<double> seconds(clients.size(), 0);
    std::vector<long> rss(clients.size(), 0);
    for (auto _ : state) {
        double total = 0;
        for (size_t i = 0; i < clients.size(); ++i) {
            ClientRun timed = TimeClient(&site, clients[i].first, clients[i].second, port, secure);
            if (timed.seconds < 0) {
                state.SkipWithError((clients[i].first + " failed").c_str());
                return;
            }
            seconds[i] += timed.seconds;
            rss[i] = std::max(rss[i], timed.rssKb);
            total += timed.seconds;
        }
        state.SetIterationTime(total);
    }
    auto name = [&](size_t i) {
        return clients[i].first == "karvelo" ? "jobs" + std::to_string(clients[i].second) : clients[i].first;
    };
    for (size_t i = 0; i < clients.size(); ++i) {
        state.counters[name(i) + "_s"] = seconds[i] / static_cast<double>(state.iterations());
        if (rss[i] > 0) state.counters["rss_" + name(i) + "_kb"] = static_cast<double>(rss[i]);
    }
    for (const auto& ratio : ratios) {
        auto ours = state.counters.find(ratio.second.first + "_s"),
             theirs = state.counters.find(ratio.second.second + "_s");
        if (ours != state.counters.end() && theirs != state.counters.end()) {
            state.counters[ratio.first] = theirs->second.value / ours->second.value;
        }
    }
    if (state.counters.count("rss_jobs16_kb") && state.counters.count("rss_jobs1_kb")) {
        state.counters["rss_jobs16_minus_jobs1_kb"] =
            state.counters["rss_jobs16_kb"].value - state.counters["rss_jobs1_kb"].value;
    }
}

void BM_OverSlowNetwork(benchmark::State& state) {
    std::vector<std::pair<std::string, int>> clients = {{"karvelo", 1}, {"karvelo", 8}, {"karvelo", 16}};
    if (access(ARIA2_PROGRAM, X_OK) == 0) clients.push_back({"aria2c", 16});
    if (access(CURL_PROGRAM, X_OK) == 0) clients.push_back({"curl", 16});
    TimeAll(state, clients, true,
            {{"ratio_jobs16_vs_aria2", {"jobs16", "aria2c"}},
             {"ratio_jobs8_vs_aria2", {"jobs8", "aria2c"}},
             {"ratio_jobs16_vs_curl", {"jobs16", "curl"}},
             {"ratio_jobs8_vs_curl", {"jobs8", "curl"}},
             {"ratio_jobs8_vs_jobs1", {"jobs8", "jobs1"}},
             {"ratio_jobs16_vs_jobs1", {"jobs16", "jobs1"}}});
}
BENCHMARK(BM_OverSlowNetwork)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

void BM_WithoutAddedLatency(benchmark::State& state) {
    TimeAll(state, {{"karvelo", 1}, {"karvelo", 8}, {"wget", 1}}, false,
            {{"ratio_jobs8_vs_jobs1", {"jobs8", "jobs1"}}, {"ratio_jobs8_vs_wget", {"jobs8", "wget"}}});
}
BENCHMARK(BM_WithoutAddedLatency)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_OverTls(benchmark::State& state) {
    TimeAll(state, {{"karvelo", 1}, {"curl-sequential", 1}}, false,
            {{"ratio_jobs1_vs_curl_sequential", {"jobs1", "curl-sequential"}}}, true);
}
BENCHMARK(BM_OverTls)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_OverTlsAndSlowNetwork(benchmark::State& state) {
    TimeAll(state, {{"karvelo", 16}, {"aria2c", 16}}, true, {{"ratio_jobs16_vs_aria2", {"jobs16", "aria2c"}}}, true);
}
BENCHMARK(BM_OverTlsAndSlowNetwork)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

void BM_ThroughProxy(benchmark::State& state) {
    Site& site = TheSite();
    if (site.proxy == nullptr) {
        site.proxy = std::make_unique<TinyProxy>(std::vector<int>{});
        if (!TinyproxyAvailable() || !site.proxy->Start()) {
            state.SkipWithError(("tinyproxy cannot run: " + site.proxy->error()).c_str());
            return;
        }
    }
    std::vector<std::pair<std::string, int>> clients = {{"karvelo", 8}, {"karvelo-proxy", 8}};
    std::vector<std::pair<std::string, std::pair<std::string, std::string>>> ratios = {
        {"proxy_over_direct", {"jobs8", "karvelo-proxy"}}};
    if (!site.mainKarvelo.empty()) {
        clients.push_back({"karvelo-main", 8});
        ratios.push_back({"ratio_direct_vs_main", {"jobs8", "karvelo-main"}});
    }
    TimeAll(state, clients, false, ratios);
    site.proxy.reset();  // the site lives on for the process; the proxy must not outlive it
}
BENCHMARK(BM_ThroughProxy)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
