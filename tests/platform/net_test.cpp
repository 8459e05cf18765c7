// The socket layer under the HTTP client, on loopback only.  The same tests
// run on POSIX and, in the Windows build, over Winsock under Wine.
#include "platform/net.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "http/url.h"
#include "platform/thread.h"

namespace {

// Bounds every wait of these tests, so a broken one fails instead of hanging.
const int GUARD_MILLISECONDS = 5000;

// A listener on an ephemeral loopback port.
struct Listener {
    SocketHandle socket = ListenOnLoopback(0, 4);
    int port = socket != NO_SOCKET ? BoundPort(socket) : 0;

    ~Listener() {
        if (socket != NO_SOCKET) CloseSocket(socket);
    }
};

// select on one socket's write and exception sets: 1 writable, 0 not
// (time-out, or only an exception), -1 error.  *failed tells the exception.
int WaitWritable(SocketHandle socket, int milliseconds, bool* failed) {
    fd_set writeSet, errorSet;
    FD_ZERO(&writeSet);
    FD_ZERO(&errorSet);
    FD_SET(socket, &writeSet);
    FD_SET(socket, &errorSet);
    timeval wait;
    wait.tv_sec = milliseconds / 1000;
    wait.tv_usec = (milliseconds % 1000) * 1000;
    int ready = select(static_cast<int>(socket) + 1, nullptr, &writeSet, &errorSet, &wait);
    *failed = ready > 0 && FD_ISSET(socket, &errorSet);
    if (ready < 0) return -1;
    return ready > 0 && FD_ISSET(socket, &writeSet) ? 1 : 0;
}

SocketHandle StartConnect(int port) {
    SocketHandle socket = OpenTcpSocket();
    EXPECT_EQ(0, SetSocketNonBlocking(socket, true));
    sockaddr_in address = LoopbackAddress(port);
    connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return socket;
}

class NetworkPlatform : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, StartNetwork()); }
    void TearDown() override {
        SetNetworkTimeoutForTests(0);
        StopNetwork();
    }
};

}  // namespace

// An IPv6 address in brackets, as beside a port.
std::string AddressText(const sockaddr_storage& address) {
    char plain[64];
    FormatAddress(&address, plain, sizeof plain);
    char text[64];
    FormatHostPort(text, sizeof text, "", plain, -1);
    return text;
}

// Literals are read at once, in every spelling a package may hold; a name
// goes to the system's lookup.  The first address, as text ("" when none).
TEST_F(NetworkPlatform, ResolvesLiteralsAndNames) {
    const struct {
        const char* host;
        const char* first;
    } cases[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"127.1.2.3", "127.1.2.3"},
        {"127.000.00.0001", "127.0.0.1"},  // leading zeros on 0 and 1 keep their value
        {"127.1", "127.0.0.1"},
        {"0x7f000001", "127.0.0.1"},
        {"255.255.255.255", "255.255.255.255"},
        {"::1", "[::1]"},
        {"2001:DB8:0:0:0:0:0:1", "[2001:db8::1]"},
        {"::ffff:10.0.0.1", "[::ffff:10.0.0.1]"},
        {"2001:db8::1::2", ""},  // two "::" make no address, nor a name
        {"", ""},
        {nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host != nullptr ? c.host : "(null)");
        HostAddresses addresses;
        int found = ResolveHost(c.host, &addresses, nullptr);
        EXPECT_EQ(c.first[0] != '\0' ? 1 : 0, found);
        if (found) {
            ASSERT_EQ(1, addresses.count);
            EXPECT_EQ(c.first, AddressText(addresses.items[0]));
        }
    }
    HostAddresses local;
    ASSERT_EQ(1, ResolveHost("localhost", &local, nullptr));
    bool loopback = false;
    for (int i = 0; i < local.count; ++i) {
        std::string text = AddressText(local.items[i]);
        loopback = loopback || text == "[::1]" || text.compare(0, 4, "127.") == 0;
    }
    EXPECT_TRUE(loopback);
}

// The race's order: IPv6 first, then the families take turns, each in the
// resolver's order.
TEST_F(NetworkPlatform, OrdersAddressesForTheRace) {
    const struct {
        std::vector<const char*> resolved;
        std::string ordered;
    } cases[] = {
        {{"10.0.0.1", "10.0.0.2", "::1", "::2", "::3"}, "[::1] 10.0.0.1 [::2] 10.0.0.2 [::3] "},
        {{"10.0.0.1", "::1"}, "[::1] 10.0.0.1 "},
        {{"::1", "::2"}, "[::1] [::2] "},
        {{"10.0.0.2", "10.0.0.1"}, "10.0.0.2 10.0.0.1 "},
        {{}, ""},
    };
    for (const auto& c : cases) {
        HostAddresses addresses;
        addresses.count = 0;
        for (const char* literal : c.resolved) {
            sockaddr_storage address;
            ASSERT_EQ(1, ParseAddressLiteral(literal, &address));
            ASSERT_TRUE(AddHostAddress(&addresses, reinterpret_cast<sockaddr*>(&address)));
        }
        OrderAddressesForRace(&addresses);
        std::string ordered;
        for (int i = 0; i < addresses.count; ++i) ordered += AddressText(addresses.items[i]) + " ";
        EXPECT_EQ(c.ordered, ordered);
    }
}

