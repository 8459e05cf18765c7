// TLS over Schannel against real TLS servers on loopback: the servers that
// tools/tls-test-peers.sh starts outside Wine around the run (make
// test-windows), and a few misbehaving peers of the test's own.
#ifdef _WIN32

#include "platform/tls.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "platform/thread.h"
#include "support/tls_test_peers.h"

namespace {

const char HOST[] = "tls.karvelo.test";
// Bounds every wait, so a broken handshake fails instead of hanging.
const int GUARD_MILLISECONDS = 5000;

struct Opened {
    TlsConnection* connection = nullptr;
    TlsFailure failure = TLS_FAILURE_NONE;
    std::string error;
};

SocketHandle ConnectTo(int port) {
    SocketHandle socket = OpenTcpSocket();
    sockaddr_in address = LoopbackAddress(port);
    if (connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        CloseSocket(socket);
        return NO_SOCKET;
    }
    SetSocketTimeouts(socket);
    return socket;
}

// The socket as the layer below the session, as the client's TCP layer
// is: the wait, then one receive; no budget.
SocketHandle SocketIn(void* context) { return static_cast<SocketHandle>(reinterpret_cast<uintptr_t>(context)); }
bool SocketSend(void* context, void*, const char* bytes, int length) {
    return SendAll(SocketIn(context), bytes, static_cast<size_t>(length)) == 1;
}
int SocketReceive(void* context, void*, char* into, int room) {
    if (AwaitSocket(SocketIn(context), false, nullptr) != SOCKET_READY) return -1;
    return recv(SocketIn(context), into, room, 0);
}
SocketWait SocketAwait(void* context, void*, bool forWrite) {
    return AwaitSocket(SocketIn(context), forWrite, nullptr);
}

Opened Open(SocketHandle socket, const char* host, bool offerH2 = false) {
    Opened opened;
    char error[512];
    const TlsIo io = {SocketSend, SocketReceive, SocketAwait, reinterpret_cast<void*>(static_cast<uintptr_t>(socket))};
    opened.connection = OpenTls(&io, nullptr, host, error, sizeof error, &opened.failure, offerH2);
    opened.error = error;
    return opened;
}

// Everything until the peer closes; *closed tells it ended with 0, not -1.
std::string ReceiveAll(TlsConnection* connection, bool* closed) {
    std::string all;
    char buffer[3000];  // smaller than a record, so leftovers are handed out later
    int got;
    while ((got = TlsReceive(connection, nullptr, buffer, sizeof buffer)) > 0) all.append(buffer, got);
    *closed = got == 0;
    return all;
}

// A handshake with the server at `port` that must fail; the socket is
// closed afterwards.
Opened FailedHandshake(int port) {
    Opened opened;
    SocketHandle socket = ConnectTo(port);
    EXPECT_NE(NO_SOCKET, socket);
    if (socket == NO_SOCKET) return opened;
    opened = Open(socket, HOST);
    EXPECT_EQ(nullptr, opened.connection);
    CloseTls(opened.connection);
    CloseSocket(socket);
    return opened;
}

std::string Body(const std::string& response) {
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? "" : response.substr(end + 4);
}

class TlsSchannel : public TlsTestPeersSuite {
protected:
    void SetUp() override {
        ASSERT_EQ(1, StartNetwork());
        if (!trusted) GTEST_SKIP() << "needs the servers of tools/tls-test-peers.sh";
        SetNetworkTimeoutForTests(GUARD_MILLISECONDS);
        ASSERT_EQ(1, StartTls());
    }
    void TearDown() override {
        SetNetworkTimeoutForTests(0);
        StopNetwork();
    }

    // The refusal of the server at `peer`.
    void ExpectCertificateRefused(TlsTestPeer peer) {
        Opened opened = FailedHandshake(ports[peer]);
        EXPECT_EQ(TLS_FAILURE_CERTIFICATE, opened.failure) << opened.error;
        EXPECT_NE(std::string::npos, opened.error.find(HOST)) << opened.error;
        EXPECT_NE(std::string::npos, opened.error.find("0x8")) << opened.error;  // the status, in hex
    }
};

// A loopback peer of the test's own: accepts one connection and hands it to
// `behave` on a thread of its own, with a flag set once the client is
// through (when the peer goes out of scope).
class OwnPeer {
public:
    template <typename Behaviour>
    explicit OwnPeer(Behaviour behave) : listener_(ListenOnLoopback(0, 1)), port_(BoundPort(listener_)) {
        thread_ = std::thread([this, behave] {
            SocketHandle peer = accept(listener_, nullptr, nullptr);
            if (peer == NO_SOCKET) return;
            behave(peer, done_);
            CloseSocket(peer);
        });
    }
    ~OwnPeer() {
        done_ = true;
        CloseSocket(listener_);
        thread_.join();
    }
    int port() const { return port_; }

private:
    std::atomic<bool> done_{false};
    SocketHandle listener_;
    int port_;
    std::thread thread_;
};

// Waits (bounded) until the client is through.
void AwaitClient(const std::atomic<bool>& done) {
    for (int waited = 0; waited < GUARD_MILLISECONDS && !done.load(); waited += 10) SleepMilliseconds(10);
}

}  // namespace

