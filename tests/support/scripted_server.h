// Loopback peers for the HTTP client's tests.
//
// ScriptedServer plays a web server from a script: per connection, the
// responses to send (each cut into writes with pauses between them, so the
// client really sees separate receives), and whether to close afterwards.
// It listens on 127.0.0.1 on an ephemeral port, runs on its own thread,
// records the raw requests it receives, and bounds every wait, so a broken
// test fails instead of hanging.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"

// Writes may name the server's own port as PORT_PLACEHOLDER (for redirects
// back to the same server); it is replaced when the write goes out.
const char PORT_PLACEHOLDER[] = "{PORT}";

struct ScriptedResponse {
    std::vector<std::string> writes;  // each goes out in its own send
    int pauseMilliseconds = 30;       // before every write but the first
};

// The whole response in one write.
ScriptedResponse Reply(const std::string& bytes);
// The response cut into the given writes.
ScriptedResponse ReplyInPieces(std::vector<std::string> writes, int pauseMilliseconds = 30);

struct ScriptedConnection {
    // Before each response the server reads one request (up to its blank
    // line); a connection the client closes first ends there.
    std::vector<ScriptedResponse> responses;
    // After the last response: close (after the pause), or keep the
    // connection open until the client closes it or the server stops.
    bool closeAfterLastResponse = true;
    int pauseBeforeCloseMilliseconds = 0;
};

// One connection that answers one request and closes.
ScriptedConnection Serve(const ScriptedResponse& response);
// One connection that answers requests in turn and stays open (keep-alive).
ScriptedConnection ServeKeepingOpen(std::vector<ScriptedResponse> responses);

class ScriptedServer {
public:
    // Connections are served in the order they are accepted, one at a time;
    // any beyond the script are accepted and closed at once.  `port` 0 picks
    // an ephemeral one.
    explicit ScriptedServer(std::vector<ScriptedConnection> script, int port = 0);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    bool listening() const { return listener_ != NO_SOCKET; }
    // "http://127.0.0.1:<port>" + path.
    std::string Url(const std::string& path) const;
    // Every request received so far, raw, in order.
    std::vector<std::string> Requests() const;
    int AcceptedConnections() const { return accepted_.load(); }
    // Waits (at most `milliseconds`) until every scripted connection has
    // been served and closed; false on time-out.
    bool WaitUntilServed(int milliseconds = 5000) const;

private:
    void Run();
    void ServeConnection(SocketHandle connection, const ScriptedConnection& script);
    bool ReadRequest(SocketHandle connection, std::string* pending);
    bool Wait(SocketHandle socket) const;  // until readable or stopped

    std::vector<ScriptedConnection> script_;
    SocketHandle listener_ = NO_SOCKET;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> served_{false};
    std::atomic<int> accepted_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// A loopback port nothing listens on now: refused until a server is started
// on it.  Another server may take it first, so a port that must keep
// refusing is a RefusingLoopbackPort instead.
int UnusedLoopbackPort();

// Whether this machine has ::1 to listen on (ip -6 addr show lo).
bool Ipv6LoopbackAvailable();

// A loopback port that refuses connections for as long as the object lives:
// a socket bound to it without listening answers every connect with a
// reset, and keeps the port from going to a server started meanwhile.
class RefusingLoopbackPort {
public:
    RefusingLoopbackPort();
    ~RefusingLoopbackPort();
    RefusingLoopbackPort(const RefusingLoopbackPort&) = delete;
    RefusingLoopbackPort& operator=(const RefusingLoopbackPort&) = delete;
    int port() const { return port_; }

private:
    int socket_ = -1;
    int port_ = 0;
};

// A loopback listener whose accept queue is full: a connect to it gets no
// answer and runs into the connect wait.
class StalledListener {
public:
    StalledListener();
    ~StalledListener();
    int port() const { return port_; }

private:
    SocketHandle listener_ = NO_SOCKET;
    SocketHandle filler_ = NO_SOCKET;
    int port_ = 0;
};

// Feeds writes into one end of a local socket pair from its own thread, for
// readers that take a socket.  With `exactReceives` every write arrives as
// exactly one receive (a packet socket; a receive must then ask for at least
// the write's size); otherwise the pair is a byte stream and writes may merge.
// After the last write the feeder closes its end unless `keepOpen`, in which
// case the reader's receives run into their time-out.
class SocketFeeder {
public:
    SocketFeeder(std::vector<std::string> writes, bool exactReceives, bool keepOpen = false);
    ~SocketFeeder();
    SocketFeeder(const SocketFeeder&) = delete;
    SocketFeeder& operator=(const SocketFeeder&) = delete;

    SocketHandle readEnd() const { return readEnd_; }

private:
    SocketHandle readEnd_ = NO_SOCKET;
    SocketHandle writeEnd_ = NO_SOCKET;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