TEST_F(NetworkPlatform, NonBlockingConnectThenBlockingWithTimeouts) {
    Listener listener;
    ASSERT_NE(NO_SOCKET, listener.socket);
    SocketHandle client = StartConnect(listener.port);
    ASSERT_NE(NO_SOCKET, client);
    bool failed = false;
    ASSERT_EQ(1, WaitWritable(client, GUARD_MILLISECONDS, &failed));
    EXPECT_FALSE(failed);
    EXPECT_EQ(0, ConnectErrorAfterSelect(client));
    SocketHandle peer = accept(listener.socket, nullptr, nullptr);
    ASSERT_NE(NO_SOCKET, peer);

    // Still non-blocking: a receive with nothing to read fails at once.  The
    // error is read where the system keeps it (WSAGetLastError under
    // Winsock, errno on POSIX) and told apart by kind.
    char byte;
    EXPECT_EQ(SOCKET_CALL_FAILED, recv(client, &byte, 1, 0));
    int error = LastSocketError();
    EXPECT_EQ(SOCKET_WOULD_BLOCK, ClassifySocketError(error, false)) << error;

    // Blocking with a short time-out: the receive gives up by itself.  The
    // guard closes the peer's sending side if it does not, which shows as 0
    // (end of stream) instead of the time-out's SOCKET_CALL_FAILED.
    ASSERT_EQ(0, SetSocketNonBlocking(client, false));
    SetNetworkTimeoutForTests(200);
    SetSocketTimeouts(client);
    std::atomic<bool> received{false};
    std::thread guard([&] {
        for (int waited = 0; waited < GUARD_MILLISECONDS && !received.load(); waited += 10) SleepMilliseconds(10);
        if (!received.load()) shutdown(peer, 1);  // SD_SEND / SHUT_WR
    });
    int got = recv(client, &byte, 1, 0);
    error = LastSocketError();
    received = true;
    guard.join();
    EXPECT_EQ(SOCKET_CALL_FAILED, got);
    EXPECT_EQ(SOCKET_TIMED_OUT, ClassifySocketError(error, true)) << error;
#ifdef _WIN32
    EXPECT_EQ(WSAETIMEDOUT, error);  // not errno, which Winsock leaves alone
#endif
    EXPECT_EQ(SOCKET_OTHER_ERROR, ClassifySocketError(0, true));

    // The connection still carries data both ways after the time-out.
    ASSERT_EQ(1, send(peer, "x", 1, MSG_NOSIGNAL));
    SetNetworkTimeoutForTests(GUARD_MILLISECONDS);
    SetSocketTimeouts(client);
    ASSERT_EQ(1, recv(client, &byte, 1, 0));
    EXPECT_EQ('x', byte);
    EXPECT_EQ(0, CloseSocket(peer));
    EXPECT_EQ(0, CloseSocket(client));
}

TEST_F(NetworkPlatform, RefusedConnectIsReportedWhereTheSystemReportsIt) {
    int port;
    {
        Listener closed;
        ASSERT_NE(NO_SOCKET, closed.socket);
        port = closed.port;
    }
    SocketHandle client = StartConnect(port);
    ASSERT_NE(NO_SOCKET, client);
    bool failed = false;
    int ready = WaitWritable(client, 1000, &failed);
#ifdef _WIN32
    // Winsock: never writable; the failure shows only in the exception set,
    // which the HTTP client's connect watches for it.
    EXPECT_EQ(0, ready);
    EXPECT_TRUE(failed);
    EXPECT_EQ(0, ConnectErrorAfterSelect(client));
    EXPECT_EQ(WSAECONNREFUSED, ConnectErrorAfterException(client));
#else
    // Linux: writable at once, with the error kept for ConnectErrorAfterSelect.
    EXPECT_EQ(1, ready);
    EXPECT_NE(0, ConnectErrorAfterSelect(client));
#endif
    CloseSocket(client);
}

