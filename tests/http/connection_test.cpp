#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "http/connection.h"
#include "http/http_common.h"
#include "http/http_test_support.h"
#include "http/proxy_settings.h"

namespace {

class ConnectionTest : public HttpTest {
protected:
    // Opens a connection; the message of a failure goes to `message`.
    SocketHandle Open(const std::string& host, int port) {
        char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
        SocketHandle socket = OpenConnection(&transfer_, host.c_str(), port, ErrorText{errorText, sizeof errorText});
        message = errorText;
        return socket;
    }
    intptr_t FailuresOf(const std::string& host, int port) const {
        std::string key = host + ":" + std::to_string(port);
        return reinterpret_cast<intptr_t>(HashMapGet(client_->failureCounts, key.c_str()));
    }

    std::string message;  // GBK
};

const std::string LOOPBACK = "127.0.0.1";

std::string RefusedMessage() { return Gbk("使用非阻塞方式连接失败，错误码:") + std::to_string(ECONNREFUSED); }

TEST_F(ConnectionTest, FiveRefusedConnectsBlockTheHostUntilReset) {
    int port = UnusedLoopbackPort();
    for (int attempt = 1; attempt <= CONNECT_FAILURE_LIMIT; ++attempt) {
        EXPECT_EQ(0, Open(LOOPBACK, port));
        EXPECT_EQ(RefusedMessage(), message);
        EXPECT_EQ(attempt, FailuresOf(LOOPBACK, port));
    }
    // Now something listens there, yet the host is refused without a connect.
    ScriptedServer server({}, port);
    ASSERT_TRUE(server.listening());
    EXPECT_EQ(0, Open(LOOPBACK, port));
    EXPECT_EQ(LOOPBACK + ":" + std::to_string(port) + Gbk(" - 连接失败已连续发生5次+"), message);

    ResetConnectFailureCounts(client_);
    SocketHandle socket = Open(LOOPBACK, port);
    EXPECT_NE(0, socket) << Utf8(message);
    CloseSocket(socket);
}

// Only an answer clears the count (see the silent host's test): a host that
// takes the connection has not answered yet.
TEST_F(ConnectionTest, AConnectAloneDoesNotClearTheCount) {
    int port = UnusedLoopbackPort();
    for (int attempt = 0; attempt < 4; ++attempt) Open(LOOPBACK, port);
    EXPECT_EQ(4, FailuresOf(LOOPBACK, port));
    {
        ScriptedServer server({}, port);
        ASSERT_TRUE(server.listening());
        SocketHandle socket = Open(LOOPBACK, port);
        EXPECT_NE(0, socket) << Utf8(message);
        CloseSocket(socket);
        EXPECT_EQ(4, FailuresOf(LOOPBACK, port));
    }
    EXPECT_EQ(0, Open(LOOPBACK, port));
    EXPECT_EQ(RefusedMessage(), message);  // the fifth failure is still tried
    EXPECT_EQ(0, Open(LOOPBACK, port));
    EXPECT_EQ(LOOPBACK + ":" + std::to_string(port) + Gbk(" - 连接失败已连续发生5次+"), message);
}

TEST_F(ConnectionTest, ConnectTimeOutCounts) {
    StalledListener stalled;
    ASSERT_NE(0, stalled.port());
    SetNetworkTimeoutForTests(100);
    EXPECT_EQ(0, Open(LOOPBACK, stalled.port()));
    EXPECT_EQ(Gbk("使用非阻塞方式连接超时。"), message);
    EXPECT_EQ(1, FailuresOf(LOOPBACK, stalled.port()));
}

TEST_F(ConnectionTest, PoolKeepsOneConnectionPerHostAndPort) {
    ScriptedServer first({ServeKeepingOpen({})});
    ScriptedServer second({ServeKeepingOpen({})});
    char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
    const ErrorText error = {errorText, sizeof errorText};
    HttpConnection* a = AcquirePooledConnection(&transfer_, LOOPBACK.c_str(), first.port(), error);
    ASSERT_NE(nullptr, a) << Utf8(errorText);
    EXPECT_EQ(a, AcquirePooledConnection(&transfer_, LOOPBACK.c_str(), first.port(), error));
    HttpConnection* b = AcquirePooledConnection(&transfer_, LOOPBACK.c_str(), second.port(), error);
    ASSERT_NE(nullptr, b) << Utf8(errorText);
    EXPECT_NE(a, b);
    EXPECT_EQ(2, Pool()->count);
    EXPECT_EQ(1, CountInLog(LOOPBACK + ":" + std::to_string(first.port()) + " --- new socket()\r\n"));
    EXPECT_EQ(1, CountInLog(LOOPBACK + ":" + std::to_string(second.port()) + " --- new socket()\r\n"));

    ReleasePooledConnection(&transfer_, LOOPBACK.c_str(), first.port());
    CloseHttpConnection(a);
    EXPECT_EQ(1, Pool()->count);
    EXPECT_EQ(TransportSocketForTests(b->transport),
              PooledSocket(client_, LOOPBACK + ":" + std::to_string(second.port())));

    // Failure counts are per port too.
    const RefusingLoopbackPort refusing;
    int refused = refusing.port();
    for (int attempt = 0; attempt < CONNECT_FAILURE_LIMIT; ++attempt) Open(LOOPBACK, refused);
    EXPECT_EQ(CONNECT_FAILURE_LIMIT, FailuresOf(LOOPBACK, refused));
    EXPECT_EQ(0, FailuresOf(LOOPBACK, second.port()));
}

TEST_F(ConnectionTest, HostsUpToTheLongestNameAreKeyedWholeAndLongerOnesRefused) {
    // 253 bytes make the longest key whole (over TLS, through a proxy of as
    // long a name; DownloadTest connects to such a host); 254 are refused
    // before any lookup.
    const std::string longest = HostNameOfLength(253);
    const std::string tooLong = HostNameOfLength(254);
    char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
    ProxyEndpoint proxy = {const_cast<char*>(longest.c_str()), 8080, nullptr, const_cast<char*>("")};
    const std::string display = longest + ":8080";
    proxy.display = const_cast<char*>(display.c_str());
    char poolKey[POOL_KEY_BYTES];
    EXPECT_TRUE(FormatPoolKey(longest.c_str(), 65535, true, &proxy, poolKey, ErrorText{errorText, sizeof errorText}));
    EXPECT_EQ("https://" + longest + ":65535 via " + display, std::string(poolKey));

    const std::string refused = Gbk("域名太长(超过253字节), 无法连接: ") + tooLong.substr(0, 40) + "...";
    EXPECT_EQ(0, Open(tooLong, 80));
    EXPECT_EQ(refused, message);
    EXPECT_EQ(nullptr,
              AcquirePooledConnection(&transfer_, tooLong.c_str(), 80, ErrorText{errorText, sizeof errorText}));
    EXPECT_EQ(refused, std::string(errorText));
    EXPECT_FALSE(FormatPoolKey(tooLong.c_str(), 80, false, nullptr, poolKey, ErrorText{nullptr, 0}));
    ReleasePooledConnection(&transfer_, tooLong.c_str(), 80);
    EXPECT_EQ(0, Pool()->count);
    EXPECT_EQ(0, client_->failureCounts->count);
    EXPECT_EQ(0, CountInLog("new socket()"));
}

TEST_F(ConnectionTest, UnresolvableHostsFailWithoutCounting) {
    EXPECT_EQ(0, Open("nosuch.invalid", 80));
    EXPECT_EQ(Gbk("无法解析域名: nosuch.invalid"), message);
    EXPECT_EQ(0, client_->failureCounts->count);

    char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
    EXPECT_EQ(0, OpenConnection(&transfer_, nullptr, 80, ErrorText{errorText, sizeof errorText}));
    EXPECT_EQ(Gbk("域名 = null"), std::string(errorText));
}

TEST_F(ConnectionTest, OwnDomainFallsBackToThisMachine) {
    ScriptedServer server({Serve(Reply("pong"))});
    SocketHandle socket = Open(std::string("updates") + OWN_DOMAIN_SUFFIX, server.port());
    ASSERT_NE(0, socket) << Utf8(message);
    const char request[] = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_EQ(static_cast<int>(sizeof request - 1),
              static_cast<int>(send(socket, request, sizeof request - 1, MSG_NOSIGNAL)));
    char reply[8] = {0};
    EXPECT_EQ(4, static_cast<int>(recv(socket, reply, sizeof reply, 0)));
    EXPECT_STREQ("pong", reply);
    CloseSocket(socket);
}

}  // namespace
