// What the benchmarks that run `karvelo` as a process share, most of them
// racing it against other download programs: nginx serving images plainly
// and over TLS, a relay that adds latency on loopback, the inputs each
// program takes (a package, a curl config, a URL list) and its command
// line, and a timed run of one program as a child process.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "support/nginx_fixture.h"
#include "support/package_generator.h"  // WriteImagePackage

const char ARIA2_PROGRAM[] = "/usr/bin/aria2c";
const char CURL_PROGRAM[] = "/usr/bin/curl";
// curl's options against karvelo over plain HTTP/1.1: parallel, at most 16
// transfers at once (karvelo's own default is 8 connections).
const std::vector<std::string> PLAIN_CURL = {"-Z", "--parallel-max", "16"};

// Accepts on loopback and relays each connection to 127.0.0.1:`targetPort`,
// holding every chunk it reads `delayEachWayMs` before passing it on, in
// each direction, without holding back what follows (the kernel here has no
// netem).  The kernel completes TCP's own handshake with the relay, so only
// data pays the delay.  Returns the relay's port, 0 when it cannot listen.
// Lives for the process (its threads are detached).
int StartDelayRelay(int targetPort, int delayEachWayMs);

// The bytes per second one connection through such a relay carries from a
// source on loopback (the relay's own limit), 0 when it cannot be measured.
double DelayRelayBytesPerSecond(int delayEachWayMs);

// The `karvelo` beside the running benchmark program.
std::string KarveloBesideBench();
// What keeps `karvelo` from racing curl here: which of them is missing,
// empty when both can run.
std::string MissingRacePrograms(const std::string& karvelo);

// nginx serving one folder of images twice: over plain HTTP/1.1, and over
// TLS 1.3 only (HTTP/2 or HTTP/1.1 by ALPN) with a certificate of the tests'
// own authority, which this process and its children trust through
// SSL_CERT_FILE; and a relay delaying the TLS server.
struct ImageServers {
    std::unique_ptr<NginxServer> plain;
    std::unique_ptr<NginxServer> tls;
    int relayPort = 0;  // in front of `tls`
    double relayBytesPerSecond = 0;
    std::string authority;  // the authority's PEM file, for --cacert
};
// Starts them over `www`, each connection serving `keepaliveRequests`
// requests; an empty string, or what failed.
std::string StartImageServers(const std::string& www, int delayEachWayMs, ImageServers* servers,
                              int keepaliveRequests = NGINX_KEEPALIVE_REQUESTS);

// What `streams` streams on one connection through such a relay cannot
// beat for images of `bytes` bytes in all: the TLS handshake's round trip,
// ceil(images / streams) round trips of requests, and the bytes at the
// relay's own bandwidth.  (The relay cannot delay TCP's handshake: the
// kernel completes it, so that costs nothing.)
double StreamsFloorSeconds(size_t images, double bytes, int streams, int delayEachWayMs, double relayBytesPerSecond);

// Removes the backup `program` made of the package at `packagePath` in its
// bak/ folder (the package's first one: NAME(1).csv).
void RemoveKarveloBackup(const std::string& program, const std::string& packagePath);
// `curl -K` lines that store urls[i] as destination/names[i].
std::string CurlConfig(const std::vector<std::string>& urls, const std::vector<std::string>& names,
                       const std::string& destination);
// One URL a line, for `aria2c -i` and `wget -i`.
std::string UrlList(const std::vector<std::string>& urls);

// One program's run over `urls`, to be stored as `names` in `destination`.
struct ClientInvocation {
    std::string program;  // "karvelo", "curl" or "aria2c"
    std::vector<std::string> command;
    std::string input;  // the package, config or list it reads
};
// Writes the input of `program` at `inputStem` plus ".csv" (karvelo: the
// `karvelo` at `karvelo`, `relocate PACKAGE DEST` with its defaults) or
// ".txt" (curl: `curl -s CURL_OPTIONS -K CONFIG`; aria2c: `aria2c -q -j16
// -x1 -i LIST -d DEST`) and returns its command line.  With `authority`
// (over TLS), curl and aria2c are told that file; karvelo trusts it already.
ClientInvocation PrepareClientRun(const std::string& program, const std::string& karvelo,
                                  const std::vector<std::string>& urls, const std::vector<std::string>& names,
                                  const std::string& destination, const std::string& inputStem,
                                  const std::vector<std::string>& curlOptions, const std::string& authority);
// Removes the input, and the backup karvelo made of its package.
void RemoveClientInput(const ClientInvocation& invocation, const std::string& karvelo);

struct ClientRun {
    double seconds = -1;  // wall time; negative when the program failed or stored too few files
    long rssKb = 0;       // the program's peak resident size, when asked for
    // From wait4 (with GNU time's own few, under it): CPU seconds, user
    // plus system, and context switches, voluntary plus involuntary.
    double cpuSeconds = 0;
    long contextSwitches = 0;
    int exitCode = 0;  // as RunProcess reports it
    std::string err;   // its standard error (GNU time's lines too, under it)
};

// Runs `command` to its end, timed, its standard output to `stdoutPath`
// (captured and dropped when empty); `seconds` stays negative when it
// fails.  With `peakMemory`, under GNU time, which reports the peak from
// its own wait4: Linux counts what a child shared with its parent before
// exec in the child's peak, so this large process cannot ask wait4 itself
// for that one figure (the CPU and switches it can).
ClientRun TimeProgram(const std::vector<std::string>& command, bool peakMemory, const std::string& stdoutPath = "");
// The regular files directly in `destination`, what a download stored
// there (not folders, such as the image library's .karvelo), and their bytes.
struct StoredFiles {
    size_t files = 0;
    double bytes = 0;
};
StoredFiles FilesStoredIn(const std::string& destination);

// TimeProgram of a download: `command` is to store `files` files in
// `destination`, which is made before and removed after; a run that stored
// fewer failed.
ClientRun TimeClientRun(const std::vector<std::string>& command, const std::string& destination, size_t files,
                        bool peakMemory);
