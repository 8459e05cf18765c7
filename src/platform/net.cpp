// The portable half of net.h: loopback listeners, the network time-out and
// its test seam.
#include "platform/net.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>

#include "platform/thread.h"

namespace {

// Read by the worker and the start-up thread; written only by tests.
std::atomic<int> timeoutOverride{0};

thread_local NetworkWaitCheck waitCheck = nullptr;
thread_local void* waitCheckContext = nullptr;

std::atomic<HostLookupFn> hostLookup{nullptr};

// How often a waiting caller looks whether its lookup has finished.
const unsigned LOOKUP_POLL_MILLISECONDS = 5;

// One name lookup, shared by the caller and the helper thread that runs
// it: whichever lets go last frees it, so a helper that outlives its
// caller's wait never writes into freed memory.
struct HostLookup {
    std::atomic<int> holders{2};
    std::atomic<int> done{0};
    std::string host;
    in_addr address;
    int found = 0;
};

void LetGo(HostLookup* lookup) {
    if (lookup->holders.fetch_sub(1) == 1) delete lookup;
}

int LookUpWithCurrentFunction(const char* host, in_addr* address) {
    HostLookupFn lookup = hostLookup.load();
    return lookup != nullptr ? lookup(host, address) : LookUpHostIpv4(host, address);
}

unsigned RunLookup(void* argument) {
    HostLookup* lookup = static_cast<HostLookup*>(argument);
    in_addr address;
    std::memset(&address, 0, sizeof address);
    int found = LookUpWithCurrentFunction(lookup->host.c_str(), &address);
    lookup->address = address;
    lookup->found = found;
    lookup->done.store(1);
    LetGo(lookup);
    return 0;
}

int ElapsedMilliseconds(std::chrono::steady_clock::time_point since) {
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since);
    return elapsed.count() > INT_MAX ? INT_MAX : static_cast<int>(elapsed.count());
}

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

void SetNetworkWaitCheck(NetworkWaitCheck check, void* context) {
    waitCheck = check;
    waitCheckContext = context;
}

bool NetworkWaitGivenUp() { return waitCheck != nullptr && waitCheck(waitCheckContext); }

SocketWait AwaitSocket(SOCKET socket, bool forWrite) {
    const auto start = std::chrono::steady_clock::now();
    const int timeout = NetworkTimeoutMilliseconds();
    for (;;) {
        if (NetworkWaitGivenUp()) {
            SetTimedOutSocketError();
            return SOCKET_WAIT_GIVEN_UP;
        }
        int left = timeout - ElapsedMilliseconds(start);
        if (left <= 0) {
            SetTimedOutSocketError();
            return SOCKET_WAIT_TIMED_OUT;
        }
        int slice = left < NETWORK_WAIT_SLICE_MILLISECONDS ? left : NETWORK_WAIT_SLICE_MILLISECONDS;
        fd_set watched;
        FD_ZERO(&watched);
        FD_SET(socket, &watched);
        timeval wait = {slice / 1000, (slice % 1000) * 1000};
        int ready = select(static_cast<int>(socket) + 1, forWrite ? nullptr : &watched, forWrite ? &watched : nullptr,
                           nullptr, &wait);
        if (ready > 0) return SOCKET_READY;
        if (ready < 0) return SOCKET_WAIT_FAILED;
    }
}

int ResolveHostIpv4(const char* host, in_addr* address) {
    if (host == nullptr || host[0] == '\0') return 0;
    // A dotted quad (in any of the forms inet_addr reads) needs no lookup.
    unsigned long numeric = inet_addr(host);
    if (numeric != INADDR_NONE || std::strcmp(host, "255.255.255.255") == 0) {
        address->s_addr = static_cast<decltype(address->s_addr)>(numeric);
        return 1;
    }
    HostLookup* lookup = new HostLookup;
    lookup->host = host;
    if (!StartDetachedThread(RunLookup, lookup)) {
        delete lookup;  // no helper: look up here, unbounded as before
        return LookUpWithCurrentFunction(host, address);
    }
    const auto start = std::chrono::steady_clock::now();
    const int timeout = NetworkTimeoutMilliseconds();
    while (lookup->done.load() == 0 && !NetworkWaitGivenUp() && ElapsedMilliseconds(start) < timeout) {
        SleepMilliseconds(LOOKUP_POLL_MILLISECONDS);
    }
    int found = 0;
    if (lookup->done.load() != 0 && lookup->found) {
        *address = lookup->address;
        found = 1;
    }
    LetGo(lookup);
    return found;
}

void SetHostLookupForTests(HostLookupFn lookup) { hostLookup.store(lookup); }

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
