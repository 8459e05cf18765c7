// The portable half of net.h: loopback listeners, the network time-out and
// its test seam.
#include "platform/net.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/thread.h"

namespace {

// Read by the worker and the start-up thread; written only by tests.
std::atomic<int> timeoutOverride{0};

std::atomic<HostLookupFn> hostLookup{nullptr};

// One name lookup, shared by the caller and the helper thread that runs
// it: whichever lets go last frees it, so a helper that outlives its
// caller's wait never writes into freed memory.
struct HostLookup {
    std::atomic<int> holders{2};
    std::atomic<int> done{0};
    Semaphore* ended = NewSemaphore(0);  // posted once `done` is set, to wake the caller
    std::string host;
    HostAddresses addresses;
    int found = 0;
};

void LetGo(HostLookup* lookup) {
    if (lookup->holders.fetch_sub(1) != 1) return;
    FreeSemaphore(lookup->ended);
    delete lookup;
}

int LookUpWithCurrentFunction(const char* host, HostAddresses* addresses) {
    addresses->count = 0;
    HostLookupFn lookup = hostLookup.load();
    int found = lookup != nullptr ? lookup(host, addresses) : LookUpHost(host, addresses);
    return found && addresses->count > 0 ? 1 : 0;
}

unsigned RunLookup(void* argument) {
    HostLookup* lookup = static_cast<HostLookup*>(argument);
    lookup->found = LookUpWithCurrentFunction(lookup->host.c_str(), &lookup->addresses);
    lookup->done.store(1);
    PostSemaphore(lookup->ended);
    LetGo(lookup);
    return 0;
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

SocketHandle ListenOnLoopback(int port, int backlog) {
    SocketHandle listener = OpenTcpSocket();
    if (listener == NO_SOCKET) return NO_SOCKET;
#ifndef _WIN32
    int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
    sockaddr_in address = LoopbackAddress(port);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, backlog) != 0) {
        CloseSocket(listener);
        return NO_SOCKET;
    }
    return listener;
}

int BoundPort(SocketHandle socket) {
    sockaddr_in address;
#ifdef _WIN32
    int length = sizeof address;
#else
    socklen_t length = sizeof address;
#endif
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

int WaitReadable(SocketHandle socket, int milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval wait = {0, milliseconds * 1000};
    return select(static_cast<int>(socket) + 1, &readable, nullptr, nullptr, &wait) > 0 ? 1 : 0;
}

int MillisecondsSince(std::chrono::steady_clock::time_point since) {
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since);
    return elapsed.count() > INT_MAX ? INT_MAX : static_cast<int>(elapsed.count());
}

bool BudgetGivenUp(const WaitBudget* budget) {
    return budget != nullptr && budget->givenUp != nullptr && budget->givenUp(budget->context);
}

struct WakeSignal {
    SocketHandle receiver;
    SocketHandle sender;
};

WakeSignal* NewWakeSignal() {
    WakeSignal* wake = new WakeSignal;
    if (!OpenWakeSockets(&wake->receiver, &wake->sender)) {
        delete wake;
        return nullptr;
    }
    return wake;
}

void SignalWake(WakeSignal* wake) {
    // A full queue already holds a signal: the byte that did not fit is not missed.
    const char signal = 1;
    send(wake->sender, &signal, 1, MSG_NOSIGNAL);
}

void FreeWakeSignal(WakeSignal* wake) {
    if (wake == nullptr) return;
    if (wake->sender != wake->receiver) CloseSocket(wake->sender);
    CloseSocket(wake->receiver);
    delete wake;
}

namespace {

// Empties the signals queued so far (the receiver does not block).
void TakeWake(WakeSignal* wake) {
    char signals[64];
    while (recv(wake->receiver, signals, sizeof signals, 0) > 0) {}
}

}  // namespace

