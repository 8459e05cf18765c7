// Image downloads through a real forward proxy (tinyproxy) to nginx, plain
// and over TLS with the tests' own certificates: the proxy's log and
// nginx's tell what went where.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "http/connection.h"
#include "http/download.h"
#include "http/nginx_image_test.h"
#include "http/proxy_settings.h"
#include "support/nginx_fixture.h"
#include "support/proxy_fixture.h"
#include "support/test_certificates.h"

namespace {

const char USER[] = "karvelo";
const char PASSWORD[] = "s3cret-word";

// Which proxy a case goes through.
enum ProxyKind {
    PROXY_OPEN,             // tunnels to the TLS servers' ports
    PROXY_PLAIN_PORT_ONLY,  // tunnels to no port at all
    PROXY_AUTH,             // wants USER and PASSWORD
    PROXY_DEAD,             // a port where nothing listens
};
// How the case names it.
enum Credentials { NO_CREDENTIALS, RIGHT_CREDENTIALS, WRONG_CREDENTIALS };
// What the image's address is.
enum Target { PLAIN_IMAGE, TLS_IMAGE, TLS_OTHER_NAME_IMAGE };

struct ProxyCase {
    const char* name;
    ProxyKind proxy;
    Credentials credentials;
    const char* noProxy;  // null: none
    Target target;
    int expected;             // DownloadResult
    const char* message;      // a printf format of the proxy's display that the message holds, or ""
    const char* proxyLogged;  // what the proxy's log holds: "GET http://", "CONNECT ", or "" for nothing
};

const ProxyCase CASES[] = {
    {"plain image in absolute form", PROXY_OPEN, NO_CREDENTIALS, nullptr, PLAIN_IMAGE, 1, "", "GET http://"},
    {"TLS image through a tunnel", PROXY_OPEN, NO_CREDENTIALS, nullptr, TLS_IMAGE, 1, "", "CONNECT "},
    {"certificate for another name", PROXY_OPEN, NO_CREDENTIALS, nullptr, TLS_OTHER_NAME_IMAGE, -1, "", "CONNECT "},
    {"right credentials, plain", PROXY_AUTH, RIGHT_CREDENTIALS, nullptr, PLAIN_IMAGE, 1, "", "GET http://"},
    {"right credentials, TLS", PROXY_AUTH, RIGHT_CREDENTIALS, nullptr, TLS_IMAGE, 1, "", "CONNECT "},
    {"no credentials, TLS", PROXY_AUTH, NO_CREDENTIALS, nullptr, TLS_IMAGE, -1, "代理服务器 %s 要求身份验证(407)", ""},
    {"wrong credentials, TLS", PROXY_AUTH, WRONG_CREDENTIALS, nullptr, TLS_IMAGE, -1, "代理服务器 %s 要求身份验证(407)",
     ""},
    // tinyproxy answers wrong credentials with a 401, which an origin could
    // send as well: the status is shown as it came.
    {"wrong credentials, plain", PROXY_AUTH, WRONG_CREDENTIALS, nullptr, PLAIN_IMAGE, -1, "HTTP/1.0 401", ""},
    {"no credentials, plain", PROXY_AUTH, NO_CREDENTIALS, nullptr, PLAIN_IMAGE, -1, "代理服务器 %s 要求身份验证(407)",
     ""},
    {"tunnel to a port not allowed", PROXY_PLAIN_PORT_ONLY, NO_CREDENTIALS, nullptr, TLS_IMAGE, -1,
     "代理服务器 %s 拒绝建立隧道(403)", ""},
    {"dead proxy", PROXY_DEAD, NO_CREDENTIALS, nullptr, PLAIN_IMAGE, -1, "代理服务器 %s 无法连接", ""},
    {"no_proxy goes direct", PROXY_OPEN, NO_CREDENTIALS, "localhost,127.0.0.1", PLAIN_IMAGE, 1, "", ""},
    {"no_proxy goes direct over TLS", PROXY_PLAIN_PORT_ONLY, NO_CREDENTIALS, "127.0.0.0/8", TLS_IMAGE, 1, "", ""},
};

class ProxyDownloadTest : public NginxImageTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        if (!TinyproxyAvailable()) GTEST_SKIP() << TINYPROXY_PROGRAM << " is missing: install tinyproxy";
        MakeImages(4, 31);
        if (HasFatalFailure() || IsSkipped()) return;
        plain = std::make_unique<NginxServer>(Root());
        ASSERT_TRUE(plain->Start()) << plain->error();
        tls = std::make_unique<NginxServer>(Root());
        tls->UseTls(certificates->loopback.certificate, certificates->loopback.key);
        ASSERT_TRUE(tls->Start()) << tls->error();
        otherName = std::make_unique<NginxServer>(Root());
        otherName->UseTls(certificates->otherName.certificate, certificates->otherName.key);
        ASSERT_TRUE(otherName->Start()) << otherName->error();
    }
    void TearDown() override {
        UseProxySettings(nullptr);
        FreeProxySettings(&settings);
        HttpTest::TearDown();
    }

    // Downloads go through `proxyUrl`, except what `noProxy` lists.
    void UseProxy(const std::string& proxyUrl, const char* noProxy) {
        FreeProxySettings(&settings);
        char* failure = nullptr;
        ASSERT_EQ(1, ReadProxyEnvironment(&settings, proxyUrl.c_str(), noProxy, &failure, NoEnvironment));
        UseProxySettings(&settings);
    }
    static const char* NoEnvironment(const char*) { return nullptr; }

    std::unique_ptr<NginxServer> plain, tls, otherName;
    ProxySettings settings = {};
};