TEST_F(NetworkPlatform, PeerResetIsClassifiedAsAReset) {
#ifdef _WIN32
    // Wine closes a socket with a zero linger time gracefully, so the reset
    // itself is seen on POSIX only; here the codes Winsock reports it with.
    EXPECT_EQ(SOCKET_CONNECTION_RESET, ClassifySocketError(WSAECONNRESET, true));
    EXPECT_EQ(SOCKET_CONNECTION_RESET, ClassifySocketError(WSAECONNABORTED, true));
#else
    Listener listener;
    ASSERT_NE(NO_SOCKET, listener.socket);
    SocketHandle client = OpenTcpSocket();
    sockaddr_in address = LoopbackAddress(listener.port);
    ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address));
    SocketHandle peer = accept(listener.socket, nullptr, nullptr);
    ASSERT_NE(NO_SOCKET, peer);
    SetNetworkTimeoutForTests(GUARD_MILLISECONDS);
    SetSocketTimeouts(client);

    // An abortive close: linger on, no time.
    linger abortive;
    abortive.l_onoff = 1;
    abortive.l_linger = 0;
    ASSERT_EQ(0, setsockopt(peer, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof abortive));
    ASSERT_EQ(0, CloseSocket(peer));
    char byte;
    int got = recv(client, &byte, 1, 0);
    int error = LastSocketError();
    EXPECT_EQ(SOCKET_CALL_FAILED, got);
    EXPECT_EQ(SOCKET_CONNECTION_RESET, ClassifySocketError(error, true)) << error;
    EXPECT_EQ(0, CloseSocket(client));
#endif
}

namespace {

std::atomic<bool> giveUp{false};
bool GiveUpWhenAsked(void*) { return giveUp.load(); }

std::atomic<bool> lookupReleased{false};
std::atomic<int> lookupsRunning{0};
int LookupThatHangs(const char*, HostAddresses*) {
    ++lookupsRunning;
    while (!lookupReleased.load()) SleepMilliseconds(10);
    --lookupsRunning;
    return 1;
}

}  // namespace

// A wait on a silent peer, and a name lookup that never answers, end at the
// network time-out, or sooner when their budget says so; either way
// the socket error reads as a time-out.  The lookup's helper thread, left
// behind, finishes later without touching the caller's memory.
TEST_F(NetworkPlatform, LongWaitsEndAtTheTimeOutOrTheThreadsCheck) {
    Listener listener;
    ASSERT_NE(NO_SOCKET, listener.socket);
    SocketHandle client = StartConnect(listener.port);
    bool failed = false;
    ASSERT_EQ(1, WaitWritable(client, GUARD_MILLISECONDS, &failed));
    SocketHandle peer = accept(listener.socket, nullptr, nullptr);
    ASSERT_NE(NO_SOCKET, peer);
    SetHostLookupForTests(LookupThatHangs);
    lookupReleased = false;
    SetNetworkTimeoutForTests(200);
    HostAddresses address;
    for (bool check : {false, true}) {
        SCOPED_TRACE(check ? "check gives up" : "time-out");
        giveUp = check;
        const WaitBudget budget = {GiveUpWhenAsked, nullptr};
        EXPECT_EQ(check ? SOCKET_WAIT_GIVEN_UP : SOCKET_WAIT_TIMED_OUT, AwaitSocket(client, false, &budget));
        EXPECT_EQ(SOCKET_TIMED_OUT, ClassifySocketError(LastSocketError(), true));
        EXPECT_EQ(check ? SOCKET_WAIT_GIVEN_UP : SOCKET_READY, AwaitSocket(client, true, &budget));  // writable at once
        EXPECT_EQ(0, ResolveHost("never.example", &address, &budget));
    }
    // A wake ends a wait on the silent socket, whether it came before the
    // wait or during it; wakes that pile up are taken as one.
    WakeSignal* wake = NewWakeSignal();
    ASSERT_NE(nullptr, wake);
    SignalWake(wake);
    SignalWake(wake);
    EXPECT_EQ(SOCKET_WOKEN, AwaitSocketOrWake(client, false, wake, nullptr));
    EXPECT_EQ(SOCKET_WAIT_TIMED_OUT, AwaitSocketOrWake(client, false, wake, nullptr));
    SetNetworkTimeoutForTests(GUARD_MILLISECONDS);
    std::thread waker([wake] {
        SleepMilliseconds(50);
        SignalWake(wake);
    });
    EXPECT_EQ(SOCKET_WOKEN, AwaitSocketOrWake(client, false, wake, nullptr));
    waker.join();
    EXPECT_EQ(SOCKET_READY, AwaitSocketOrWake(client, true, wake, nullptr));
    FreeWakeSignal(wake);
    ASSERT_EQ(1, send(peer, "x", 1, MSG_NOSIGNAL));
    EXPECT_EQ(SOCKET_READY, AwaitSocket(client, false, nullptr));
    lookupReleased = true;
    for (int waited = 0; waited < GUARD_MILLISECONDS && lookupsRunning.load() > 0; waited += 10) SleepMilliseconds(10);
    EXPECT_EQ(0, lookupsRunning.load());
    SetHostLookupForTests(nullptr);
    CloseSocket(peer);
    CloseSocket(client);
}