SocketWait AwaitSocketOrWake(SocketHandle socket, bool forWrite, WakeSignal* wake, const WaitBudget* budget) {
    const auto start = std::chrono::steady_clock::now();
    const int timeout = NetworkTimeoutMilliseconds();
    const SocketHandle highest = wake != nullptr && wake->receiver > socket ? wake->receiver : socket;
    for (;;) {
        if (BudgetGivenUp(budget)) {
            SetTimedOutSocketError();
            return SOCKET_WAIT_GIVEN_UP;
        }
        int left = timeout - MillisecondsSince(start);
        if (left <= 0) {
            SetTimedOutSocketError();
            return SOCKET_WAIT_TIMED_OUT;
        }
        int slice = left < NETWORK_WAIT_SLICE_MILLISECONDS ? left : NETWORK_WAIT_SLICE_MILLISECONDS;
        fd_set readable, writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_SET(socket, forWrite ? &writable : &readable);
        if (wake != nullptr) FD_SET(wake->receiver, &readable);
        timeval wait = {slice / 1000, (slice % 1000) * 1000};
        const bool watchesReads = !forWrite || wake != nullptr;
        int ready = select(static_cast<int>(highest) + 1, watchesReads ? &readable : nullptr,
                           forWrite ? &writable : nullptr, nullptr, &wait);
        if (ready < 0) return SOCKET_WAIT_FAILED;
        if (wake != nullptr && FD_ISSET(wake->receiver, &readable)) {
            TakeWake(wake);
            return SOCKET_WOKEN;
        }
        if (ready > 0) return SOCKET_READY;
    }
}

SocketWait AwaitSocket(SocketHandle socket, bool forWrite, const WaitBudget* budget) {
    return AwaitSocketOrWake(socket, forWrite, nullptr, budget);
}

bool AddHostAddress(HostAddresses* addresses, const sockaddr* address) {
    if (addresses->count >= HOST_ADDRESS_LIMIT) return false;
    sockaddr_storage* item = &addresses->items[addresses->count];
    std::memset(item, 0, sizeof *item);
    if (address->sa_family == AF_INET) {
        std::memcpy(item, address, sizeof(sockaddr_in));
    } else if (address->sa_family == AF_INET6) {
        std::memcpy(item, address, sizeof(sockaddr_in6));
    } else {
        return false;
    }
    SetAddressPort(item, 0);
    ++addresses->count;
    return true;
}

int IsIpv6Literal(const char* text) {
    in6_addr address;
    return text != nullptr && inet_pton(AF_INET6, text, &address) == 1 ? 1 : 0;
}

int ParseAddressLiteral(const char* host, sockaddr_storage* address) {
    if (host == nullptr || host[0] == '\0') return 0;
    std::memset(address, 0, sizeof *address);
    // Every form inet_addr reads: packages hold "127.1" and "0x7f000001" too.
    unsigned long numeric = inet_addr(host);
    if (numeric != INADDR_NONE || std::strcmp(host, "255.255.255.255") == 0) {
        sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = static_cast<decltype(v4->sin_addr.s_addr)>(numeric);
        return 1;
    }
    sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(address);
    if (inet_pton(AF_INET6, host, &v6->sin6_addr) != 1) return 0;
    v6->sin6_family = AF_INET6;
    return 1;
}

int LookUpHost(const char* host, HostAddresses* addresses) {
    addresses->count = 0;
    if (host == nullptr || host[0] == '\0') return 0;
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0) return 0;
    for (addrinfo* at = found; at != nullptr; at = at->ai_next) {
        if (at->ai_addr != nullptr) AddHostAddress(addresses, at->ai_addr);
    }
    freeaddrinfo(found);
    return addresses->count > 0 ? 1 : 0;
}