TEST_F(TlsSchannel, SendsTheHostNameAndCarriesARequestUntilCloseNotify) {
    SocketHandle socket = ConnectTo(ports[TLS_PEER_GOOD]);
    ASSERT_NE(NO_SOCKET, socket);
    Opened opened = Open(socket, HOST);
    ASSERT_NE(nullptr, opened.connection) << opened.error;
    EXPECT_EQ(TLS_FAILURE_NONE, opened.failure);
    const char request[] = "GET /sni HTTP/1.1\r\nHost: tls.karvelo.test\r\n\r\n";
    ASSERT_EQ(static_cast<int>(std::strlen(request)),
              TlsSend(opened.connection, nullptr, request, std::strlen(request)));
    bool closed = false;
    std::string response = ReceiveAll(opened.connection, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(0u, response.find("HTTP/1.1 200 OK\r\n")) << response;
    EXPECT_EQ(HOST, Body(response));
    char byte;
    EXPECT_EQ(0, TlsReceive(opened.connection, nullptr, &byte, 1));  // and stays closed
    CloseTls(opened.connection);
    CloseSocket(socket);
}

TEST_F(TlsSchannel, LargeBodiesCrossManyRecordsBothWays) {
    // Up: a body of many records, echoed.
    std::string upload(300000, '\0');
    for (size_t i = 0; i < upload.size(); ++i) upload[i] = static_cast<char>(i * 7 + i / 253);
    std::string request =
        "POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(upload.size()) + "\r\n\r\n" + upload;
    SocketHandle socket = ConnectTo(ports[TLS_PEER_GOOD]);
    ASSERT_NE(NO_SOCKET, socket);
    Opened opened = Open(socket, HOST);
    ASSERT_NE(nullptr, opened.connection) << opened.error;
    ASSERT_EQ(static_cast<int>(request.size()), TlsSend(opened.connection, nullptr, request.data(), request.size()));
    bool closed = false;
    EXPECT_TRUE(Body(ReceiveAll(opened.connection, &closed)) == upload);
    EXPECT_TRUE(closed);
    CloseTls(opened.connection);
    CloseSocket(socket);

    // Down: numbered words, so a lost, doubled or reordered piece shows.
    const int words = 1000000;
    socket = ConnectTo(ports[TLS_PEER_GOOD]);
    ASSERT_NE(NO_SOCKET, socket);
    opened = Open(socket, HOST);
    ASSERT_NE(nullptr, opened.connection) << opened.error;
    std::string get = "GET /words/" + std::to_string(words) + " HTTP/1.1\r\n\r\n";
    ASSERT_EQ(static_cast<int>(get.size()), TlsSend(opened.connection, nullptr, get.data(), get.size()));
    std::string body = Body(ReceiveAll(opened.connection, &closed));
    EXPECT_TRUE(closed);
    ASSERT_EQ(static_cast<size_t>(words) * 4, body.size());
    int wrong = -1;
    for (int i = 0; i < words && wrong < 0; ++i) {
        const unsigned char* at = reinterpret_cast<const unsigned char*>(body.data()) + i * 4;
        if ((at[0] | at[1] << 8 | at[2] << 16 | static_cast<unsigned>(at[3]) << 24) != static_cast<unsigned>(i)) {
            wrong = i;
        }
    }
    EXPECT_EQ(-1, wrong);
    CloseTls(opened.connection);
    CloseSocket(socket);
}

TEST_F(TlsSchannel, OffersH2OnlyWhenAskedAndTellsWhatTheServerPicked) {
    const struct {
        TlsTestPeer peer;
        bool offer;
        const char* picked;  // as the server saw it
        bool h2;
    } cases[] = {
        {TLS_PEER_H2, true, "h2", true},
        {TLS_PEER_H2, false, "-", false},   // no offer on the wire
        {TLS_PEER_GOOD, true, "-", false},  // a server without ALPN
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.offer ? "offer" : "no offer") + " to peer " + std::to_string(c.peer));
        SocketHandle socket = ConnectTo(ports[c.peer]);
        ASSERT_NE(NO_SOCKET, socket);
        Opened opened = Open(socket, HOST, c.offer);
        ASSERT_NE(nullptr, opened.connection) << opened.error;
        EXPECT_EQ(c.h2, TlsNegotiatedH2(opened.connection));
        const char request[] = "GET /alpn HTTP/1.1\r\n\r\n";
        ASSERT_EQ(static_cast<int>(std::strlen(request)),
                  TlsSend(opened.connection, nullptr, request, std::strlen(request)));
        bool closed = false;
        EXPECT_EQ(c.picked, Body(ReceiveAll(opened.connection, &closed)));
        CloseTls(opened.connection);
        CloseSocket(socket);
    }
}