std::string Formatted(const char* format, const std::string& display) {
    char text[512];
    std::snprintf(text, sizeof text, format, display.c_str());
    return text;
}

}  // namespace

TEST_F(ProxyDownloadTest, CasesThroughTinyproxy) {
    for (const ProxyCase& c : CASES) {
        SCOPED_TRACE(c.name);
        ClosePooledConnections(client_);
        ResetConnectFailureCounts(client_);
        const bool auth = c.proxy == PROXY_AUTH;
        std::vector<int> tunnelled;
        if (c.proxy != PROXY_PLAIN_PORT_ONLY) tunnelled = {tls->port(), otherName->port()};
        TinyProxy proxy(tunnelled, auth ? USER : "", auth ? PASSWORD : "");
        std::string proxyUrl;
        std::string display;
        RefusingLoopbackPort dead;
        if (c.proxy == PROXY_DEAD) {
            display = "127.0.0.1:" + std::to_string(dead.port());
            proxyUrl = "http://" + display;
        } else {
            ASSERT_TRUE(proxy.Start()) << proxy.error();
            display = "127.0.0.1:" + std::to_string(proxy.port());
            const std::string password = c.credentials == WRONG_CREDENTIALS ? "wrong" : PASSWORD;
            proxyUrl = c.credentials == NO_CREDENTIALS ? proxy.Url(false)
                                                       : "http://" + std::string(USER) + ":" + password + "@" + display;
        }
        UseProxy(proxyUrl, c.noProxy);
        const NginxServer& server = c.target == PLAIN_IMAGE ? *plain : c.target == TLS_IMAGE ? *tls : *otherName;
        const size_t served = server.AccessLog().size();
        const std::string& name = names[0];

        EXPECT_EQ(c.expected, Download(server.Url("/img/" + name), name)) << Utf8(error);
        if (c.expected == 1) {
            EXPECT_TRUE(Stored(name));
            EXPECT_TRUE(server.WaitForAccessLines(served + 1));
        } else {
            EXPECT_EQ(served, server.AccessLog().size()) << "the image was fetched some other way";
        }
        if (c.message[0] != '\0') {
            EXPECT_NE(std::string::npos, Utf8(error).find(Formatted(c.message, display))) << Utf8(error);
        }
        const std::string proxyLog = proxy.Log();
        // tinyproxy logs each request line as "Request (file descriptor N): ...".
        if (c.proxyLogged[0] != '\0') {
            EXPECT_NE(std::string::npos, proxyLog.find("): " + std::string(c.proxyLogged) + "127.0.0.1:")) << proxyLog;
        } else if (c.noProxy != nullptr) {
            EXPECT_EQ(std::string::npos, proxyLog.find("Request (")) << proxyLog;
        }
        // Neither the log nor a message ever shows the credentials.
        EXPECT_EQ(std::string::npos, Log().find(PASSWORD));
        EXPECT_EQ(std::string::npos, error.find(PASSWORD));
        EXPECT_EQ(std::string::npos, Log().find("没有TLS应答")) << "fell back to plain HTTP";
    }
}

