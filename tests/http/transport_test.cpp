// The transport's layers stacked as a connection through a proxy has them:
// TCP to a loopback "proxy" that answers the CONNECT as a case says and
// then relays to nginx over TLS, the tunnel over it, TLS over the tunnel.
// Between the tunnel and TLS sits a counting layer of the test's own: TLS
// reaches its peer only through the layer below it.
#include <gtest/gtest.h>

#include <poll.h>

#include <string>
#include <thread>

#include "http/connection.h"
#include "http/nginx_image_test.h"
#include "http/proxy_settings.h"
#include "http/transport.h"
#include "support/gbk.h"
#include "support/nginx_fixture.h"

namespace {

// Accepts one connection, reads the CONNECT head, writes `answer`; after a
// 200 it relays both ways to `targetPort` until either side closes.
class ProxyRelay {
public:
    ProxyRelay(std::string answer, int targetPort)
        : answer_(std::move(answer)), target_(targetPort), listener_(ListenOnLoopback(0, 1)) {
        port_ = BoundPort(listener_);
        thread_ = std::thread([this] { Run(); });
    }
    ~ProxyRelay() {
        thread_.join();
        CloseSocket(listener_);
    }
    int port() const { return port_; }

private:
    void Run() {
        SocketHandle client = accept(listener_, nullptr, nullptr);
        std::string head;
        char byte;
        while (head.find("\r\n\r\n") == std::string::npos && recv(client, &byte, 1, 0) == 1) head += byte;
        SendAll(client, answer_.data(), answer_.size());
        SocketHandle server = NO_SOCKET;
        if (answer_.rfind("HTTP/1.1 200", 0) == 0 && answer_.size() == answer_.find("\r\n\r\n") + 4) {
            server = OpenTcpSocket();
            sockaddr_in address = LoopbackAddress(target_);
            if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) CloseSocket(server);
        }
        pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        char buffer[16384];
        while (server != NO_SOCKET && poll(ends, 2, 5000) > 0) {
            const int from = (ends[0].revents != 0) ? 0 : 1;
            const ssize_t got = recv(ends[from].fd, buffer, sizeof buffer, 0);
            if (got <= 0 || SendAll(ends[1 - from].fd, buffer, static_cast<size_t>(got)) != 1) break;
        }
        if (server != NO_SOCKET) CloseSocket(server);
        CloseSocket(client);
    }

    std::string answer_;
    int target_;
    SocketHandle listener_;
    int port_ = 0;
    std::thread thread_;
};

// Passes everything on to the layer below and counts what it received.
struct Counted {
    int received;
};

int CountingReceive(Transfer* transfer, Transport* layer, char* into, int room) {
    const int got = TransportReceive(transfer, layer->below, into, room);
    if (got > 0) static_cast<Counted*>(layer->context)->received += got;
    return got;
}
bool ForwardSend(Transfer* transfer, Transport* layer, const char* bytes, int length) {
    return TransportSend(transfer, layer->below, bytes, length);
}
SocketWait ForwardAwait(Transfer* transfer, Transport* layer, bool forWrite, WakeSignal* wake) {
    return TransportAwait(transfer, layer->below, forWrite, wake);
}
int ForwardBuffered(const Transport* layer) { return layer->below->ops->buffered(layer->below); }
bool ForwardAlive(Transport* layer) { return TransportAlive(layer->below); }
void ForwardPromptly(Transport* layer) { TransportSendPromptly(layer->below); }
void CloseBelow(Transport* layer) { CloseTransport(layer->below); }
const TransportOps COUNTING_OPS = {ForwardSend,  CountingReceive, ForwardAwait, ForwardBuffered,
                                   ForwardAlive, ForwardPromptly, CloseBelow};