TEST_F(TlsSchannel, AReaderThatWaitsForTheSocketOnlyWhenNothingIsBufferedGetsEverything) {
    // A wait for bytes the connection already holds would outlast the
    // guard: after the image the peer waits for the next request, after
    // the words' close_notify for the client's.
    const struct {
        const char* path;
        int piece;         // bytes a read takes
        const char* last;  // how the response ends, or null for close_notify
    } cases[] = {
        {"/png/held.png", 7, " request 1"},  // one small record read in pieces: decrypted bytes held
        {"/words/200000", 3000, nullptr},    // several records to a receive: received bytes held too
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        SocketHandle socket = ConnectTo(ports[TLS_PEER_GOOD]);
        ASSERT_NE(NO_SOCKET, socket);
        Opened opened = Open(socket, HOST);
        ASSERT_NE(nullptr, opened.connection) << opened.error;
        std::string get = std::string("GET ") + c.path + " HTTP/1.1\r\n\r\n";
        ASSERT_EQ(static_cast<int>(get.size()), TlsSend(opened.connection, nullptr, get.data(), get.size()));
        std::string all;
        char buffer[3000];
        int got = -1;
        while ((c.last == nullptr || all.find(c.last) == std::string::npos) &&
               (TlsHasBufferedBytes(opened.connection) || AwaitSocket(socket, false, nullptr) == SOCKET_READY)) {
            got = TlsReceive(opened.connection, nullptr, buffer, c.piece);
            if (got <= 0) break;
            all.append(buffer, got);
        }
        if (c.last != nullptr) {
            EXPECT_NE(std::string::npos, all.find(c.last)) << all;
        } else {
            EXPECT_EQ(0, got) << "the close_notify was not reached";
            EXPECT_EQ(200000u * 4, Body(all).size());
        }
        EXPECT_FALSE(TlsHasBufferedBytes(opened.connection));
        CloseTls(opened.connection);
        CloseSocket(socket);
    }
}

TEST_F(TlsSchannel, RefusesACertificateForAnotherName) { ExpectCertificateRefused(TLS_PEER_WRONG_NAME); }

TEST_F(TlsSchannel, RefusesAnExpiredCertificate) { ExpectCertificateRefused(TLS_PEER_EXPIRED); }

TEST_F(TlsSchannel, RefusesACertificateFromAnUntrustedAuthority) { ExpectCertificateRefused(TLS_PEER_UNTRUSTED); }

TEST_F(TlsSchannel, PeerThatClosesAtOnceSpeaksNoTls) {
    OwnPeer peer([](SocketHandle, std::atomic<bool>&) {});
    Opened opened = FailedHandshake(peer.port());
    EXPECT_EQ(TLS_FAILURE_NO_TLS, opened.failure) << opened.error;
}

TEST_F(TlsSchannel, SilentPeerTimesOutAsNoTls) {
    OwnPeer peer([](SocketHandle, std::atomic<bool>& done) { AwaitClient(done); });
    SetNetworkTimeoutForTests(300);
    Opened opened = FailedHandshake(peer.port());
    EXPECT_EQ(TLS_FAILURE_NO_TLS, opened.failure) << opened.error;
    // The receive's time-out, not the guard's close.
    EXPECT_NE(std::string::npos, opened.error.find(std::to_string(WSAETIMEDOUT))) << opened.error;
}

TEST_F(TlsSchannel, PlainHttpServerFailsTheHandshake) {
    OwnPeer peer([](SocketHandle socket, std::atomic<bool>& done) {
        char hello[4096];
        if (recv(socket, hello, sizeof hello, 0) <= 0) return;
        const char answer[] = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
        SendAll(socket, answer, std::strlen(answer));
        AwaitClient(done);
    });
    Opened opened = FailedHandshake(peer.port());
    EXPECT_EQ(TLS_FAILURE_OTHER, opened.failure) << opened.error;
}

#endif  // _WIN32
