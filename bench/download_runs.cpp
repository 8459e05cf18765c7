#include "download_runs.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <utility>
#include <thread>

#include "platform/net.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"

namespace {

const size_t RELAY_BUFFER_BYTES = 65536;
const size_t BANDWIDTH_PROBE_BYTES = size_t{256} << 20;
const int BANDWIDTH_PROBES = 3;
const char TIME_PROGRAM[] = "/usr/bin/time";

using Clock = std::chrono::steady_clock;

// A relay is a stretch of wire: what it is handed goes out as it is, never
// held for Nagle's algorithm to fill a segment.
void SendAtOnce(SocketHandle socket) {
    int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// One direction of a relayed connection: what is read is sent on once it
// has waited the delay, without holding back what follows.
void Pump(SocketHandle from, SocketHandle to, int delayMs) {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<Clock::time_point, std::string>> queue;
    bool ended = false;
    std::thread writer([&] {
        for (bool broken = false;;) {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return ended || !queue.empty(); });
            if (queue.empty()) break;
            auto due = queue.front().first;
            std::string bytes = std::move(queue.front().second);
            queue.pop_front();
            lock.unlock();
            std::this_thread::sleep_until(due);
            if (!broken) broken = !SendAll(to, bytes.data(), bytes.size());
        }
        shutdown(to, SHUT_WR);
    });
    char buffer[RELAY_BUFFER_BYTES];
    for (;;) {
        ssize_t received = recv(from, buffer, sizeof buffer, 0);
        std::lock_guard<std::mutex> lock(mutex);
        if (received <= 0) {
            ended = true;
            changed.notify_one();
            break;
        }
        queue.emplace_back(Clock::now() + std::chrono::milliseconds(delayMs),
                           std::string(buffer, static_cast<size_t>(received)));
        changed.notify_one();
    }
    writer.join();
}

// How fast one connection through a fresh relay carries bytes from a source
// on loopback; 0 on failure.
double OneBandwidthProbe(int delayEachWayMs) {
    SocketHandle source = ListenOnLoopback(0, 1);
    if (source == NO_SOCKET) return 0;
    int relayPort = StartDelayRelay(BoundPort(source), delayEachWayMs);
    std::thread sender([source] {
        SocketHandle peer = accept(source, nullptr, nullptr);
        const std::string block(RELAY_BUFFER_BYTES, 'x');
        for (size_t sent = 0; peer != NO_SOCKET && sent < BANDWIDTH_PROBE_BYTES; sent += block.size()) {
            if (!SendAll(peer, block.data(), block.size())) break;
        }
        if (peer != NO_SOCKET) CloseSocket(peer);
    });
    SocketHandle client = OpenTcpSocket();
    sockaddr_in address = LoopbackAddress(relayPort);
    size_t received = 0, first = 0;
    Clock::time_point firstAt, lastAt;
    if (relayPort != 0 && connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        char buffer[RELAY_BUFFER_BYTES];
        for (ssize_t got; (got = recv(client, buffer, sizeof buffer, 0)) > 0;) {
            // Timed from the first bytes on, so the delay itself is not counted.
            if (received == 0) {
                first = static_cast<size_t>(got);
                firstAt = Clock::now();
            }
            received += static_cast<size_t>(got);
            lastAt = Clock::now();
        }
    }
    shutdown(source, SHUT_RDWR);  // the sender may still wait in accept
    CloseSocket(client);
    sender.join();
    CloseSocket(source);
    double seconds = std::chrono::duration<double>(lastAt - firstAt).count();
    return received == BANDWIDTH_PROBE_BYTES && seconds > 0 ? static_cast<double>(received - first) / seconds : 0;
}

}  // namespace

int StartDelayRelay(int targetPort, int delayEachWayMs) {
    SocketHandle listener = ListenOnLoopback(0, 128);
    if (listener == NO_SOCKET) return 0;
    std::thread([listener, targetPort, delayEachWayMs] {
        for (;;) {
            SocketHandle client = accept(listener, nullptr, nullptr);
            if (client == NO_SOCKET) continue;
            std::thread([client, targetPort, delayEachWayMs] {
                SocketHandle server = OpenTcpSocket();
                sockaddr_in address = LoopbackAddress(targetPort);
                if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                    SendAtOnce(client);
                    SendAtOnce(server);
                    std::thread back(Pump, server, client, delayEachWayMs);
                    Pump(client, server, delayEachWayMs);
                    back.join();
                }
                CloseSocket(server);
                CloseSocket(client);
            }).detach();
        }
    }).detach();
    return BoundPort(listener);
}

// The best of a few probes: the relay's limit, not a moment when the
// machine was busy elsewhere.
double DelayRelayBytesPerSecond(int delayEachWayMs) {
    double best = 0;
    for (int probe = 0; probe < BANDWIDTH_PROBES; ++probe) best = std::max(best, OneBandwidthProbe(delayEachWayMs));
    return best;
}

std::string KarveloBesideBench() {
    std::error_code ignored;
    return std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path().string() + "/karvelo";
}

std::string MissingRacePrograms(const std::string& karvelo) {
    if (access(karvelo.c_str(), X_OK) != 0) return karvelo + " is missing";
    if (access(CURL_PROGRAM, X_OK) != 0) return "curl is missing";
    return std::string();
}

