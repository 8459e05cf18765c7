// The image download over Schannel against the TLS servers that
// tools/tls-test-peers.sh starts around `make test-windows`: the servers
// tell in each image which connection and request carried it.  Skipped
// without those servers (and so on Linux, where nginx_tls_test covers the
// same ground over OpenSSL).
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "http/connection.h"
#include "http/download.h"
#include "http/download_into.h"
#include "http/failure_reason.h"
#include "http/h2_session.h"
#include "http/http_client.h"
#include "platform/net.h"
#include "support/gbk.h"
#include "support/temp_dir.h"
#include "support/tls_test_peers.h"
#include "util/app_log.h"

namespace {

class TlsPeerDownload : public TlsTestPeersSuite {
protected:
    void SetUp() override {
        if (!trusted) GTEST_SKIP() << "needs the servers of tools/tls-test-peers.sh";
        ASSERT_EQ(1, StartNetwork());
        const HttpClientSettings settings = {};
        client_ = NewHttpClient(&settings);
        ASSERT_EQ(1, OpenAppLog(dir.path().c_str()));
        SetNetworkTimeoutForTests(5000);
    }
    void TearDown() override {
        if (!trusted) return;
        FreeHttpClient(client_);
        SetNetworkTimeoutForTests(0);
        CloseAppLog();
    }

    std::string Url(TlsTestPeer peer, const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(ports[peer]) + path;
    }
    int Download(TlsTestPeer peer, const std::string& path, const std::string& name) {
        char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
        int result = DownloadInto(client_, Url(peer, path), dir.File(name), errorText, true);
        error = errorText;
        return result;
    }
    std::string Stored(const std::string& name) const { return ReadWholeFile(dir.File(name)); }
    std::string Log() const { return ReadAppLog(dir.File("app.log")); }

    TempDir dir;
    std::string error;  // GBK
    HttpClient* client_ = nullptr;
};

// What the good server sends for `path` as request `request` of connection
// `connection`.
std::string Served(const std::string& path, int connection, int request) {
    return std::string("\x89PNG\r\n\x1a\n", 8) + path + " connection " + std::to_string(connection) + " request " +
           std::to_string(request);
}

}  // namespace

TEST_F(TlsPeerDownload, ImagesAreStoredAsServedOverOneConnection) {
    ASSERT_EQ(DOWNLOAD_STORED, Download(TLS_PEER_GOOD, "/png/a.png", "a.png")) << Utf8(error);
    ASSERT_EQ(DOWNLOAD_STORED, Download(TLS_PEER_GOOD, "/png/b.png", "b.png")) << Utf8(error);
    std::string first = Stored("a.png");
    // The server's connection count runs across tests: take it from the first.
    size_t at = first.find(" connection ");
    ASSERT_NE(std::string::npos, at) << first;
    int connection = std::stoi(first.substr(at + 12));
    EXPECT_EQ(Served("/png/a.png", connection, 1), first);
    EXPECT_EQ(Served("/png/b.png", connection, 2), Stored("b.png"));
    EXPECT_EQ(std::string::npos, Log().find(Gbk("搬家失败")));
}

TEST_F(TlsPeerDownload, RefusedCertificatesFailTheImageWithoutAnyRetry) {
    const struct {
        TlsTestPeer peer;
        const char* status;
    } cases[] = {{TLS_PEER_WRONG_NAME, "0x800B010F"},
                 {TLS_PEER_EXPIRED, "0x800B0101"}};  // CERT_E_CN_NO_MATCH, CERT_E_EXPIRED
    for (const auto& refused : cases) {
        EXPECT_EQ(DOWNLOAD_FAILED, Download(refused.peer, "/png/c.png", "c.png")) << refused.status;
        EXPECT_EQ(Gbk("HTTPS证书未通过验证(127.0.0.1): ") + refused.status, error) << Utf8(error);
        EXPECT_FALSE(PathExists(dir.File("c.png"))) << refused.status;
    }
    // Neither repeated without keep-alive nor in plain text.
    EXPECT_EQ(std::string::npos, Log().find(Gbk("搬家失败"))) << Utf8(Log());
    EXPECT_EQ(std::string::npos, Log().find(Gbk("没有TLS应答"))) << Utf8(Log());
}

