// Servers that used to hold a run: whole relocation runs (eight workers)
// against them on loopback, with the bounds shortened through the test
// seams, each timed against the bound the run must keep and checked to
// account for every image (stored or failed).
//
//   BM_TricklingServer: 24 images whose bodies come one byte per 200 ms;
//     slow window 2 s, overall bound 4 s, network time-out 1 s.  Every
//     image fails as too slow; bound_s is the slow window per round of
//     eight workers (plus one wait slice each).  Goal: ratio_vs_bound <= 1.
//   BM_SilentServer: 40 images on a host that takes connections and never
//     answers, network time-out 500 ms.  Every image fails; the cut-off
//     after five silences ends the waiting.  uncut_s is what the run waited
//     before (two time-outs per image, eight at once).  Goal:
//     ratio_vs_uncut <= 0.5.
//   BM_ManySpellingsOfOneHost: 1,100 images over 1,100 spellings of
//     127.0.0.1 against the same 1,100 images over one spelling, in the same
//     iteration (ratio_vs_one_host: the price of a new connection per image,
//     for information).  Goal: every image stored, and peak_descriptors of
//     the process (client and server ends) <= 2 x 8 x POOL_CONNECTION_LIMIT
//     + 64, where a socket per spelling would pass 2,200.
//   BM_StopWhileHostsAreSilent: eight images in flight on a silent host with
//     the product's 10 s network time-out; a stop 300 ms in.  stop_s is the
//     time from the stop to the end of the run (write-back included), timed
//     against that time-out, which a stop used to wait out.  Goal: stop_s <= 1.
#include <benchmark/benchmark.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/connection.h"
#include "http/download_limits.h"
#include "package/item_record.h"
#include "package/reader.h"
#include "platform/net.h"
#include "relocate/run.h"
#include "relocate/run_view.h"
#include "support/package_generator.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"
#include "relocate/core_state.h"
#include "util/app_log.h"
#include "demo/loopback_server.h"
#include "base/vector.h"

namespace {

using Clock = std::chrono::steady_clock;

const int JOBS = 8;
const std::string PNG = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(2000, 'p');

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A server that reads each request, then either trickles a body (one byte
// per TRICKLE_PAUSE_MS) or says nothing, until the client goes.
class ShapedServer {
public:
    static const int TRICKLE_PAUSE_MS = 200;

    explicit ShapedServer(bool trickle) : trickle_(trickle) {
        listener_ = ListenOnLoopback(0, 128);
        port_ = BoundPort(listener_);
        acceptor_ = std::thread([this] {
            while (!stop_) {
                if (!WaitReadable(listener_, 100)) continue;
                SocketHandle connection = accept(listener_, nullptr, nullptr);
                if (connection == NO_SOCKET) continue;
                std::lock_guard<std::mutex> lock(mutex_);
                threads_.emplace_back([this, connection] { Serve(connection); });
            }
        });
    }
    ~ShapedServer() {
        stop_ = true;
        acceptor_.join();
        for (std::thread& thread : threads_) thread.join();
        CloseSocket(listener_);
    }
    int port() const { return port_; }

private:
    void Serve(SocketHandle connection) {
        std::string request;
        char buffer[4096];
        while (!stop_ && request.find("\r\n\r\n") == std::string::npos) {
            if (!WaitReadable(connection, 100)) continue;
            int got = static_cast<int>(recv(connection, buffer, sizeof buffer, 0));
            if (got <= 0) break;
            request.append(buffer, static_cast<size_t>(got));
        }
        std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n\xFF\xD8";
        bool open = !trickle_ || SendAll(connection, head.data(), head.size());
        while (open && !stop_) {
            if (trickle_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(TRICKLE_PAUSE_MS));
                open = SendAll(connection, "x", 1) != 0;
            } else if (WaitReadable(connection, 100)) {
                open = recv(connection, buffer, sizeof buffer, 0) > 0;
            }
        }
        CloseSocket(connection);
    }

    bool trickle_;
    SocketHandle listener_ = NO_SOCKET;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> threads_;
};

struct BenchView {
    RunView view = {};
    RunOptions options = {};
};

// One relocation run over `urls` (ten to an item) in a fresh folder; false
// with the reason in `error` when the package cannot be loaded.
struct RunSite {
    TempDir folder;
    RecordingFrontEnd frontEnd;
    BenchView view;
    int runs = 0;

