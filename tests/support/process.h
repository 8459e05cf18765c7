// Child processes for tests and benchmarks: programs such as nginx, wget or
// cat run from a full path, with their output captured or sent to files.
// A child starts with no blocked signals, default dispositions and no
// descriptors of ours beyond its standard three, so a test's sockets and
// signal masks never leak into it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct ProcessResult {
    int exitCode;     // the exit status, or minus the signal that ended it; -1 if it could not start
    std::string out;  // standard output, unless it went to a file
    std::string err;  // standard error
    // From wait4: the child's CPU time (user + system) and context switches
    // (voluntary + involuntary), with those of the children it waited for.
    double cpuSeconds = 0;
    long contextSwitches = 0;
};

// Runs `argv` (argv[0] a full path) to its end.  Standard input is
// /dev/null; standard output goes to `stdoutPath` when one is given (created
// or truncated), else it is captured.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& stdoutPath = "");

// Starts `argv` in the background with standard input from /dev/null and
// standard output and error appended to `outputPath` (/dev/null when empty).
// Returns the child's id, or -1.
pid_t StartProcess(const std::vector<std::string>& argv, const std::string& outputPath = "");

// Starts `argv` as StartProcess does, but with standard output and error on
// a new pseudo-terminal `columns` wide, whose other end goes into *terminal
// (the caller reads and closes it).  Returns the child's id, or -1.
pid_t StartProcessOnTerminal(const std::vector<std::string>& argv, int columns, int* terminal);

// True once the background child has ended; its status (as RunProcess
// reports it) into *exitCode.  The child is reaped then.
bool ProcessEnded(pid_t pid, int* exitCode);

// Sends `signal`, waits at most `milliseconds` for the child to end, then
// kills it.  Returns its status as RunProcess reports it.
int StopProcess(pid_t pid, int signal, int milliseconds);

// This build's folder, where `karvelo` and its bak/ folder are: ctest sets
// KARVELO_BUILD_DIR; without it, the current folder.
std::string BuildFolder();
// The command line of this build's `karvelo` with `arguments`, for
// StartProcess.
std::vector<std::string> KarveloCommand(const std::vector<std::string>& arguments);
// Runs this build's `karvelo` with `arguments` to its end (RunProcess).
ProcessResult RunKarvelo(const std::vector<std::string>& arguments);

// How a server program started in the background came up.
enum ServerStart {
    SERVER_ACCEPTS,  // it accepts connections
    SERVER_ENDED,    // it ended first: *pid is -1, its status in *exitCode
    SERVER_SILENT,   // still running, but accepting nothing after five seconds
};
// Waits until the server `*pid` accepts connections at `port` on each
// loopback address it listens on (127.0.0.1, ::1), or ends.  Both, not the
// first: nginx that finds [::1]:port taken listens on 127.0.0.1 already while
// it tries [::1] again for a few seconds, then ends.
ServerStart AwaitServerStart(pid_t* pid, int port, bool ipv4, bool ipv6, int* exitCode);
// Whether something accepts TCP connections on 127.0.0.1 (or ::1) at `port`.
bool LoopbackAccepts(int port, bool ipv4);

// Starts a server on a free loopback port: `startOnce` tries one and says
// whether another process took it between the look and the bind, when the
// next free port is tried (a few times).  False with *error when none took.
bool StartOnFreeLoopbackPort(const std::function<bool(int port, bool* portTaken)>& startOnce, std::string* error);