std::string StartImageServers(const std::string& www, int delayEachWayMs, ImageServers* servers,
                              int keepaliveRequests) {
    std::string error;
    const TestCertificates* certificates = TrustTestAuthority(&error) ? TestCertificatesMade(&error) : nullptr;
    if (certificates == nullptr) return error;
    if (!NginxAvailable()) return "nginx cannot serve the images";
    servers->authority = certificates->authority;
    servers->plain = std::make_unique<NginxServer>(www);
    servers->tls = std::make_unique<NginxServer>(www, "    ssl_protocols TLSv1.3;\n");
    servers->tls->UseTls(certificates->loopback.certificate, certificates->loopback.key);
    servers->tls->UseHttp2();
    servers->plain->SetKeepaliveRequests(keepaliveRequests);
    servers->tls->SetKeepaliveRequests(keepaliveRequests);
    if (!servers->plain->Start()) return "nginx cannot serve: " + servers->plain->error();
    if (!servers->tls->Start()) return "nginx cannot serve over TLS: " + servers->tls->error();
    servers->relayPort = StartDelayRelay(servers->tls->port(), delayEachWayMs);
    servers->relayBytesPerSecond = DelayRelayBytesPerSecond(delayEachWayMs);
    if (servers->relayPort == 0 || servers->relayBytesPerSecond <= 0) return "the relay cannot run on loopback";
    return std::string();
}

double StreamsFloorSeconds(size_t images, double bytes, int streams, int delayEachWayMs, double relayBytesPerSecond) {
    const double roundTrips = 1 + std::ceil(static_cast<double>(images) / streams);
    return roundTrips * 2 * delayEachWayMs / 1000.0 + bytes / relayBytesPerSecond;
}

void RemoveKarveloBackup(const std::string& program, const std::string& packagePath) {
    std::filesystem::path package(packagePath);
    std::string backup = package.stem().string() + "(1)" + package.extension().string();
    std::error_code ignored;
    std::filesystem::remove(std::filesystem::path(program).parent_path() / "bak" / backup, ignored);
}

std::string CurlConfig(const std::vector<std::string>& urls, const std::vector<std::string>& names,
                       const std::string& destination) {
    std::string config;
    for (size_t i = 0; i < urls.size(); ++i) {
        config += "url = \"" + urls[i] + "\"\noutput = \"" + destination + "/" + names[i] + "\"\n";
    }
    return config;
}

std::string UrlList(const std::vector<std::string>& urls) {
    std::string list;
    for (const std::string& url : urls) list += url + "\n";
    return list;
}

ClientInvocation PrepareClientRun(const std::string& program, const std::string& karvelo,
                                  const std::vector<std::string>& urls, const std::vector<std::string>& names,
                                  const std::string& destination, const std::string& inputStem,
                                  const std::vector<std::string>& curlOptions, const std::string& authority) {
    ClientInvocation invocation;
    invocation.program = program;
    invocation.input = inputStem + (program == "karvelo" ? ".csv" : ".txt");
    std::vector<std::string>& command = invocation.command;
    if (program == "karvelo") {
        WriteImagePackage(invocation.input, urls);
        command = {karvelo, "relocate", invocation.input, destination};
    } else if (program == "curl") {
        WriteWholeFile(invocation.input, CurlConfig(urls, names, destination));
        command = {CURL_PROGRAM, "-s", "-K", invocation.input};
        command.insert(command.begin() + 1, curlOptions.begin(), curlOptions.end());
        if (!authority.empty()) command.insert(command.begin() + 1, {"--cacert", authority});
    } else {
        WriteWholeFile(invocation.input, UrlList(urls));
        command = {ARIA2_PROGRAM, "-q", "-j16", "-x1", "-i", invocation.input, "-d", destination};
        if (!authority.empty()) command.push_back("--ca-certificate=" + authority);
    }
    return invocation;
}

void RemoveClientInput(const ClientInvocation& invocation, const std::string& karvelo) {
    std::error_code ignored;
    std::filesystem::remove(invocation.input, ignored);
    if (invocation.program == "karvelo") RemoveKarveloBackup(karvelo, invocation.input);
}

ClientRun TimeProgram(const std::vector<std::string>& command, bool peakMemory, const std::string& stdoutPath) {
    std::vector<std::string> argv = command;
    if (peakMemory) argv.insert(argv.begin(), {TIME_PROGRAM, "-v"});
    Clock::time_point start = Clock::now();
    ProcessResult result = RunProcess(argv, stdoutPath);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ClientRun run;
    if (result.exitCode == 0) run.seconds = seconds;
    run.cpuSeconds = result.cpuSeconds;
    run.contextSwitches = result.contextSwitches;
    run.exitCode = result.exitCode;
    run.err = std::move(result.err);
    const std::string peakLabel = "Maximum resident set size (kbytes): ";
    size_t at = run.err.rfind(peakLabel);
    if (peakMemory && at != std::string::npos) run.rssKb = std::atol(run.err.c_str() + at + peakLabel.size());
    return run;
}

StoredFiles FilesStoredIn(const std::string& destination) {
    StoredFiles stored;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(destination, ignored)) {
        if (!entry.is_regular_file(ignored)) continue;
        ++stored.files;
        stored.bytes += static_cast<double>(entry.file_size(ignored));
    }
    return stored;
}

ClientRun TimeClientRun(const std::vector<std::string>& command, const std::string& destination, size_t files,
                        bool peakMemory) {
    std::error_code ignored;
    std::filesystem::create_directories(destination, ignored);
    ClientRun run = TimeProgram(command, peakMemory);
    const size_t stored = FilesStoredIn(destination).files;
    std::filesystem::remove_all(destination, ignored);
    if (stored != files) run.seconds = -1;
    return run;
}