TEST_F(ProxyDownloadTest, DeadProxyCutsLaterImagesOffAfterFiveFailures) {
    RefusingLoopbackPort dead;
    const std::string display = "127.0.0.1:" + std::to_string(dead.port());
    UseProxy("http://" + display, nullptr);
    std::vector<std::string> messages;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(-1, Download(tls->Url("/img/" + names[i]), names[i]));
        messages.push_back(Utf8(error));
    }
    // Each image tries twice (with keep-alive, then without): the third
    // image meets the limit, and the proxy counts as the host.
    for (const std::string& message : messages) {
        EXPECT_NE(std::string::npos, message.find(Formatted("代理服务器 %s 无法连接", display))) << message;
    }
    EXPECT_EQ(std::string::npos, messages[1].find("连续发生5次")) << messages[1];
    EXPECT_NE(std::string::npos, messages[3].find(display + " - 连接失败已连续发生5次+")) << messages[3];
    EXPECT_TRUE(tls->AccessLog().empty());
}

TEST_F(ProxyDownloadTest, RequestsToTheProxyAreExactAndShareOneConnection) {
    // A scripted proxy shows the bytes: the absolute form, the origin's Host
    // line, the credentials; and both requests on one kept-alive connection.
    ScriptedServer proxy({ServeKeepingOpen({Reply(Ok(JPEG_BYTES)), Reply(Ok(JPEG_BYTES))}),
                          Serve(Reply(Ok(JPEG_BYTES))), Serve(Reply(Ok(JPEG_BYTES)))});
    UseProxy("http://u:p@127.0.0.1:" + std::to_string(proxy.port()), nullptr);
    EXPECT_EQ(1, Download("http://images.example:8080/a b.jpg", "a.jpg")) << Utf8(error);
    EXPECT_EQ(1, Download("http://images.example:8080/b.jpg?x=1", "b.jpg")) << Utf8(error);
    ClosePooledConnections(client_);  // lets the proxy go on to its next connection
    EXPECT_EQ(1, Download("http://images.example/c.jpg", "c.jpg")) << Utf8(error);
    ClosePooledConnections(client_);
    // The longest host, whole in the absolute form and the Host line.
    const std::string longest = HostNameOfLength(HOST_NAME_MAX_BYTES) + ":8080";
    EXPECT_EQ(1, Download("http://" + longest + "/d.jpg", "d.jpg")) << Utf8(error);
    ASSERT_TRUE(proxy.WaitUntilServed());
    std::vector<std::string> requests = proxy.Requests();
    ASSERT_EQ(4u, requests.size());
    const std::string agent =
        "\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 5.2; "
        "Trident/4.0; CIBA)\r\n";
    EXPECT_EQ("GET http://images.example:8080/a%20b.jpg HTTP/1.1" + agent +
                  "Host: images.example:8080\r\nProxy-Authorization: Basic dTpw\r\nConnection: keep-alive\r\n\r\n",
              requests[0]);
    EXPECT_EQ("GET http://images.example:8080/b.jpg?x=1 HTTP/1.1" + agent +
                  "Host: images.example:8080\r\nProxy-Authorization: Basic dTpw\r\nConnection: keep-alive\r\n\r\n",
              requests[1]);
    EXPECT_EQ("GET http://images.example/c.jpg HTTP/1.1" + agent +
                  "Host: images.example\r\nProxy-Authorization: Basic dTpw\r\nConnection: keep-alive\r\n\r\n",
              requests[2]);
    EXPECT_EQ("GET http://" + longest + "/d.jpg HTTP/1.1" + agent + "Host: " + longest +
                  "\r\nProxy-Authorization: Basic dTpw\r\nConnection: keep-alive\r\n\r\n",
              requests[3]);
    // The pool keys name the proxy, never its credentials.
    EXPECT_EQ(1, CountInLog("images.example:8080 via 127.0.0.1:" + std::to_string(proxy.port()) + " --- new socket()"));
    EXPECT_EQ(std::string::npos, Log().find("u:p"));
}

