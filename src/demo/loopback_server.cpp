#include "platform/net.h"  // Winsock before <windows.h>

#include "demo/loopback_server.h"

#include <chrono>
#include <thread>

namespace {

const size_t REQUEST_HEAD_LIMIT = 65536;
const int POLL_MILLISECONDS = 100;

const char* ReasonOf(int status) {
    switch (status) {
        case 200: return "OK";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 404: return "Not Found";
        default: return "Error";
    }
}

}  // namespace

LoopbackImageServer::LoopbackImageServer(Handler handler) : handler_(std::move(handler)) {}

LoopbackImageServer::~LoopbackImageServer() {
    stopping_ = true;
    // 2: both directions (SHUT_RDWR, SD_BOTH).
    if (listener_ != NO_SOCKET) shutdown(listener_, 2);
    // Connection threads notice the stop within one poll interval.
    while (active_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (listener_ != NO_SOCKET) CloseSocket(listener_);
}

bool LoopbackImageServer::Start(int port) {
    listener_ = ListenOnLoopback(port, 64);
    if (listener_ == NO_SOCKET) return false;
    port_ = BoundPort(listener_);
    if (port_ == 0) {
        CloseSocket(listener_);
        listener_ = NO_SOCKET;
        return false;
    }
    ++active_;
    std::thread(&LoopbackImageServer::AcceptLoop, this).detach();
    return true;
}

std::string LoopbackImageServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> LoopbackImageServer::RequestedPaths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return paths_;
}

void LoopbackImageServer::AcceptLoop() {
    while (!stopping_) {
        if (!WaitReadable(listener_, POLL_MILLISECONDS)) continue;
        SocketHandle connection = accept(listener_, nullptr, nullptr);
        if (connection == NO_SOCKET) continue;
        ++connections_;
        ++active_;
        std::thread(&LoopbackImageServer::ServeConnection, this, connection).detach();
    }
    --active_;
}

void LoopbackImageServer::ServeConnection(SocketHandle connection) {
    std::string pending;
    char buffer[8192];
    bool open = true;
    while (open && !stopping_) {
        size_t end = pending.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (!WaitReadable(connection, POLL_MILLISECONDS)) continue;
            int got = recv(connection, buffer, sizeof buffer, 0);
            if (got <= 0 || pending.size() > REQUEST_HEAD_LIMIT) break;
            pending.append(buffer, static_cast<size_t>(got));
            continue;
        }
        std::string head = pending.substr(0, end);
        pending.erase(0, end + 4);
        size_t pathStart = head.find(' ');
        size_t pathEnd = pathStart == std::string::npos ? std::string::npos : head.find(' ', pathStart + 1);
        if (pathEnd == std::string::npos) break;
        std::string path = head.substr(pathStart + 1, pathEnd - pathStart - 1);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            paths_.push_back(path);
        }
        bool keepAlive =
            head.find(" HTTP/1.1\r\n") != std::string::npos && head.find("Connection: close") == std::string::npos;
        LoopbackResponse response = handler_(path);
        std::string bytes = "HTTP/1.1 " + std::to_string(response.status) + " " + ReasonOf(response.status) + "\r\n";
        if (!response.location.empty()) bytes += "Location: " + response.location + "\r\n";
        bytes += "Content-Type: " + response.contentType +
                 "\r\nContent-Length: " + std::to_string(response.body.size()) + "\r\n";
        bytes += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
        bytes += response.body;
        if (!SendAll(connection, bytes.data(), bytes.size())) break;
        ++served_;
        open = keepAlive && !response.dropAfter;
    }
    CloseSocket(connection);
    --active_;
}
