// Every kind of failure reason, met for real by DownloadImage against a
// loopback peer: the kind, its place or status, its code and both of its
// sentences.
#include <gtest/gtest.h>

#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "http/download_limits.h"
#include "http/failure_reason.h"
#include "http/http_test_support.h"
#include "http/proxy_settings.h"

namespace {

// What a case downloads from; the scripted server gives its `response` on
// each of three connections: the download's, a redirect's and the
// repetition without keep-alive.
enum Peer {
    SCRIPTED,        // the scripted server
    SILENT,          // a connection that never answers, under a short slow window
    UNWRITABLE,      // the scripted server, into a file in a folder that is not there
    REFUSING,        // a refusing port
    CUT_OFF_HOST,    // a refusing port, after CONNECT_FAILURE_LIMIT downloads from it
    STALLED,         // a listener that never accepts, under a short network time-out
    NO_NAME,         // a host name that resolves to nothing
    WRONG_NAME_TLS,  // a TLS peer whose certificate is for another name
    PROXY_407,       // the scripted server as a proxy that wants credentials
    DEAD_PROXY,      // a proxy on a refusing port
};

struct ReasonCase {
    Peer peer;
    std::string response;  // "": none
    FailureKind kind;
    int status;
    const char* code;
    const char* english;  // "{PLACE}" stands for the place the reason names
    const char* chinese;  // UTF-8
};

const std::string REDIRECT = "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:" + std::string(PORT_PLACEHOLDER) +
                             "/again.jpg\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// clang-format off
const ReasonCase CASES[] = {
    {SCRIPTED, Head("HTTP/1.1 404 Not Found", "Content-Length: 0\r\n"), FAILURE_HTTP_STATUS, 404, "http_status",
     "404 Not Found ({PLACE})", "404 文件不存在({PLACE})"},
    {SCRIPTED, Head("HTTP/1.1 500 Internal Server Error", "Content-Length: 0\r\n"), FAILURE_HTTP_STATUS, 500,
     "http_status", "500 Internal Server Error ({PLACE})", "500 服务器内部错误({PLACE})"},
    {SCRIPTED, Head("HTTP/1.1 599 Odd", "Content-Length: 0\r\n"), FAILURE_HTTP_STATUS, 599, "http_status",
     "HTTP 599 ({PLACE})", "HTTP 状态码 599({PLACE})"},
    {SCRIPTED, Ok("<html>no image</html>"), FAILURE_NOT_AN_IMAGE, 0, "not_an_image",
     "not an image ({PLACE})", "下载到的不是图片({PLACE})"},
    {SCRIPTED, Ok(JPEG_BYTES, "Content-Encoding: gzip\r\n"), FAILURE_COMPRESSED, 0, "compressed",
     "compressed body, which is refused ({PLACE})", "服务器发来压缩过的数据，不予接受({PLACE})"},
    {SCRIPTED, Head("HTTP/1.1 200 OK", "Content-Length: 20000000\r\n") + JPEG_BYTES, FAILURE_TOO_LARGE, 0,
     "too_large", "larger than 10 MiB ({PLACE})", "图片大于 10 MiB({PLACE})"},
    {SCRIPTED, Head("HTTP/1.1 200 OK", "Content-Length: 90000\r\n") + JPEG_BYTES, FAILURE_CUT_OFF, 0, "cut_off",
     "connection closed before the image was whole ({PLACE})", "图片还没下载完，连接就断开了({PLACE})"},
    {SCRIPTED, REDIRECT, FAILURE_REDIRECT_REFUSED, 0, "redirect_refused",
     "redirect not followed ({PLACE})", "重定向没有跟随({PLACE})"},
    {SCRIPTED, Head("HTTP/1.1 200 OK", "Content-Length: 5\r\nContent-Length: 6\r\n") + JPEG_BYTES, FAILURE_OTHER,
     0, "other", "download failed ({PLACE})", "下载失败({PLACE})"},
    {SILENT, "", FAILURE_TOO_SLOW, 0, "too_slow",
     "too slow: under 1 KB/s for 1 s", "下载太慢：低于 1 KB/s 已持续 1 秒"},
    {UNWRITABLE, Ok(JPEG_BYTES), FAILURE_FILE_NOT_WRITABLE, 0, "file_not_writable",
     "the image's file could not be written (DEST full or read-only?)", "图片文件无法写入(目标文件夹已满或只读？)"},
    {REFUSING, "", FAILURE_CONNECTION_REFUSED, 0, "connection_refused",
     "connection refused ({PLACE})", "连接被拒绝({PLACE})"},
    {CUT_OFF_HOST, "", FAILURE_HOST_CUT_OFF, 0, "host_cut_off",
     "{PLACE} no longer tried after 5 failed connects", "{PLACE} 已连续 5 次连接失败，不再尝试"},
    {STALLED, "", FAILURE_TIMED_OUT, 0, "timed_out",
     "no answer in time ({PLACE})", "等待应答超时({PLACE})"},
    {NO_NAME, "", FAILURE_NAME_NOT_FOUND, 0, "name_not_found",
     "host name not found ({PLACE})", "找不到这个域名({PLACE})"},
    {WRONG_NAME_TLS, "", FAILURE_CERTIFICATE_UNTRUSTED, 0, "certificate_untrusted",
     "certificate not trusted ({PLACE})", "HTTPS 证书不受信任({PLACE})"},
    {PROXY_407, Head("HTTP/1.1 407 Proxy Authentication Required", "Content-Length: 0\r\n"), FAILURE_PROXY_REFUSED,
     407, "proxy_refused", "proxy {PLACE} refused: 407 Proxy Authentication Required",
     "代理服务器 {PLACE} 拒绝：407 需要代理身份验证"},
    {DEAD_PROXY, "", FAILURE_PROXY_UNREACHABLE, 0, "proxy_unreachable",
     "proxy {PLACE} cannot be reached", "无法连接代理服务器 {PLACE}"},
};
// clang-format on

int NoAddresses(const char*, HostAddresses*) { return 0; }
const char* NoEnvironment(const char*) { return nullptr; }

std::string WithPlace(std::string text, const std::string& place) {
    const size_t at = text.find("{PLACE}");
    return at == std::string::npos ? text : text.replace(at, 7, place);
}

std::string Sentence(const FailureReason& reason, bool english) {
    char text[512];
    FormatFailureSentence(&reason, english, text, sizeof text);
    return text;
}

class FailureReasonTest : public HttpTest {
protected:
    void TearDown() override {
        SetHostLookupForTests(nullptr);
        SetDownloadLimitsForTests(0, 0);
        UseProxySettings(nullptr);
        FreeProxySettings(&proxies_);
        HttpTest::TearDown();
    }
    // DownloadImage as the run calls it (the file made first, unless the
    // case wants none), with the reason it left in its transfer.
    FailureReason Fetch(const std::string& url, const std::string& path, bool makeFile) {
        if (makeFile) WriteWholeFile(path, "");
        char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
        Transfer transfer;
        InitTransfer(&transfer, client_, ErrorText{errorText, sizeof errorText}, nullptr);
        EXPECT_NE(DOWNLOAD_STORED, DownloadImage(&transfer, url.c_str(), path.c_str(), true, false));
        return transfer.reason;
    }
    void UseProxy(int port) {
        UseProxySettings(nullptr);
        FreeProxySettings(&proxies_);
        const std::string url = "http://127.0.0.1:" + std::to_string(port);
        char* failure = nullptr;
        ASSERT_EQ(1, ReadProxyEnvironment(&proxies_, url.c_str(), nullptr, &failure, NoEnvironment));
        UseProxySettings(&proxies_);
    }
    ProxySettings proxies_ = {};
};

}  // namespace