// Schannel's refusals of a certificate, whichever the fault, reach the
// image's reason as an untrusted certificate at the peer's place.
TEST_F(TlsPeerDownload, RefusedCertificatesAreTheImagesReason) {
    for (TlsTestPeer refused : {TLS_PEER_WRONG_NAME, TLS_PEER_EXPIRED, TLS_PEER_UNTRUSTED}) {
        const std::string place = "127.0.0.1:" + std::to_string(ports[refused]);
        SCOPED_TRACE(place);
        char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
        Transfer transfer;
        InitTransfer(&transfer, client_, ErrorText{errorText, sizeof errorText}, nullptr);
        WriteWholeFile(dir.File("e.png"), "");
        EXPECT_EQ(DOWNLOAD_FAILED,
                  DownloadImage(&transfer, Url(refused, "/png/e.png").c_str(), dir.File("e.png").c_str(), true, false));
        EXPECT_STREQ("certificate_untrusted", FailureCode(transfer.reason.kind));
        char sentence[256];
        FormatFailureSentence(&transfer.reason, true, sentence, sizeof sentence);
        EXPECT_EQ("certificate not trusted (" + place + ")", std::string(sentence));
    }
}

// A body without a length, cut mid-record with no close_notify, is no image
// (Schannel: a bare end of the socket is not SEC_I_CONTEXT_EXPIRED).
TEST_F(TlsPeerDownload, LengthlessBodyCutWithoutCloseNotifyFails) {
    EXPECT_EQ(DOWNLOAD_FAILED, Download(TLS_PEER_GOOD, "/cut/d.png", "d.png"));
    EXPECT_EQ(0u,
              error.find(Gbk("连接没有正常关闭就断开了(没有Content-Length), 图片不完整, 实际接收到的文件大小:1008")))
        << Utf8(error);
    EXPECT_FALSE(PathExists(dir.File("d.png")));
}

// Many images at once over HTTP/2 through Schannel, from the nginx beside
// the peers: every one arrives whole, all over one connection.
TEST_F(TlsPeerDownload, ImagesArriveOverOneHttp2Connection) {
    const char* h2 = std::getenv("KARVELO_TLS_TEST_H2");
    if (h2 == nullptr || *h2 == '\0') GTEST_SKIP() << "needs the nginx of tools/tls-test-peers.sh";
    std::istringstream peer(h2);
    int port = 0;
    std::string log;
    peer >> port >> log;
    const int IMAGES = 24;
    std::vector<int> results(IMAGES + 1, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int n = t + 1; n <= IMAGES; n += 6) {
                char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
                const std::string url =
                    "https://127.0.0.1:" + std::to_string(port) + "/h2/" + std::to_string(n) + ".png";
                results[n] = DownloadInto(client_, url, dir.File(std::to_string(n) + ".png"), errorText, true);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int n = 1; n <= IMAGES; ++n) {
        const std::string path = "/h2/" + std::to_string(n) + ".png";
        EXPECT_EQ(1, results[n]) << path;
        std::string expected = std::string("\x89PNG\r\n\x1a\n", 8);
        for (int i = 0; i < 200 * n; ++i) expected += path;
        EXPECT_TRUE(Stored(std::to_string(n) + ".png") == expected) << path;
    }
    CloseH2Sessions(client_);
    std::istringstream served(ReadWholeFile("Z:" + log));
    std::string protocol, connection, first, uri, status;
    int lines = 0;
    for (; served >> protocol >> connection >> uri >> status; ++lines) {
        EXPECT_EQ("HTTP/2.0", protocol) << uri;
        if (first.empty()) first = connection;
        EXPECT_EQ(first, connection) << uri;
    }
    EXPECT_GE(lines, IMAGES);
}
