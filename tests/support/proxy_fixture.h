// A real forward proxy for the HTTP client's proxy tests and benchmark:
// Debian's tinyproxy, run as a child process in the foreground on
// 127.0.0.1 at a free port, with its configuration, log and pid file in a
// folder of its own.  It answers absolute-form requests and CONNECT
// tunnels, the latter only to the ports a test allows; with credentials it
// asks every client for them (407 without).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

const char TINYPROXY_PROGRAM[] = "/usr/bin/tinyproxy";

// True when TINYPROXY_PROGRAM exists and can be run.
bool TinyproxyAvailable();

class TinyProxy {
public:
    // CONNECT goes only to `connectPorts` (none: to no port at all); a
    // non-empty `user` makes the proxy ask for Basic credentials.
    explicit TinyProxy(const std::vector<int>& connectPorts, const std::string& user = "",
                       const std::string& password = "");
    ~TinyProxy();
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;

    // Starts tinyproxy and returns once it accepts connections; false
    // (with error() saying why) when it does not come up.
    bool Start();
    void Stop();
    const std::string& error() const { return error_; }
    int port() const { return port_; }
    // "http://[user:password@]127.0.0.1:<port>", as http_proxy takes it.
    std::string Url(bool withCredentials = true) const;
    // What tinyproxy logged so far (its requests at LogLevel Info).
    std::string Log() const;

private:
    bool StartOnce(int port, bool* portTaken);

    std::vector<int> connectPorts_;
    std::string user_;
    std::string password_;
    std::string folder_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string error_;
};
