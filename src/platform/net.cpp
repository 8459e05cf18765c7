// The portable half of net.h: loopback listeners, the network time-out and
// its test seam.
#include "platform/net.h"

#include <atomic>
#include <climits>
#include <cstring>

namespace {

// Read by the worker and the start-up thread; written only by tests.
std::atomic<int> timeoutOverride{0};

}  // namespace

sockaddr_in LoopbackAddress(int port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

SOCKET ListenOnLoopback(int port, int backlog) {
    SOCKET listener = OpenTcpSocket();
    if (listener == INVALID_SOCKET) return INVALID_SOCKET;
#ifndef _WIN32
    int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
    sockaddr_in address = LoopbackAddress(port);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, backlog) != 0) {
        closesocket(listener);
        return INVALID_SOCKET;
    }
    return listener;
}

int BoundPort(SOCKET socket) {
    sockaddr_in address;
#ifdef _WIN32
    int length = sizeof address;
#else
    socklen_t length = sizeof address;
#endif
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

int WaitReadable(SOCKET socket, int milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval wait = {0, milliseconds * 1000};
    return select(static_cast<int>(socket) + 1, &readable, nullptr, nullptr, &wait) > 0 ? 1 : 0;
}

int SendAll(SOCKET socket, const char* bytes, size_t length) {
    size_t sent = 0;
    while (sent < length) {
        size_t piece = length - sent;
        if (piece > static_cast<size_t>(INT_MAX)) piece = static_cast<size_t>(INT_MAX);
        int count = static_cast<int>(send(socket, bytes + sent, static_cast<int>(piece), MSG_NOSIGNAL));
        if (count <= 0) return 0;
        sent += static_cast<size_t>(count);
    }
    return 1;
}

int NetworkTimeoutMilliseconds() {
    int shortened = timeoutOverride.load();
    return shortened > 0 ? shortened : NETWORK_TIMEOUT_MILLISECONDS;
}

void SetNetworkTimeoutForTests(int milliseconds) { timeoutOverride.store(milliseconds > 0 ? milliseconds : 0); }