    RunSite() {
        StartNetwork();
        OpenAppLog(folder.path().c_str());
        std::snprintf(coreState.programFolder, sizeof coreState.programFolder, "%s", folder.path().c_str());
        view.view.context = &view;
        view.view.readOptions = [](void* context, RunOptions* options) {
            *options = static_cast<BenchView*>(context)->options;
        };
        view.options.relocateImageSpace = 1;
        view.options.relocateOutsideAlbums = 1;
        view.options.jobs = JOBS;
        coreState.items = NewItemList();
    }
    ~RunSite() {
        FreeItemList(coreState.items);
        coreState.items = nullptr;
        std::free(coreState.packageText);
        coreState.packageText = nullptr;
        coreState.stopRequested = 0;
        SetNetworkTimeoutForTests(0);
        SetDownloadLimitsForTests(0, 0);
        CloseAppLog();
    }

    bool Load(const std::vector<std::string>& urls) {
        PackageLayout layout;
        std::string description;
        for (size_t i = 0; i < urls.size(); ++i) {
            description += "<img src=\"" + urls[i] + "\">";
            if (i % 10 == 9 || i + 1 == urls.size()) {
                layout.items.push_back(MakeItem("item" + std::to_string(i / 10), description, ""));
                description.clear();
            }
        }
        const std::string packagePath = folder.File("shop.csv");
        const std::string destination = folder.File("pics" + std::to_string(++runs));
        std::filesystem::create_directories(destination);
        std::snprintf(view.options.destination, sizeof view.options.destination, "%s", destination.c_str());
        ClearItemRecords(coreState.items);
        std::free(coreState.packageText);
        coreState.packageText = nullptr;
        std::snprintf(coreState.packagePath, sizeof coreState.packagePath, "%s", packagePath.c_str());
        return WritePackageFile(packagePath, layout) &&
               ReadPackage(coreState.packagePath, coreState.items, &coreState.packageText) == PACKAGE_READ_OK;
    }

