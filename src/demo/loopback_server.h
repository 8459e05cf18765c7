// A small HTTP/1.1 image server on 127.0.0.1: it answers GET requests by
// path from a handler, keeps connections alive when the client asks, and
// serves each connection on its own thread.  The command line's demo serves
// its sample images with it, and the tests (the core's, the command line's
// and the Win32 program's) their images.  Neither program's core needs it, so
// it is a library of its own (karvelo_loopback) that only they link.
#pragma once

#include "platform/net.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct LoopbackResponse {
    int status = 404;  // 200, 404, 302, ...
    std::string body;
    std::string contentType = "application/octet-stream";
    std::string location;  // for redirects
    // Closes the connection after this response though it says keep-alive,
    // as a host whose idle time-out runs out between two requests.
    bool dropAfter = false;
};

class LoopbackImageServer {
public:
    using Handler = std::function<LoopbackResponse(const std::string& path)>;

    explicit LoopbackImageServer(Handler handler);
    ~LoopbackImageServer();
    LoopbackImageServer(const LoopbackImageServer&) = delete;
    LoopbackImageServer& operator=(const LoopbackImageServer&) = delete;

    // Listens on 127.0.0.1 (`port` 0: an ephemeral port); false on failure.
    bool Start(int port = 0);
    int port() const { return port_; }
    // "http://127.0.0.1:<port>" + path.
    std::string Url(const std::string& path) const;
    // Paths requested so far, in order, and connections accepted.
    std::vector<std::string> RequestedPaths() const;
    int Connections() const { return connections_.load(); }
    int Served() const { return served_.load(); }

private:
    void AcceptLoop();
    void ServeConnection(SocketHandle connection);

    Handler handler_;
    SocketHandle listener_ = NO_SOCKET;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> served_{0};
    std::atomic<int> active_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> paths_;
};
