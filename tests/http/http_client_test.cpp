// Two HttpClients in one process share nothing.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "http/connection.h"
#include "http/http_client.h"
#include "http/http_test_support.h"
#include "http/proxy_settings.h"
#include "http/transfer.h"

namespace {

const char LOOPBACK[] = "127.0.0.1";

const char* NoEnvironment(const char*) { return nullptr; }

// One client of the pair: its own transfer for the calls below DownloadImage.
struct Side {
    explicit Side(const HttpClientSettings& settings) : client(NewHttpClient(&settings)) {
        InitTransfer(&transfer, client, ErrorText{errorText, sizeof errorText}, nullptr);
    }
    ~Side() { FreeHttpClient(client); }
    SocketHandle Open(int port) {
        errorText[0] = '\0';
        return OpenConnection(&transfer, LOOPBACK, port, transfer.error);
    }

    HttpClient* client;
    Transfer transfer;
    char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
};

class HttpClientTest : public HttpTest {};

// Client A goes through a proxy, client B goes direct; they are used one
// after the other and then at once from two threads.  Neither sees the
// other's proxy choice, failure counts or pooled connections.
TEST_F(HttpClientTest, TwoClientsShareNothing) {
    ScriptedServer proxy({Serve(Reply(Ok(JPEG_BYTES)))});
    ScriptedServer origin({Serve(Reply(Ok(JPEG_BYTES)))});
    ProxySettings proxies = {};
    char* failure = nullptr;
    const std::string proxyUrl = "http://127.0.0.1:" + std::to_string(proxy.port());
    ASSERT_TRUE(ReadProxyEnvironment(&proxies, proxyUrl.c_str(), nullptr, &failure, NoEnvironment));
    HttpClientSettings proxied = {};
    proxied.proxy = &proxies;
    Side a(proxied), b(HttpClientSettings{});
    char errorText[HTTP_ERROR_TEXT_BYTES] = {0};

    // The proxy steers A alone.
    EXPECT_EQ(1, DownloadInto(a.client, origin.Url("/p.jpg"), File("a.jpg"), errorText, false)) << errorText;
    EXPECT_EQ(1, DownloadInto(b.client, origin.Url("/p.jpg"), File("b.jpg"), errorText, false)) << errorText;
    ASSERT_EQ(1u, proxy.Requests().size());
    EXPECT_EQ(0u, proxy.Requests()[0].find("GET " + origin.Url("/p.jpg") + " HTTP/1.0\r\n")) << proxy.Requests()[0];
    ASSERT_EQ(1u, origin.Requests().size());
    EXPECT_EQ(0u, origin.Requests()[0].find("GET /p.jpg HTTP/1.0\r\n")) << origin.Requests()[0];

    // A host at A's cut-off is still tried by B, and counted there once.
    const RefusingLoopbackPort refusing;
    for (int i = 0; i < CONNECT_FAILURE_LIMIT; ++i) EXPECT_EQ(0, a.Open(refusing.port()));
    const std::string key = std::string(LOOPBACK) + ":" + std::to_string(refusing.port());
    EXPECT_EQ(0, a.Open(refusing.port()));
    EXPECT_EQ(Gbk(key + " - 连接失败已连续发生5次+"), a.errorText);
    EXPECT_EQ(0, b.Open(refusing.port()));
    EXPECT_EQ(std::string::npos, std::string(b.errorText).find(key)) << b.errorText;
    EXPECT_EQ(CONNECT_FAILURE_LIMIT, ConnectFailureCount(a.client, key.c_str()));
    EXPECT_EQ(1, ConnectFailureCount(b.client, key.c_str()));

    // A's pooled connection is never B's: each pool opens its own.
    SocketHandle listener = ListenOnLoopback(0, 4);
    ASSERT_NE(NO_SOCKET, listener);
    const int port = BoundPort(listener);
    HttpConnection* fromA = AcquirePooledConnection(&a.transfer, LOOPBACK, port, a.transfer.error);
    HttpConnection* fromB = AcquirePooledConnection(&b.transfer, LOOPBACK, port, b.transfer.error);
    ASSERT_NE(nullptr, fromA);
    ASSERT_NE(nullptr, fromB);
    EXPECT_NE(fromA, fromB);
    EXPECT_EQ(fromA, AcquirePooledConnection(&a.transfer, LOOPBACK, port, a.transfer.error));
    EXPECT_EQ(1, HttpClientPool(a.client, 0)->count);
    EXPECT_EQ(1, HttpClientPool(b.client, 0)->count);
    ClosePooledConnections(a.client);
    ClosePooledConnections(b.client);
    CloseSocket(listener);

    // At once: each thread's two kept-alive downloads go over its own
    // client's one connection.
    ScriptedServer forA({ServeKeepingOpen({Reply(Ok(JPEG_BYTES)), Reply(Ok(JPEG_BYTES))})});
    ScriptedServer forB({ServeKeepingOpen({Reply(Ok(JPEG_BYTES)), Reply(Ok(JPEG_BYTES))})});
    HttpClientSettings direct = {};
    Side a2(direct), b2(direct);
    int results[2][2] = {{0, 0}, {0, 0}};
    auto fetchTwice = [this](HttpClient* client, const ScriptedServer* server, const std::string& name, int* into) {
        char message[HTTP_ERROR_TEXT_BYTES] = {0};
        for (int i = 0; i < 2; ++i) {
            into[i] = DownloadInto(client, server->Url("/" + std::to_string(i) + ".jpg"),
                                   File(name + std::to_string(i) + ".jpg"), message, true);
        }
    };
    std::thread threadA(fetchTwice, a2.client, &forA, "a", results[0]);
    std::thread threadB(fetchTwice, b2.client, &forB, "b", results[1]);
    threadA.join();
    threadB.join();
    for (auto& side : results) {
        EXPECT_EQ(1, side[0]);
        EXPECT_EQ(1, side[1]);
    }
    EXPECT_EQ(1, forA.AcceptedConnections());
    EXPECT_EQ(1, forB.AcceptedConnections());
    EXPECT_EQ(1, HttpClientPool(a2.client, 0)->count);
    EXPECT_EQ(nullptr, HashMapGet(HttpClientPool(a2.client, 0),
                                  (std::string(LOOPBACK) + ":" + std::to_string(forB.port())).c_str()));
    FreeProxySettings(&proxies);
}

}  // namespace