    // Runs and returns its seconds.
    double Run() {
        Clock::time_point start = Clock::now();
        outcome = RunRelocation(&view.view);
        PresentRunOutcome(&view.view, outcome);
        coreState.running = 0;
        return SecondsSince(start);
    }
    RunOutcome outcome = {};  // what the last Run did
};

std::vector<std::string> Urls(const std::string& base, int count) {
    std::vector<std::string> urls;
    for (int i = 0; i < count; ++i) urls.push_back(base + "/i" + std::to_string(i) + ".png");
    return urls;
}

// Every image stored or failed, as many as asked.
bool AccountedFor(const RunOutcome& outcome, int images) {
    return outcome.relocatedCount + outcome.failureCount == images;
}

// Runs `images` images that all fail against `server` and reports the mean
// run time against `reference` seconds (named `referenceName`).
void RunFailingImages(benchmark::State& state, RunSite& site, const ShapedServer& server, int images,
                      const char* referenceName, double reference) {
    double seconds = 0;
    for (auto _ : state) {
        if (!site.Load(Urls("http://127.0.0.1:" + std::to_string(server.port()), images))) {
            state.SkipWithError("cannot load the package");
            break;
        }
        double run = site.Run();
        state.SetIterationTime(run);
        seconds += run;
        if (!AccountedFor(site.outcome, images) || site.outcome.failureCount != images) {
            state.SkipWithError("images unaccounted for");
        }
    }
    const double each = seconds / static_cast<double>(state.iterations());
    state.counters["run_s"] = each;
    state.counters[std::string(referenceName) + "_s"] = reference;
    state.counters[std::string("ratio_vs_") + referenceName] = each / reference;
    state.counters["failed"] = site.outcome.failureCount;
}

void BM_TricklingServer(benchmark::State& state) {
    const int images = 24, slowMs = 2000, longestMs = 4000;
    RunSite site;
    ShapedServer server(/*trickle=*/true);
    SetNetworkTimeoutForTests(1000);
    SetDownloadLimitsForTests(slowMs, longestMs);
    const double bound = (images + JOBS - 1) / JOBS * (slowMs + NETWORK_WAIT_SLICE_MILLISECONDS) / 1000.0;
    RunFailingImages(state, site, server, images, "bound", bound);
}
BENCHMARK(BM_TricklingServer)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

void BM_SilentServer(benchmark::State& state) {
    const int images = 40, timeoutMs = 500;
    RunSite site;
    ShapedServer server(/*trickle=*/false);
    SetNetworkTimeoutForTests(timeoutMs);
    RunFailingImages(state, site, server, images, "uncut", images * 2.0 * timeoutMs / 1000.0 / JOBS);
}
BENCHMARK(BM_SilentServer)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

int OpenDescriptors() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

void BM_ManySpellingsOfOneHost(benchmark::State& state) {
    const int images = 1100;
    RunSite site;
    LoopbackImageServer server([](const std::string&) { return LoopbackResponse{200, PNG, "image/png", ""}; });
    server.Start();
    const std::string port = std::to_string(server.port());
    std::vector<std::string> spelled;
    for (int a = 1; a <= 11; ++a) {
        for (int b = 1; b <= 11; ++b) {
            for (int c = 0; c < 10 && static_cast<int>(spelled.size()) < images; ++c) {
                std::string host =
                    "127." + std::string(a, '0') + "." + std::string(b, '0') + "." + std::string(c, '0') + "1";
                spelled.push_back("http://" + host + ":" + port + "/s" + std::to_string(spelled.size()) + ".png");
            }
        }
    }
    double many = 0, one = 0;
    int peak = 0;
    std::atomic<bool> running{false};
    for (auto _ : state) {
        if (!site.Load(spelled)) {
            state.SkipWithError("cannot load the package");
            break;
        }
        running = true;
        std::thread sampler([&] {
            while (running) {
                int now = OpenDescriptors();
                if (now > peak) peak = now;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        double run = site.Run();
        running = false;
        sampler.join();
        state.SetIterationTime(run);
        many += run;
        if (site.outcome.relocatedCount != images) state.SkipWithError("not every image stored");
        if (!site.Load(Urls("http://127.0.0.1:" + port + "/one", images))) break;
        one += site.Run();
        if (site.outcome.relocatedCount != images) state.SkipWithError("not every image stored on one host");
    }
    state.counters["many_s"] = many / static_cast<double>(state.iterations());
    state.counters["one_host_s"] = one / static_cast<double>(state.iterations());
    state.counters["ratio_vs_one_host"] = many > 0 ? one / many : 0;
    state.counters["peak_descriptors"] = peak;
}
BENCHMARK(BM_ManySpellingsOfOneHost)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

void BM_StopWhileHostsAreSilent(benchmark::State& state) {
    RunSite site;
    ShapedServer server(/*trickle=*/false);
    SetNetworkTimeoutForTests(0);  // the product's
    double stopSeconds = 0;
    for (auto _ : state) {
        coreState.stopRequested = 0;
        if (!site.Load(Urls("http://127.0.0.1:" + std::to_string(server.port()), JOBS))) {
            state.SkipWithError("cannot load the package");
            break;
        }
        Clock::time_point stopAt;
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            stopAt = Clock::now();
            coreState.stopRequested = 1;
        });
        site.Run();
        stopper.join();
        double seconds = SecondsSince(stopAt);
        state.SetIterationTime(seconds);
        stopSeconds += seconds;
        if (site.outcome.end != RUN_STOPPED || site.outcome.failureCount != 0) {
            state.SkipWithError("not stopped cleanly");
        }
    }
    const double each = stopSeconds / static_cast<double>(state.iterations());
    state.counters["stop_s"] = each;
    state.counters["network_timeout_s"] = NETWORK_TIMEOUT_MILLISECONDS / 1000.0;
    state.counters["ratio_vs_timeout"] = each / (NETWORK_TIMEOUT_MILLISECONDS / 1000.0);
}
BENCHMARK(BM_StopWhileHostsAreSilent)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