class TransportStackTest : public NginxImageTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        MakeImages(1, 7);
        if (HasFatalFailure() || IsSkipped()) return;
        tls_ = std::make_unique<NginxServer>(Root());
        tls_->UseTls(certificates->loopback.certificate, certificates->loopback.key);
        tls_->UseHttp2();
        ASSERT_TRUE(tls_->Start()) << tls_->error();
    }
    std::unique_ptr<NginxServer> tls_;
};

}  // namespace

TEST_F(TransportStackTest, TlsOverTheTunnelReadsThroughTheLayersBelow) {
    const struct {
        const char* name;
        std::string answer;  // the proxy's answer to the CONNECT
        bool offerH2;
        TransportResult tunnel, tls;
        const char* message;  // a printf format of the proxy's display the message holds, or ""
    } cases[] = {
        {"round trip", "HTTP/1.1 200 Connection established\r\n\r\n", false, TRANSPORT_OPEN, TRANSPORT_OPEN, ""},
        {"h2 by ALPN", "HTTP/1.1 200 Connection established\r\n\r\n", true, TRANSPORT_OPEN, TRANSPORT_OPEN, ""},
        {"bytes behind the 200", "HTTP/1.1 200 Connection established\r\n\r\nHTTP/1.1 400 Bad Request\r\n\r\n", false,
         TRANSPORT_OPEN, TRANSPORT_FAILED, "代理服务器 %s 在TLS握手之前发来了28字节数据, 无法建立HTTPS连接"},
        {"407", "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", false, TRANSPORT_PROXY_REFUSED, TRANSPORT_FAILED,
         "代理服务器 %s 要求身份验证(407)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ProxyRelay relay(c.answer, tls_->port());
        std::string display = "127.0.0.1:" + std::to_string(relay.port());
        ProxyEndpoint proxy = {const_cast<char*>("127.0.0.1"), relay.port(), nullptr, &display[0]};
        char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
        const ErrorText error{errorText, sizeof errorText};
        SocketHandle socket = OpenConnection(&transfer_, "127.0.0.1", relay.port(), error);
        ASSERT_NE(0, socket) << Utf8(errorText);

        TransportResult result;
        bool answered = false;
        Transport* tunnel = OpenProxyTunnel(&transfer_, NewTcpTransport(socket), "127.0.0.1", tls_->port(), &proxy,
                                            error, &result, &answered);
        EXPECT_TRUE(answered);
        EXPECT_EQ(c.tunnel, result);
        Counted counted = {0};
        Transport counting = {&COUNTING_OPS, tunnel, &counted};
        Transport* top = tunnel == nullptr
                             ? nullptr
                             : OpenTlsTransport(&transfer_, &counting, "127.0.0.1", error, &result, c.offerH2, &proxy);
        if (tunnel != nullptr) {
            EXPECT_EQ(c.tls, result);
        }
        char expected[512];
        std::snprintf(expected, sizeof expected, c.message, display.c_str());
        EXPECT_NE(std::string::npos, Utf8(errorText).find(expected)) << Utf8(errorText);
        if (top == nullptr) continue;

        EXPECT_EQ(c.offerH2, TransportIsH2(top));
        EXPECT_GT(counted.received, 0);  // the handshake came up through the layer below
        if (!c.offerH2) {
            const std::string get =
                "GET /img/" + names[0] + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
            ASSERT_TRUE(TransportSend(&transfer_, top, get.data(), static_cast<int>(get.size())));
            std::string response;
            char buffer[4096];
            int got;
            while ((got = TransportReceive(&transfer_, top, buffer, sizeof buffer)) > 0) response.append(buffer, got);
            EXPECT_EQ(0, got);  // nginx's close_notify: a clean close through every layer
            EXPECT_EQ(0u, response.find("HTTP/1.1 200 OK\r\n"));
            const std::string body = ReadWholeFile(Root() + "/img/" + names[0]);
            EXPECT_EQ(body, response.substr(response.size() - body.size())) << response.substr(0, 200);
        }
        CloseTransport(top);
    }
}
