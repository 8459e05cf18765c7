// The image download over TLS against nginx on loopback, with certificates
// of the tests' own authority (tests/support/test_certificates).  nginx's
// access log tells which requests reached it and on which connection.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "http/connection.h"
#include "http/download.h"
#include "http/nginx_image_test.h"
#include "platform/thread.h"
#include "support/nginx_fixture.h"
#include "support/process.h"
#include "support/test_certificates.h"

namespace {

class NginxTlsTest : public NginxImageTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        MakeImages(6, 23);
    }

    // A TLS server with `certificate`; `config` goes into its server block.
    std::unique_ptr<NginxServer> TlsServer(const ServerCertificate& certificate, const std::string& config = "") {
        auto server = std::make_unique<NginxServer>(Root(), config);
        server->UseTls(certificate.certificate, certificate.key);
        EXPECT_TRUE(server->Start()) << server->error();
        return server;
    }
};

}  // namespace

TEST_F(NginxTlsTest, ImagesShareOneTlsConnectionAndPlainRedirectsReachTls) {
    auto tls = TlsServer(certificates->loopback,
                         "    location /chunked/ { alias " + Root() +
                             "/img/; sub_filter_types *; sub_filter \"karvelo-no-such-text\" \"\"; }\n");
    NginxServer plain(Root(), "    location /old { return 302 " + tls->Url("/img/" + names[5]) + "; }\n");
    ASSERT_TRUE(plain.Start()) << plain.error();

    for (size_t i = 0; i < 4; ++i) {
        const std::string folder = i % 2 == 0 ? "/img/" : "/chunked/";
        ASSERT_EQ(1, Download(tls->Url(folder + names[i]), names[i])) << names[i] << ": " << Utf8(error);
        EXPECT_TRUE(Stored(names[i])) << names[i];
    }
    ASSERT_EQ(1, Download(plain.Url("/old"), names[5])) << Utf8(error);
    EXPECT_TRUE(Stored(names[5]));
    // The second attempt without keep-alive goes over TLS too.
    ASSERT_EQ(1, Download(tls->Url("/img/" + names[4]), names[4], 0)) << Utf8(error);
    EXPECT_TRUE(Stored(names[4]));

    ASSERT_TRUE(tls->WaitForAccessLines(6));
    std::vector<NginxAccess> log = tls->AccessLog();
    ASSERT_EQ(6u, log.size());
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(log[0].connection, log[i].connection) << i;
        EXPECT_EQ(static_cast<long>(i + 1), log[i].connectionRequests);
        EXPECT_EQ(200, log[i].status);
    }
    EXPECT_EQ("GET /img/" + names[5] + " HTTP/1.1", log[4].request);
    EXPECT_EQ("GET /img/" + names[4] + " HTTP/1.0", log[5].request);
    EXPECT_NE(log[0].connection, log[5].connection);
    const std::string key = "https://127.0.0.1:" + std::to_string(tls->port());
    EXPECT_EQ(1, CountInLog(key + " --- new socket()"));
    EXPECT_EQ(0, CountInLog(Gbk("搬家失败")));
}

TEST_F(NginxTlsTest, RefusedCertificatesFailTheImageWithoutAnyRetry) {
    const struct {
        const ServerCertificate* certificate;
        const char* reason;
    } cases[] = {{&certificates->otherName, "IP address mismatch"},
                 {&certificates->expired, "certificate has expired"}};
    for (const auto& refused : cases) {
        auto tls = TlsServer(*refused.certificate);
        EXPECT_EQ(-1, Download(tls->Url("/img/" + names[0]), names[0])) << refused.reason;
        EXPECT_EQ(Gbk("HTTPS证书未通过验证(127.0.0.1): ") + refused.reason, error);
        EXPECT_FALSE(PathExists(File("out/" + names[0])));
        EXPECT_TRUE(tls->AccessLog().empty()) << refused.reason;  // no request was sent at all
    }
    EXPECT_EQ(0, CountInLog(Gbk("搬家失败")));     // not repeated without keep-alive
    EXPECT_EQ(0, CountInLog(Gbk("没有TLS应答")));  // nor in plain text
}

