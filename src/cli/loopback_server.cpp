#include "cli/loopback_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

bool SendAll(int connection, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

LoopbackImageServer::LoopbackImageServer(Handler handler) : handler_(std::move(handler)) {}

LoopbackImageServer::~LoopbackImageServer() {
    stopping_ = true;
    if (listener_ >= 0) shutdown(listener_, SHUT_RDWR);
    // Connection threads notice the stop within one poll interval.
    while (active_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (listener_ >= 0) close(listener_);
}

bool LoopbackImageServer::Start(int port) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    if (listener_ < 0) return false;
    int reuse = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 64) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(listener_);
        listener_ = -1;
        return false;
    }
    port_ = ntohs(address.sin_port);
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
        pollfd waiting = {listener_, POLLIN, 0};
        if (poll(&waiting, 1, POLL_MILLISECONDS) <= 0) continue;
        int connection = accept(listener_, nullptr, nullptr);
        if (connection < 0) continue;
        ++connections_;
        ++active_;
        std::thread(&LoopbackImageServer::ServeConnection, this, connection).detach();
    }
    --active_;
}

void LoopbackImageServer::ServeConnection(int connection) {
    std::string pending;
    char buffer[8192];
    bool open = true;
    while (open && !stopping_) {
        size_t end = pending.find("\r\n\r\n");
        if (end == std::string::npos) {
            pollfd waiting = {connection, POLLIN, 0};
            if (poll(&waiting, 1, POLL_MILLISECONDS) <= 0) continue;
            ssize_t got = recv(connection, buffer, sizeof buffer, 0);
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
        bool keepAlive = head.find(" HTTP/1.1\r\n") != std::string::npos &&
                         head.find("Connection: close") == std::string::npos;
        LoopbackResponse response = handler_(path);
        std::string bytes = "HTTP/1.1 " + std::to_string(response.status) + " " + ReasonOf(response.status) + "\r\n";
        if (!response.location.empty()) bytes += "Location: " + response.location + "\r\n";
        bytes += "Content-Type: " + response.contentType + "\r\nContent-Length: " +
                 std::to_string(response.body.size()) + "\r\n";
        bytes += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
        bytes += response.body;
        if (!SendAll(connection, bytes)) break;
        ++served_;
        open = keepAlive;
    }
    close(connection);
    --active_;
}
