// The connect race over a host's addresses, on loopback only and with
// nothing but the socket layer as a peer, so it runs over Winsock under
// Wine as well: there a refused connect shows only in select's exception
// set, which the race must read to count it and move on.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "http/connection.h"
#include "http/http_client.h"
#include "http/transfer.h"
#include "support/gbk.h"

namespace {

// "dual.test" has 127.0.0.1 and ::1 (the race tries ::1 first).
int DualStackName(const char* host, HostAddresses* addresses) {
    if (std::strcmp(host, "dual.test") != 0) return 0;
    for (const char* literal : {"127.0.0.1", "::1"}) {
        sockaddr_storage address;
        ParseAddressLiteral(literal, &address);
        AddHostAddress(addresses, reinterpret_cast<sockaddr*>(&address));
    }
    return 1;
}

#ifdef _WIN32
const int REFUSED_CODE = WSAECONNREFUSED;
#else
const int REFUSED_CODE = ECONNREFUSED;
#endif

class AddressRace : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(1, StartNetwork());
        const HttpClientSettings settings = {};
        client_ = NewHttpClient(&settings);
        InitTransfer(&transfer_, client_, ErrorText{nullptr, 0}, nullptr);
        SetHostLookupForTests(DualStackName);
        SetNetworkTimeoutForTests(3000);
    }
    void TearDown() override {
        SetHostLookupForTests(nullptr);
        SetNetworkTimeoutForTests(0);
        for (SocketHandle socket : held_) {
            if (socket != NO_SOCKET) CloseSocket(socket);
        }
        FreeHttpClient(client_);
        StopNetwork();
    }
    SocketHandle Open(const std::string& host, int port) {
        char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
        SocketHandle socket = OpenConnection(&transfer_, host.c_str(), port, ErrorText{errorText, sizeof errorText});
        message = errorText;
        return socket;
    }
    intptr_t FailuresOf(const std::string& key) const {
        return reinterpret_cast<intptr_t>(HashMapGet(client_->failureCounts, key.c_str()));
    }
    // A port that refuses on both 127.0.0.1 and ::1 for the rest of the
    // test: a socket bound to it on each address without listening answers
    // every connect with a reset, and keeps the port from going to another
    // test's listener meanwhile (a port merely closed again once did).
    int RefusingPort() {
        for (int attempt = 0; attempt < 20; ++attempt) {
            SocketHandle v4 = OpenTcpSocket(AF_INET);
            sockaddr_in any = LoopbackAddress(0);
            if (v4 == NO_SOCKET || bind(v4, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) break;
            const int port = BoundPort(v4);
            SocketHandle v6 = OpenTcpSocket(AF_INET6);
            sockaddr_storage address;
            ParseAddressLiteral("::1", &address);
            reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = htons(static_cast<uint16_t>(port));
            if (v6 != NO_SOCKET && bind(v6, reinterpret_cast<sockaddr*>(&address), AddressLength(&address)) == 0) {
                held_[0] = v4;
                held_[1] = v6;
                return port;
            }
            if (v6 != NO_SOCKET) CloseSocket(v6);
            CloseSocket(v4);
        }
        ADD_FAILURE() << "no loopback port could be held on both addresses";
        return 0;
    }

    std::string message;  // GBK
    SocketHandle held_[2] = {NO_SOCKET, NO_SOCKET};
    HttpClient* client_ = nullptr;
    Transfer transfer_;
};

const std::string REFUSED = Gbk("使用非阻塞方式连接失败，错误码:") + std::to_string(REFUSED_CODE);
const std::string CUT_OFF = Gbk(" - 连接失败已连续发生5次+");

// ::1 refuses, 127.0.0.1 listens: the refusal is seen and counted (had it
// gone unnoticed, the IPv4 attempt would still win after its stagger, and
// ::1 would be closed uncounted), and the connection is to 127.0.0.1.
TEST_F(AddressRace, ARefusedAddressIsCountedAndTheNextWins) {
    SocketHandle listener = ListenOnLoopback(0, 4);
    ASSERT_NE(NO_SOCKET, listener);
    const int port = BoundPort(listener);
    char key[FAILURE_KEY_BYTES] = {0};
    char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
    SocketHandle socket = OpenConnection(&transfer_, "dual.test", port, ErrorText{errorText, sizeof errorText}, key);
    ASSERT_NE(0, socket) << Utf8(errorText);
    EXPECT_EQ("127.0.0.1:" + std::to_string(port), std::string(key));
    EXPECT_EQ(1, FailuresOf("[::1]:" + std::to_string(port)));
    EXPECT_EQ(0, FailuresOf(key));
    CloseSocket(socket);
    CloseSocket(listener);
}

// Each address of a host counts its own failures, under its own key; the
// host is refused once every address is at the cut-off, and an address at
// the cut-off is no longer tried while another is not.
TEST_F(AddressRace, EveryAddressOfAHostCountsOnItsOwn) {
    const int port = RefusingPort();
    const std::string v4Key = "127.0.0.1:" + std::to_string(port);
    const std::string v6Key = "[::1]:" + std::to_string(port);
    for (int attempt = 1; attempt <= CONNECT_FAILURE_LIMIT; ++attempt) {
        EXPECT_EQ(0, Open("dual.test", port));
        EXPECT_EQ(REFUSED, message);  // 127.0.0.1's, tried last
        EXPECT_EQ(attempt, FailuresOf(v4Key));
        EXPECT_EQ(attempt, FailuresOf(v6Key));
    }
    EXPECT_EQ(0, Open("dual.test", port));
    EXPECT_EQ("dual.test:" + std::to_string(port) + CUT_OFF, message);
    EXPECT_EQ(0, Open("::1", port));
    EXPECT_EQ(v6Key + CUT_OFF, message);  // the key keeps the brackets

    // With 127.0.0.1 forgiven, only it is tried: ::1 stays at the cut-off.
    ResetConnectFailureCounts(client_);
    for (int attempt = 0; attempt < CONNECT_FAILURE_LIMIT; ++attempt) Open("::1", port);
    EXPECT_EQ(0, Open("dual.test", port));
    EXPECT_EQ(REFUSED, message);
    EXPECT_EQ(1, FailuresOf(v4Key));
    EXPECT_EQ(CONNECT_FAILURE_LIMIT, FailuresOf(v6Key));
}

}  // namespace