TEST_F(FailureReasonTest, EveryKindIsMetWhereItHappensAndToldInBothLanguages) {
    std::string failure;
    const TestCertificates* certificates = TestCertificatesMade(&failure);
    ASSERT_NE(nullptr, certificates) << failure;
    for (const ReasonCase& c : CASES) {
        SCOPED_TRACE(c.code);
        UseProxySettings(nullptr);  // a new client: no connections, counts or proxy of the case before
        std::vector<ScriptedConnection> script;
        if (!c.response.empty()) script.assign(3, Serve(Reply(c.response)));
        if (c.peer == SILENT) script.push_back(ScriptedConnection{{}, false, 0});
        ScriptedServer server(script);
        RefusingLoopbackPort refusing;
        StalledListener stalled;
        const std::string refused = "127.0.0.1:" + std::to_string(refusing.port());
        std::string url = server.Url("/a.jpg");
        std::string place = "127.0.0.1:" + std::to_string(server.port());
        std::string path = File("a.jpg");
        pid_t peer = -1;
        switch (c.peer) {
            case SCRIPTED: break;
            case SILENT: SetDownloadLimitsForTests(300, 0); break;
            case UNWRITABLE: path = File("missing/a.jpg"); break;
            case CUT_OFF_HOST:
                for (int i = 0; i < CONNECT_FAILURE_LIMIT; ++i) Fetch("http://" + refused + "/a.jpg", path, true);
                [[fallthrough]];
            case REFUSING:
                url = "http://" + refused + "/a.jpg";
                place = refused;
                break;
            case STALLED:
                SetNetworkTimeoutForTests(300);
                place = "127.0.0.1:" + std::to_string(stalled.port());
                url = "http://" + place + "/a.jpg";
                break;
            case NO_NAME:
                SetHostLookupForTests(NoAddresses);
                url = "http://images.invalid/a.jpg";
                place = "images.invalid";
                break;
            case WRONG_NAME_TLS: {
                std::string port;
                peer = StartTlsTestPeer("tls_test_peer.py", File("peer"), certificates->otherName, {"good"}, &port);
                ASSERT_GT(peer, 0) << "the TLS peer did not start";
                place = "127.0.0.1:" + port;
                url = "https://" + place + "/png/a.png";
                break;
            }
            case PROXY_407:
                UseProxy(server.port());
                url = "https://127.0.0.1:1/a.jpg";
                break;
            case DEAD_PROXY:
                UseProxy(refusing.port());
                url = "http://127.0.0.1:1/a.jpg";
                place = refused;
                break;
        }
        const FailureReason reason = Fetch(url, path, c.peer != UNWRITABLE);
        if (peer > 0) StopProcess(peer, SIGTERM, 2000);
        SetNetworkTimeoutForTests(TEST_NETWORK_TIMEOUT_MILLISECONDS);
        SetDownloadLimitsForTests(0, 0);
        EXPECT_EQ(c.kind, reason.kind);
        EXPECT_EQ(c.status, reason.status);
        EXPECT_EQ(c.peer == SILENT ? "" : place, reason.place);
        EXPECT_STREQ(c.code, FailureCode(reason.kind));
        EXPECT_EQ(WithPlace(c.english, place), Sentence(reason, true));
        EXPECT_EQ(Gbk(WithPlace(c.chinese, place)), Sentence(reason, false));
    }
}