int ResolveHost(const char* host, HostAddresses* addresses, const WaitBudget* budget) {
    addresses->count = 0;
    if (host == nullptr || host[0] == '\0') return 0;
    // A literal needs no lookup.
    if (ParseAddressLiteral(host, &addresses->items[0])) {
        addresses->count = 1;
        return 1;
    }
    HostLookup* lookup = new HostLookup;
    lookup->host = host;
    if (!StartDetachedThread(RunLookup, lookup)) {
        delete lookup;  // no helper: look up here, unbounded as before
        return LookUpWithCurrentFunction(host, addresses);
    }
    const auto start = std::chrono::steady_clock::now();
    const int timeout = NetworkTimeoutMilliseconds();
    // Woken by the lookup's end; between slices the budget is asked, as
    // every network wait does.
    for (int left = timeout; lookup->done.load() == 0 && !BudgetGivenUp(budget) && left > 0;
         left = timeout - MillisecondsSince(start)) {
        WaitSemaphoreFor(
            lookup->ended,
            static_cast<unsigned>(left < NETWORK_WAIT_SLICE_MILLISECONDS ? left : NETWORK_WAIT_SLICE_MILLISECONDS));
    }
    int found = 0;
    if (lookup->done.load() != 0 && lookup->found) {
        *addresses = lookup->addresses;
        found = 1;
    }
    LetGo(lookup);
    return found;
}

void OrderAddressesForRace(HostAddresses* addresses) {
    sockaddr_storage v6[HOST_ADDRESS_LIMIT];
    sockaddr_storage v4[HOST_ADDRESS_LIMIT];
    int v6Count = 0, v4Count = 0;
    for (int i = 0; i < addresses->count; ++i) {
        if (addresses->items[i].ss_family == AF_INET6) {
            v6[v6Count++] = addresses->items[i];
        } else {
            v4[v4Count++] = addresses->items[i];
        }
    }
    int count = 0;
    for (int i = 0; i < v6Count || i < v4Count; ++i) {
        if (i < v6Count) addresses->items[count++] = v6[i];
        if (i < v4Count) addresses->items[count++] = v4[i];
    }
}

void FormatAddress(const sockaddr_storage* address, char* text, size_t size) {
    char plain[INET6_ADDRSTRLEN] = "";
    if (address->ss_family == AF_INET6) {
        // inet_ntop takes a non-const pointer under older Winsock headers.
        in6_addr bytes = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        if (inet_ntop(AF_INET6, &bytes, plain, sizeof plain) == nullptr) plain[0] = '\0';
        std::snprintf(text, size, "%s", plain);
        return;
    }
    const unsigned char* bytes =
        reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    std::snprintf(text, size, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

int AddressLength(const sockaddr_storage* address) {
    return static_cast<int>(address->ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
}

void SetAddressPort(sockaddr_storage* address, int port) {
    unsigned short networkPort = htons(static_cast<unsigned short>(port & 0xFFFF));
    if (address->ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(address)->sin6_port = networkPort;
    } else if (address->ss_family == AF_INET) {
        reinterpret_cast<sockaddr_in*>(address)->sin_port = networkPort;
    }
}

void SetHostLookupForTests(HostLookupFn lookup) { hostLookup.store(lookup); }

int ConnectSocket(SocketHandle socket, const sockaddr_storage* peer) {
    return connect(socket, reinterpret_cast<const sockaddr*>(peer), AddressLength(peer));
}

bool AwaitConnects(const SocketHandle* sockets, int count, int milliseconds, int* outcomes) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    SocketHandle highest = 0;
    for (int i = 0; i < count; ++i) {
        FD_SET(sockets[i], &writable);
        FD_SET(sockets[i], &failed);
        if (sockets[i] > highest) highest = sockets[i];
    }
    timeval wait = {milliseconds / 1000, (milliseconds % 1000) * 1000};
    int ready = select(static_cast<int>(highest) + 1, nullptr, &writable, &failed, &wait);
    if (ready < 0) return false;
    for (int i = 0; i < count; ++i) {
        outcomes[i] = 0;
        if (ready == 0) continue;
        if (FD_ISSET(sockets[i], &failed)) {
            outcomes[i] = ConnectErrorAfterException(sockets[i]);
        } else if (FD_ISSET(sockets[i], &writable)) {
            int error = ConnectErrorAfterSelect(sockets[i]);
            outcomes[i] = error == 0 ? CONNECT_SUCCEEDED : error;
        }
    }
    return true;
}

void SendSmallWritesAtOnce(SocketHandle socket) {
    const int noDelay = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
}

int ReceiveFromSocket(SocketHandle socket, char* into, int room) {
    return static_cast<int>(recv(socket, into, room, 0));
}

int SendAll(SocketHandle socket, const char* bytes, size_t length) {
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