TEST_F(ProxyDownloadTest, ProxyAnsweringInHttp10WithoutKeepAliveIsNotAskedAgain) {
    // Such a proxy may hold its connection open and never read another
    // request: the next image goes on a new connection at once.
    const std::string ok10 = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(JPEG_BYTES.size()) + "\r\n\r\n";
    ScriptedServer proxy({ServeKeepingOpen({Reply(ok10 + JPEG_BYTES)}), Serve(Reply(Ok(JPEG_BYTES)))});
    UseProxy("http://127.0.0.1:" + std::to_string(proxy.port()), nullptr);
    EXPECT_EQ(1, Download("http://images.example/a.jpg", "a.jpg")) << Utf8(error);
    EXPECT_EQ(0, Pool()->count);
    EXPECT_EQ(1, Download("http://images.example/b.jpg", "b.jpg")) << Utf8(error);
    EXPECT_EQ(2, proxy.AcceptedConnections());
    EXPECT_EQ(0, CountInLog(Gbk("搬家失败"))) << Utf8(Log());
}

TEST_F(ProxyDownloadTest, EveryBrokenTunnelAnswerCarriesAReason) {
    // The image's host is the longest DNS allows: the CONNECT names it whole.
    const std::string host = HostNameOfLength(HOST_NAME_MAX_BYTES);
    const struct {
        std::string answer;   // to the CONNECT, in one write; the proxy closes after it
        const char* message;  // a printf format of the proxy's display that the message holds
    } cases[] = {
        {"HTTP/1.1 200 Connection established\r\n\r\nHTTP/1.1 400 Bad Request\r\n\r\n",
         "代理服务器 %s 在TLS握手之前发来了28字节数据"},
        {"HTTP/1.1 200 Connection established\r\n\r\n", "HTTPS握手失败(%s)"},
        {"", "代理服务器 %s 无法连接"},
        {"HTTP/1.1 200", "代理服务器 %s 无法连接"},
        {std::string(HTTP_BUFFER_SIZE + 10, 'a'), "代理服务器 %s 无法连接"},
        {"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", "代理服务器 %s 要求身份验证(407)"},
        {"HTTP/1.1 502 Bad Gateway\r\n\r\n", "代理服务器 %s 拒绝建立隧道(502)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer.substr(0, 60));
        ClosePooledConnections(client_);
        ResetConnectFailureCounts(client_);
        ScriptedServer proxy({Serve(Reply(c.answer)), Serve(Reply(c.answer))});
        const std::string display = "127.0.0.1:" + std::to_string(proxy.port());
        UseProxy("http://" + display, nullptr);
        EXPECT_EQ(-1, Download("https://" + host + "/a.jpg", "a.jpg"));
        const std::string named = std::string(c.message).find("HTTPS") == 0 ? host : display;
        EXPECT_NE(std::string::npos, Utf8(error).find(Formatted(c.message, named))) << Utf8(error);
        EXPECT_EQ(0, CountInLog(Gbk("返回的错误信息：") + "\r\n\r\n")) << Utf8(Log());
        ASSERT_FALSE(proxy.Requests().empty());
        EXPECT_EQ(0u, proxy.Requests()[0].find("CONNECT " + host + ":443 HTTP/1.1\r\nHost: " + host + ":443\r\n"));
    }
}

TEST_F(ProxyDownloadTest, PlainFallbackTakesThePlainAddressProxyDecision) {
    // An https port where nothing answers is fetched as plain http at that
    // port: through http_proxy like any http:// address, direct only where
    // nothing sends it to a proxy, and never when the https address itself
    // went through one.
    static std::string httpProxy, noProxy, allProxy;
    const auto environment = [](const char* name) -> const char* {
        const std::string* value = std::string(name) == "http_proxy"  ? &httpProxy
                                   : std::string(name) == "no_proxy"  ? &noProxy
                                   : std::string(name) == "all_proxy" ? &allProxy
                                                                      : nullptr;
        return value != nullptr && !value->empty() ? value->c_str() : nullptr;
    };
    enum Route { VIA_PROXY, DIRECT, TUNNEL };
    const struct {
        const char* name;
        bool http, all;
        const char* noProxy;
        Route route;
    } cases[] = {
        {"http_proxy alone", true, false, "", VIA_PROXY},
        {"http_proxy, the host in no_proxy", true, false, "127.0.0.1", DIRECT},
        {"http_proxy, another host in no_proxy", true, false, "example.com", VIA_PROXY},
        {"all_proxy takes the https address too", false, true, "", TUNNEL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClosePooledConnections(client_);
        ResetConnectFailureCounts(client_);
        const RefusingLoopbackPort silent;
        const std::string origin = "127.0.0.1:" + std::to_string(silent.port());
        ScriptedServer proxy(
            {ServeKeepingOpen({Reply(c.route == TUNNEL ? "HTTP/1.1 502 Bad Gateway\r\n\r\n" : Ok(JPEG_BYTES))}),
             Serve(Reply("HTTP/1.1 502 Bad Gateway\r\n\r\n"))});
        const std::string display = "127.0.0.1:" + std::to_string(proxy.port());
        httpProxy = c.http ? "http://u:p@" + display : "";
        allProxy = c.all ? "http://u:p@" + display : "";
        noProxy = c.noProxy;
        FreeProxySettings(&settings);
        char* failure = nullptr;
        ASSERT_TRUE(ReadProxyEnvironment(&settings, nullptr, nullptr, &failure, environment));
        UseProxySettings(&settings);

        const int before = CountInLog(Gbk("没有TLS应答"));
        const int result = Download("https://" + origin + "/a.jpg", "a.jpg");
        const std::vector<std::string> requests = proxy.Requests();
        const int fellBack = CountInLog(Gbk("没有TLS应答")) - before;
        if (c.route == VIA_PROXY) {
            EXPECT_EQ(1, result) << Utf8(error);
            ASSERT_EQ(1u, requests.size());
            EXPECT_EQ(0u, requests[0].find("GET http://" + origin + "/a.jpg HTTP/1.1\r\n")) << requests[0];
            EXPECT_NE(std::string::npos,
                      requests[0].find("\r\nHost: " + origin + "\r\nProxy-Authorization: Basic dTpw\r\n"));
            EXPECT_EQ(1, CountInLog(origin + " via " + display + " --- new socket()")) << Utf8(Log());
            EXPECT_EQ(1, fellBack);
        } else if (c.route == DIRECT) {
            EXPECT_EQ(-1, result);
            EXPECT_EQ(Gbk("使用非阻塞方式连接失败，错误码:") + std::to_string(ECONNREFUSED), error);
            EXPECT_EQ(0, proxy.AcceptedConnections());
            EXPECT_LE(1, fellBack);
        } else {
            EXPECT_EQ(-1, result);
            ASSERT_FALSE(requests.empty());
            EXPECT_EQ(0u, requests[0].find("CONNECT " + origin + " HTTP/1.1\r\n")) << requests[0];
            EXPECT_EQ(0, fellBack);
        }
        UseProxySettings(nullptr);
    }
}
