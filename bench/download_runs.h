// What the benchmarks that run `karvelo` as a process share, most of them
// racing it against other download programs: a relay that adds latency on
// loopback, the inputs each program takes (a package, a curl config, a URL
// list), and a timed run of one program as a child process.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

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

// A package whose items show `urls`, a few to an item; false on failure.
bool WriteImagePackage(const std::string& path, const std::vector<std::string>& urls);
// Removes the backup `program` made of the package at `packagePath` in its
// bak/ folder (the package's first one: NAME(1).csv).
void RemoveKarveloBackup(const std::string& program, const std::string& packagePath);
// `curl -K` lines that store urls[i] as destination/names[i].
std::string CurlConfig(const std::vector<std::string>& urls, const std::vector<std::string>& names,
                       const std::string& destination);
// One URL a line, for `aria2c -i` and `wget -i`.
std::string UrlList(const std::vector<std::string>& urls);

struct ClientRun {
    double seconds = -1;  // wall time; negative when the program failed or stored too few files
    long rssKb = 0;       // the program's peak resident size, when asked for
};

// Runs `command` to its end, timed; it is to store `files` files in
// `destination`, which is made before and removed after.  With
// `peakMemory`, under GNU time, which reports the peak from wait4: Linux
// counts what a child shared with its parent before exec in the child's
// peak, so this large process cannot ask wait4 itself.
ClientRun TimeClientRun(const std::vector<std::string>& command, const std::string& destination, size_t files,
                        bool peakMemory);
