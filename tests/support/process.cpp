#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/net.h"
#include "platform/thread.h"
#include "support/scripted_server.h"

namespace {

const int WAIT_TICK_MILLISECONDS = 5;

int StatusCode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return -1;
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecChild(char* const* argv, int inFd, int outFd, int errFd) {
    dup2(inFd, STDIN_FILENO);
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    closefrom(3);
    struct sigaction standard = {};
    standard.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) sigaction(signal, &standard, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(argv[0], argv);
    _exit(127);
}

std::vector<char*> ArgumentPointers(const std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    for (const std::string& argument : argv) pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& stdoutPath) {
    ProcessResult result;
    result.exitCode = -1;
    if (argv.empty()) return result;
    std::vector<char*> pointers = ArgumentPointers(argv);
    int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
    int outFile = -1;
    if (stdoutPath.empty()) {
        if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
    } else {
        outFile = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (outFile < 0) return result;
    }
    int nullIn = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (pipe2(errPipe, O_CLOEXEC) != 0 || nullIn < 0) {
        for (int fd : {outPipe[0], outPipe[1], outFile, nullIn, errPipe[0], errPipe[1]}) {
            if (fd >= 0) close(fd);
        }
        return result;
    }
    pid_t pid = fork();
    if (pid == 0) ExecChild(pointers.data(), nullIn, outFile >= 0 ? outFile : outPipe[1], errPipe[1]);
    close(nullIn);
    close(errPipe[1]);
    if (outFile >= 0) close(outFile);
    if (outPipe[1] >= 0) close(outPipe[1]);
    if (pid < 0) {
        close(errPipe[0]);
        if (outPipe[0] >= 0) close(outPipe[0]);
        return result;
    }

    struct pollfd watched[2] = {{errPipe[0], POLLIN, 0}, {outPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.err, &result.out};
    int openStreams = outPipe[0] >= 0 ? 2 : 1;
    char buffer[65536];
    while (openStreams > 0) {
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (watched[i].fd < 0 || watched[i].revents == 0) continue;
            ssize_t got = read(watched[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(watched[i].fd);
                watched[i].fd = -1;  // poll skips negative descriptors
                --openStreams;
            }
        }
    }
    for (const struct pollfd& entry : watched) {
        if (entry.fd >= 0) close(entry.fd);
    }
    int status = 0;
    struct rusage usage = {};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {}
    result.exitCode = StatusCode(status);
    result.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    result.contextSwitches = usage.ru_nvcsw + usage.ru_nivcsw;
    return result;
}

pid_t StartProcess(const std::vector<std::string>& argv, const std::string& outputPath) {
    if (argv.empty()) return -1;
    std::vector<char*> pointers = ArgumentPointers(argv);
    int nullIn = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int output = outputPath.empty() ? open("/dev/null", O_WRONLY | O_CLOEXEC)
                                    : open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (nullIn < 0 || output < 0) {
        if (nullIn >= 0) close(nullIn);
        if (output >= 0) close(output);
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) ExecChild(pointers.data(), nullIn, output, output);
    close(nullIn);
    close(output);
    return pid;
}

pid_t StartProcessOnTerminal(const std::vector<std::string>& argv, int columns, int* terminal) {
    if (argv.empty()) return -1;
    std::vector<char*> pointers = ArgumentPointers(argv);
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(columns);
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return -1;
    int nullIn = open("/dev/null", O_RDONLY | O_CLOEXEC);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    pid_t pid = nullIn >= 0 ? fork() : -1;
    if (pid == 0) ExecChild(pointers.data(), nullIn, slave, slave);
    close(slave);
    if (nullIn >= 0) close(nullIn);
    if (pid < 0) {
        close(master);
        return -1;
    }
    *terminal = master;
    return pid;
}

bool ProcessEnded(pid_t pid, int* exitCode) {
    int status = 0;
    pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == 0) return false;
    if (exitCode != nullptr) *exitCode = ended == pid ? StatusCode(status) : -1;
    return true;
}

int StopProcess(pid_t pid, int signal, int milliseconds) {
    int exitCode = -1;
    if (pid <= 0) return exitCode;
    kill(pid, signal);
    for (int waited = 0; waited < milliseconds; waited += WAIT_TICK_MILLISECONDS) {
        if (ProcessEnded(pid, &exitCode)) return exitCode;
        SleepMilliseconds(WAIT_TICK_MILLISECONDS);
    }
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return StatusCode(status);
}

std::string BuildFolder() {
    const char* folder = std::getenv("KARVELO_BUILD_DIR");
    return folder != nullptr ? folder : ".";
}

std::vector<std::string> KarveloCommand(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {BuildFolder() + "/karvelo"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

ProcessResult RunKarvelo(const std::vector<std::string>& arguments) { return RunProcess(KarveloCommand(arguments)); }

bool LoopbackAccepts(int port, bool ipv4) {
    sockaddr_storage address;
    ParseAddressLiteral(ipv4 ? "127.0.0.1" : "::1", &address);
    SetAddressPort(&address, port);
    int probe = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    bool connected = connect(probe, reinterpret_cast<sockaddr*>(&address), AddressLength(&address)) == 0;
    close(probe);
    return connected;
}

ServerStart AwaitServerStart(pid_t* pid, int port, bool ipv4, bool ipv6, int* exitCode) {
    const int waitMilliseconds = 5000;
    const int tickMilliseconds = 5;
    for (int waited = 0; waited < waitMilliseconds; waited += tickMilliseconds) {
        if (ProcessEnded(*pid, exitCode)) {
            *pid = -1;
            return SERVER_ENDED;
        }
        if ((!ipv4 || LoopbackAccepts(port, true)) && (!ipv6 || LoopbackAccepts(port, false))) return SERVER_ACCEPTS;
        SleepMilliseconds(tickMilliseconds);
    }
    return SERVER_SILENT;
}

bool StartOnFreeLoopbackPort(const std::function<bool(int port, bool* portTaken)>& startOnce, std::string* error) {
    const int attempts = 5;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        int port = UnusedLoopbackPort();
        if (port == 0) {
            *error = "no free loopback port";
            return false;
        }
        bool portTaken = false;
        if (startOnce(port, &portTaken)) return true;
        if (!portTaken) return false;
    }
    return false;
}