TEST_F(NginxTlsTest, PlainTextOnTheTlsPortAndACutBodyFail) {
    // nginx answers a TLS hello on a plain port with an HTTP 400.
    NginxServer plain(Root());
    ASSERT_TRUE(plain.Start()) << plain.error();
    const std::string plainAsTls = "https://127.0.0.1:" + std::to_string(plain.port()) + "/img/" + names[0];
    EXPECT_EQ(-1, Download(plainAsTls, names[0]));
    EXPECT_EQ(Gbk("HTTPS握手失败(127.0.0.1): wrong version number"), error);

    // A body cut short: nginx passes on an upstream that announces more
    // than it sends, then closes the TLS connection.
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 90000\r\nConnection: close\r\n\r\n";
    ScriptedServer upstream({Serve(Reply(head + JPEG_BYTES)), Serve(Reply(head + JPEG_BYTES))});
    auto tls = TlsServer(certificates->loopback,
                         "    location /cut/ { proxy_pass " + upstream.Url("/") + "; proxy_buffering off; }\n");
    EXPECT_EQ(0, Download(tls->Url("/cut/a.jpg"), "cut.jpg"));
    EXPECT_NE(std::string::npos, error.find(Gbk("图片大小:90000, 实际接收到的文件大小:13"))) << Utf8(error);
    EXPECT_FALSE(PathExists(File("out/cut.jpg")));
    EXPECT_EQ(1, CountInLog("(fileSize:90000, readTotal:13)"));  // the keep-alive attempt, logged and repeated
}

// A body without a length is whole only after the peer's close_notify: the
// TLS peer of tools/tls_test_peer.py cuts /cut/ mid-record and closes the
// socket without one.
TEST_F(NginxTlsTest, LengthlessBodyCutWithoutCloseNotifyFails) {
    std::string port;
    pid_t peer = StartTlsTestPeer("tls_test_peer.py", File("peer"), certificates->loopback, {"good"}, &port);
    ASSERT_GT(peer, 0) << "the TLS peer did not start";

    EXPECT_EQ(DOWNLOAD_FAILED, Download("https://127.0.0.1:" + port + "/cut/a.png", "cut.png"));
    EXPECT_EQ(0, error.find(Gbk("连接没有正常关闭就断开了(没有Content-Length), 图片不完整, 实际接收到的文件大小:1008")))
        << Utf8(error);
    EXPECT_FALSE(PathExists(File("out/cut.png")));
    StopProcess(peer, SIGTERM, 2000);
}

// An address literal, of either family and in any spelling the connect
// reads, is checked as that address against the certificate, never as a
// name.
TEST_F(NginxTlsTest, AddressLiteralsAreCheckedAsAddresses) {
    const struct {
        const ServerCertificate* certificate;
        const char* host;  // as written in the address
        int result;
        const char* error;  // UTF-8
    } cases[] = {
        {&certificates->loopback, "[::1]", 1, ""},
        {&certificates->loopback, "127.1", 1, ""},
        {&certificates->otherName, "[::1]", -1, "HTTPS证书未通过验证(::1): IP address mismatch"},
        {&certificates->otherName, "127.1", -1, "HTTPS证书未通过验证(127.1): IP address mismatch"},
    };
    const bool ipv6 = Ipv6LoopbackAvailable();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        if (!ipv6 && c.host[0] == '[') continue;
        NginxServer server(Root());
        server.UseTls(c.certificate->certificate, c.certificate->key);
        server.ListenOn(true, ipv6);
        ASSERT_TRUE(server.Start()) << server.error();
        const std::string url = "https://" + std::string(c.host) + ":" + std::to_string(server.port()) + "/img/";
        EXPECT_EQ(c.result, Download(url + names[0], names[0])) << Utf8(error);
        EXPECT_EQ(Gbk(c.error), c.result == 1 ? std::string() : error);
        ClosePooledConnections(client_);
    }
    if (!ipv6) GTEST_SKIP() << "this machine has no ::1 (ip -6 addr show lo); its rows were not run";
}

TEST_F(NginxTlsTest, HttpsWhereNothingSpeaksTlsIsFetchedFromPort80) {
    SocketHandle probe = ListenOnLoopback(443, 1);
    if (probe == NO_SOCKET) GTEST_SKIP() << "cannot make sure nothing listens on 127.0.0.1:443 (run as root)";
    CloseSocket(probe);
    NginxServer plain(Root());
    if (!plain.StartOnPort(80)) GTEST_SKIP() << "cannot listen on 127.0.0.1:80 (run as root): " << plain.error();

    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(1, Download("https://127.0.0.1/img/" + names[i], names[i])) << Utf8(error);
        EXPECT_TRUE(Stored(names[i]));
    }
    ASSERT_TRUE(plain.WaitForAccessLines(2));
    std::vector<NginxAccess> log = plain.AccessLog();
    EXPECT_EQ("GET /img/" + names[1] + " HTTP/1.1", log[1].request);
    EXPECT_EQ(log[0].connection, log[1].connection);  // the plain connection is pooled as always
    EXPECT_EQ(2, CountInLog(Gbk("https://127.0.0.1:443 没有TLS应答，改用http")));
}
