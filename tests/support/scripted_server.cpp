#include "support/scripted_server.h"

#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/thread.h"

namespace {

// Every wait of the server and the feeder is cut into ticks so that a stop
// request is seen quickly, and none lasts beyond this bound.
const int TICK_MILLISECONDS = 10;
const int LONGEST_WAIT_MILLISECONDS = 15000;
// A request head larger than this is recorded as it is and answered anyway.
const size_t LARGEST_REQUEST = 65536;

}  // namespace

ScriptedResponse Reply(const std::string& bytes) { return ReplyInPieces({bytes}); }

ScriptedResponse ReplyInPieces(std::vector<std::string> writes, int pauseMilliseconds) {
    ScriptedResponse response;
    response.writes = std::move(writes);
    response.pauseMilliseconds = pauseMilliseconds;
    return response;
}

ScriptedConnection Serve(const ScriptedResponse& response) {
    ScriptedConnection connection;
    connection.responses.push_back(response);
    return connection;
}

ScriptedConnection ServeKeepingOpen(std::vector<ScriptedResponse> responses) {
    ScriptedConnection connection;
    connection.responses = std::move(responses);
    connection.closeAfterLastResponse = false;
    return connection;
}

ScriptedServer::ScriptedServer(std::vector<ScriptedConnection> script, int port) : script_(std::move(script)) {
    listener_ = ListenOnLoopback(port, 16);
    if (listener_ == NO_SOCKET) {
        served_ = true;
        return;
    }
    port_ = BoundPort(listener_);
    thread_ = std::thread(&ScriptedServer::Run, this);
}

ScriptedServer::~ScriptedServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ != NO_SOCKET) CloseSocket(listener_);
}

std::string ScriptedServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> ScriptedServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool ScriptedServer::WaitUntilServed(int milliseconds) const {
    for (int waited = 0; !served_.load(); waited += TICK_MILLISECONDS) {
        if (waited >= milliseconds) return false;
        SleepMilliseconds(TICK_MILLISECONDS);
    }
    return true;
}

bool ScriptedServer::Wait(SocketHandle socket) const {
    for (int waited = 0; waited < LONGEST_WAIT_MILLISECONDS && !stop_.load(); waited += TICK_MILLISECONDS) {
        if (WaitReadable(socket, TICK_MILLISECONDS)) return true;
    }
    return false;
}

void ScriptedServer::Run() {
    for (size_t index = 0; !stop_.load(); ++index) {
        if (index == script_.size()) served_ = true;
        if (!Wait(listener_)) break;
        SocketHandle connection = accept(listener_, nullptr, nullptr);
        if (connection == NO_SOCKET) continue;
        ++accepted_;
        if (index < script_.size()) ServeConnection(connection, script_[index]);
        CloseSocket(connection);
    }
    served_ = true;
}

bool ScriptedServer::ReadRequest(SocketHandle connection, std::string* pending) {
    for (;;) {
        size_t end = pending->find("\r\n\r\n");
        if (end != std::string::npos || pending->size() > LARGEST_REQUEST) {
            size_t length = end != std::string::npos ? end + 4 : pending->size();
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(pending->substr(0, length));
            pending->erase(0, length);
            return true;
        }
        if (!Wait(connection)) return false;
        char chunk[4096];
        int count = static_cast<int>(recv(connection, chunk, sizeof chunk, 0));
        if (count <= 0) {
            if (!pending->empty()) {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(*pending);
            }
            return false;
        }
        pending->append(chunk, static_cast<size_t>(count));
    }
}

void ScriptedServer::ServeConnection(SocketHandle connection, const ScriptedConnection& script) {
    int yes = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
    // A client that stops reading must not hold the server forever.
    timeval sendWait;
    sendWait.tv_sec = 3;
    sendWait.tv_usec = 0;
    setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendWait), sizeof sendWait);

    std::string pending;
    for (const ScriptedResponse& response : script.responses) {
        if (!ReadRequest(connection, &pending)) return;
        for (size_t i = 0; i < response.writes.size(); ++i) {
            if (i > 0 && response.pauseMilliseconds > 0)
                SleepMilliseconds(static_cast<unsigned>(response.pauseMilliseconds));
            std::string bytes = response.writes[i];
            for (size_t at = bytes.find(PORT_PLACEHOLDER); at != std::string::npos;
                 at = bytes.find(PORT_PLACEHOLDER, at)) {
                bytes.replace(at, std::strlen(PORT_PLACEHOLDER), std::to_string(port_));
            }
            if (stop_.load() || !SendAll(connection, bytes.data(), bytes.size())) return;
        }
    }
    if (script.closeAfterLastResponse) {
        if (script.pauseBeforeCloseMilliseconds > 0) {
            SleepMilliseconds(static_cast<unsigned>(script.pauseBeforeCloseMilliseconds));
        }
        return;
    }
    // Kept open: record whatever else arrives until the client closes.
    while (ReadRequest(connection, &pending)) {}
}

int UnusedLoopbackPort() {
    SocketHandle probe = ListenOnLoopback(0, 1);
    if (probe == NO_SOCKET) return 0;
    int port = BoundPort(probe);
    CloseSocket(probe);
    return port;
}

bool Ipv6LoopbackAvailable() {
    SocketHandle socket = OpenTcpSocket(AF_INET6);
    if (socket == NO_SOCKET) return false;
    sockaddr_storage address;
    ParseAddressLiteral("::1", &address);
    bool bound = bind(socket, reinterpret_cast<sockaddr*>(&address), AddressLength(&address)) == 0;
    CloseSocket(socket);
    return bound;
}

RefusingLoopbackPort::RefusingLoopbackPort() {
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (socket_ >= 0 && ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port_ = ntohs(address.sin_port);
    }
}

RefusingLoopbackPort::~RefusingLoopbackPort() {
    if (socket_ >= 0) ::close(socket_);
}

StalledListener::StalledListener() {
    // A backlog of 0 admits one pending connection; once the filler holds
    // it, further connection requests are dropped unanswered.
    listener_ = ListenOnLoopback(0, 0);
    if (listener_ == NO_SOCKET) return;
    port_ = BoundPort(listener_);
    filler_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = LoopbackAddress(port_);
    connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

StalledListener::~StalledListener() {
    if (filler_ != NO_SOCKET) CloseSocket(filler_);
    if (listener_ != NO_SOCKET) CloseSocket(listener_);
}

SocketFeeder::SocketFeeder(std::vector<std::string> writes, bool exactReceives, bool keepOpen) {
    int pair[2];
    if (socketpair(AF_UNIX, exactReceives ? SOCK_SEQPACKET : SOCK_STREAM, 0, pair) != 0) return;
    readEnd_ = pair[0];
    writeEnd_ = pair[1];
    thread_ = std::thread([this, writes = std::move(writes), keepOpen]() {
        for (const std::string& bytes : writes) {
            if (stop_.load() || !SendAll(writeEnd_, bytes.data(), bytes.size())) break;
        }
        if (!keepOpen) {
            CloseSocket(writeEnd_);
            writeEnd_ = NO_SOCKET;
        }
    });
}

SocketFeeder::~SocketFeeder() {
    stop_ = true;
    // Closing the reader's end first ends a send blocked on a full pair.
    if (readEnd_ != NO_SOCKET) shutdown(readEnd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (writeEnd_ != NO_SOCKET) CloseSocket(writeEnd_);
    if (readEnd_ != NO_SOCKET) CloseSocket(readEnd_);
}
