#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "http/connection.h"
#include "http/download.h"
#include "http/http_test_support.h"
#include "platform/fs.h"
#include "support/file_fault_layer.h"
#include "base/memory.h"
#include "base/strings.h"

namespace {

const std::string USER_AGENT = "\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 5.2; Trident/4.0; CIBA)";

std::string Request(const std::string& path, const std::string& host, bool keepAlive) {
    return "GET " + path + (keepAlive ? " HTTP/1.1" : " HTTP/1.0") + "\r\nAccept: */*\r\nAccept-Language: zh-cn" +
           USER_AGENT + "\r\nHost: " + host +
           (keepAlive ? "\r\nConnection: keep-alive\r\n\r\n" : "\r\nConnection: close\r\n\r\n");
}

std::string RetryRecord(const std::string& url, const std::string& gbkMessage) {
    return Gbk("搬家失败：") + url + Gbk("(useKeepAlive:1)，返回的错误信息：") + LOGGED_BREAK + gbkMessage;
}

class DownloadTest : public HttpTest {
protected:
    void TearDown() override {
        SetFileFaultInjection(nullptr);
        HttpTest::TearDown();
    }
    int Download(const std::string& url, int useKeepAlive, const std::string& path = "") {
        char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
        int result = DownloadInto(client_, url, path.empty() ? Image() : path, errorText, useKeepAlive);
        error = errorText;
        return result;
    }
    std::string Image() const { return File("image.jpg"); }
    std::string Key(const ScriptedServer& server) const { return "127.0.0.1:" + std::to_string(server.port()); }
    std::string HostLine(const ScriptedServer& server) const { return Key(server); }

    std::string error;  // GBK
};

TEST_F(DownloadTest, RequestTextIsExact) {
    ScriptedServer server({ServeKeepingOpen({Reply(Ok(JPEG_BYTES)), Reply(Ok(JPEG_BYTES)), Reply(Ok(JPEG_BYTES))}),
                           Serve(Reply(Ok(JPEG_BYTES)))});
    // A connection to the server pooled as host "h" port 80 lets the
    // requests for "h" reach it.
    char connectMessage[HTTP_ERROR_TEXT_BYTES] = {0};
    SocketHandle socket =
        OpenConnection(&transfer_, "127.0.0.1", server.port(), ErrorText{connectMessage, sizeof connectMessage});
    ASSERT_NE(0, socket) << Utf8(connectMessage);
    HttpConnection* pooled = static_cast<HttpConnection*>(AllocateZeroed(1, sizeof(HttpConnection)));
    pooled->transport = NewTcpTransport(socket);
    HashMapAdd(Pool(), CopyString("h:80"), pooled);

    EXPECT_EQ(1, Download("http://h/a.jpg", 1)) << Utf8(error);
    EXPECT_EQ(1, Download("http://h:80/a.jpg", 1)) << Utf8(error);  // the scheme's own port is not named
    EXPECT_EQ(1, Download("http://h/x?a=1&amp;b=2&amp;c", 1)) << Utf8(error);
    ClosePooledConnections(client_);  // lets the server go on to its next connection
    EXPECT_EQ(1, Download(server.Url("/a.jpg"), 0)) << Utf8(error);
    ASSERT_TRUE(server.WaitUntilServed());

    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(4u, requests.size());
    EXPECT_EQ(
        "GET /a.jpg HTTP/1.1\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE "
        "8.0; Windows NT 5.2; Trident/4.0; CIBA)\r\nHost: h\r\nConnection: keep-alive\r\n\r\n",
        requests[0]);
    EXPECT_EQ(requests[0], requests[1]);
    EXPECT_EQ(Request("/x?a=1&b=2&c", "h", true), requests[2]);
    EXPECT_EQ(Request("/a.jpg", HostLine(server), false), requests[3]);
    EXPECT_EQ(0, CountInLog("new socket()"));
}

TEST_F(DownloadTest, HeadAndBodySplitOverReceives) {
    const std::string body = JPEG_BYTES + std::string(20000, 'x');
    ScriptedServer server({ServeKeepingOpen(
        {ReplyInPieces({"HTTP/1.1 20", "0 OK\r\nContent-Len", "gth: " + std::to_string(body.size()) + "\r\n\r",
                        "\n" + body.substr(0, 1), body.substr(1, 9000), body.substr(9001)})})});
    EXPECT_EQ(1, Download(server.Url("/a.jpg"), 1)) << Utf8(error);
    EXPECT_EQ(body, ReadWholeFile(Image()));
    EXPECT_NE(0, PooledSocket(client_, Key(server)));
}

TEST_F(DownloadTest, KeepAliveReusesOnePooledConnection) {
    ScriptedServer server({ServeKeepingOpen({Reply(Ok(JPEG_BYTES)), Reply(Ok(JPEG_BYTES))})});
    EXPECT_EQ(1, Download(server.Url("/1.jpg"), 1)) << Utf8(error);
    EXPECT_EQ(1, Download(server.Url("/2.jpg"), 1)) << Utf8(error);
    EXPECT_EQ(1, CountInLog(Key(server) + " --- new socket()"));
    EXPECT_EQ(1, server.AcceptedConnections());
    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(Request("/2.jpg", HostLine(server), true), requests[1]);
}

TEST_F(DownloadTest, ConnectionCloseTakesTheConnectionOutOfThePool) {
    ScriptedServer server({Serve(Reply(Ok(JPEG_BYTES, "Connection: CLOSE\r\n"))), Serve(Reply(Ok(JPEG_BYTES)))});
    EXPECT_EQ(1, Download(server.Url("/1.jpg"), 1)) << Utf8(error);
    EXPECT_EQ(0, Pool()->count);
    EXPECT_EQ(1, Download(server.Url("/2.jpg"), 1)) << Utf8(error);
    EXPECT_EQ(2, CountInLog(Key(server) + " --- new socket()"));
}

TEST_F(DownloadTest, StalePooledConnectionIsReplacedAtOnce) {
    ScriptedServer server({Serve(Reply(Ok(JPEG_BYTES))), Serve(Reply(Ok(JPEG_BYTES)))});
    EXPECT_EQ(1, Download(server.Url("/1.jpg"), 1)) << Utf8(error);
    // Wait until the server's close has reached the pooled socket.
    SocketHandle pooled = PooledSocket(client_, Key(server));
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(pooled, &readSet);
    timeval wait = {2, 0};
    ASSERT_EQ(1, select(pooled + 1, &readSet, nullptr, nullptr, &wait));

    // The request goes again on a new kept-alive connection, and no
    // repetition is logged: the host only let the idle connection go.
    EXPECT_EQ(1, Download(server.Url("/2.jpg"), 1)) << Utf8(error);
    EXPECT_EQ(0, CountInLog(Gbk("搬家失败"))) << Utf8(Log());
    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(Request("/2.jpg", HostLine(server), true), requests[1]);
    EXPECT_EQ(2, server.AcceptedConnections());
    EXPECT_EQ(1, Pool()->count);
}

TEST_F(DownloadTest, IdlePooledConnectionThatClosedOrSpokeIsReplacedBeforeTheRequest) {
    // One host closes its idle connection, the other writes to it unasked
    // (a late 408): both are seen before a request goes out on them, and
    // replaced without a trace in the log.
    const std::string late = "HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\n\r\n";
    ScriptedServer closing({Serve(Reply(Ok(JPEG_BYTES))), Serve(Reply(Ok(JPEG_BYTES)))});
    ScriptedServer speaking({ServeKeepingOpen({ReplyInPieces({Ok(JPEG_BYTES), late})}), Serve(Reply(Ok(JPEG_BYTES)))});
    for (ScriptedServer* server : {&closing, &speaking}) {
        EXPECT_EQ(1, Download(server->Url("/1.jpg"), 1)) << Utf8(error);
        SocketHandle pooled = PooledSocket(client_, Key(*server));
        ASSERT_EQ(1, WaitReadable(pooled, 900));  // the close or the bytes have arrived
        HttpConnection* connection = static_cast<HttpConnection*>(HashMapGet(Pool(), Key(*server).c_str()));
        EXPECT_FALSE(TransportAlive(connection->transport));
        EXPECT_EQ(1, Download(server->Url("/2.jpg"), 1)) << Utf8(error);
        EXPECT_EQ(2, server->AcceptedConnections());
        std::vector<std::string> requests = server->Requests();
        ASSERT_EQ(2u, requests.size());
        EXPECT_EQ(Request("/2.jpg", HostLine(*server), true), requests[1]);
    }
    EXPECT_EQ(0, CountInLog(Gbk("搬家失败"))) << Utf8(Log());
    EXPECT_EQ(1, CountInLog(Key(speaking) + " --- new socket()"));  // the replacement is not logged
}

const std::string SELF = "http://127.0.0.1:{PORT}";

std::string Redirect(const std::string& location, const std::string& extraLines) {
    return Head("HTTP/1.1 302 Found", "Location: " + location + "\r\n" + extraLines);
}

TEST_F(DownloadTest, SendFailureIsRepeatedAndNeverRaisesSigpipe) {
    // After the response the server reads nothing for a second, so it does
    // not answer the half-close below with a close of its own, which the
    // pool's look at an idle connection would notice before any send.
    ScriptedServer server(
        {ServeKeepingOpen({ReplyInPieces({Ok(JPEG_BYTES), ""}, 1000)}), Serve(Reply(Ok(JPEG_BYTES)))});
    EXPECT_EQ(1, Download(server.Url("/1.jpg"), 1)) << Utf8(error);
    // A send on this socket fails with EPIPE, which would raise SIGPIPE.
    shutdown(PooledSocket(client_, Key(server)), SHUT_WR);
    EXPECT_EQ(1, Download(server.Url("/2.jpg"), 1)) << Utf8(error);
    EXPECT_EQ(1, CountInLog(RetryRecord(server.Url("/2.jpg"), Gbk("下载图片失败: send() failed"))));
}

TEST_F(DownloadTest, RedirectToWebpOfferIsFollowedOnTheSameConnection) {
    // The redirect's body is read whole, so its connection stays usable.
    ScriptedServer server({ServeKeepingOpen(
        {Reply(Redirect(SELF + "/b.jpg_.WEBP", "Content-Length: 5\r\nConnection: keep-alive\r\n") + "moved"),
         Reply(Ok(JPEG_BYTES))})});
    EXPECT_EQ(1, Download(server.Url("/a.jpg"), 1)) << Utf8(error);
    EXPECT_EQ(JPEG_BYTES, ReadWholeFile(Image()));
    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(Request("/b.jpg", HostLine(server), true), requests[1]);
    EXPECT_EQ(1, CountInLog("new socket()"));
}

TEST_F(DownloadTest, RedirectWithUnreadBodyDropsItsConnection) {
    ScriptedServer server(
        {ServeKeepingOpen({Reply(Redirect(SELF + "/b.jpg", "Connection: keep-alive\r\n") + "<html>moved</html>")}),
         ServeKeepingOpen({Reply(Ok(JPEG_BYTES))})});
    EXPECT_EQ(1, Download(server.Url("/a.jpg"), 1)) << Utf8(error);
    EXPECT_EQ(2, CountInLog(Key(server) + " --- new socket()"));
    EXPECT_EQ(0, CountInLog(Gbk("搬家失败")));
}

TEST_F(DownloadTest, SecondRedirectAndRelativeLocationFail) {
    const std::string again = Redirect(SELF + "/c.jpg", "Connection: close\r\n");
    ScriptedServer twice(
        {Serve(Reply(Redirect(SELF + "/b.jpg", "Connection: close\r\n"))), Serve(Reply(again)), Serve(Reply(again))});
    EXPECT_EQ(-1, Download(twice.Url("/a.jpg"), 0));
    EXPECT_EQ(Gbk("返回错误的http状态码:\n") + "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:" +
                  std::to_string(twice.port()) + "/c.jpg\r\nConnection: close\r\n\r\n",
              error);
    EXPECT_FALSE(PathExists(Image()));
    // The redirect is followed with keep-alive whatever the first call used,
    // and that attempt is repeated once without.
    EXPECT_EQ(1, CountInLog(Gbk("搬家失败：") + twice.Url("/b.jpg") + "(useKeepAlive:1)"));
    ASSERT_TRUE(twice.WaitUntilServed());
    std::vector<std::string> requests = twice.Requests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ(Request("/a.jpg", HostLine(twice), false), requests[0]);
    EXPECT_EQ(Request("/b.jpg", HostLine(twice), true), requests[1]);
    EXPECT_EQ(Request("/b.jpg", HostLine(twice), false), requests[2]);

    ScriptedServer relative({Serve(Reply(Redirect("/b.jpg", "Connection: close\r\n")))});
    EXPECT_EQ(-1, Download(relative.Url("/a.jpg"), 1));
    EXPECT_EQ(Gbk("无法parse下载图片地址"), error);
    EXPECT_EQ(1, CountInLog(Gbk("搬家失败")));  // only the one above
    EXPECT_FALSE(PathExists(Image()));
}

TEST_F(DownloadTest, SizeLimitOfTenMegabytes) {
    const std::string largest = JPEG_BYTES + std::string(HTTP_BODY_SIZE_LIMIT - JPEG_BYTES.size(), 'b');
    ScriptedServer atLimit({Serve(Reply(Ok(largest)))});
    EXPECT_EQ(1, Download(atLimit.Url("/a.jpg"), 0)) << Utf8(error);
    EXPECT_EQ(HTTP_BODY_SIZE_LIMIT, ReadWholeFile(Image()).size());

    const std::string overHead = Head("HTTP/1.1 200 OK", "Content-Length: 10485761\r\n") + "\xFF\xD8";
    ScriptedServer overLength({Serve(Reply(overHead)), Serve(Reply(overHead))});
    EXPECT_EQ(0, Download(overLength.Url("/a.jpg"), 1));
    EXPECT_EQ(Gbk("fileSize=0, header.contentLength: 10485761, 大于10M"), error);
    EXPECT_FALSE(PathExists(Image()));
    ASSERT_TRUE(overLength.WaitUntilServed());
    EXPECT_EQ(2, overLength.AcceptedConnections());

    ScriptedServer growing({Serve(Reply(Head("HTTP/1.0 200 OK", "") + largest + "!"))});
    EXPECT_EQ(0, Download(growing.Url("/a.jpg"), 0));
    EXPECT_EQ(0, error.find("header.contentLength: -1, readTotal:10")) << error;
    EXPECT_NE(std::string::npos, error.find(" > 10M"));
    EXPECT_FALSE(PathExists(Image()));
}

TEST_F(DownloadTest, ResponsesThatAreNotAnImage) {
    struct Case {
        std::string response;
        int result;
        std::string message;  // UTF-8; a prefix when it ends in '*'
    };
    const std::string webp = "RIFF\x10\0\0\0WEBPVP8 ";
    const std::string garbage = std::string("\x01\x02garbage ") + std::string(400, 'g') + "\r\n\r\n";
    const std::vector<Case> cases = {
        {Ok(""), 0, "下载的图片格式不受支持"},
        {Ok(webp), 0, "下载的图片格式不受支持"},
        {Ok(JPEG_BYTES, "Content-Encoding: identity\r\n"), -1, "header.contentEncoding:identity"},
        {Head("HTTP/1.1 200", "Content-Length: 2\r\n") + "\xFF\xD8", -1, "返回错误的http状态码:\nHTTP/1.1 200\r\n*"},
        {Head("HTTP/1.1 404 Not Found", "Content-Length: 0\r\n"), -1, "404 Not Found - 文件不存在"},
        {Head("HTTP/1.1 302 Found", "Content-Length: 0\r\n"), -1, "返回错误的http状态码:\nHTTP/1.1 302 Found*"},
        {garbage, -1, "返回错误的http状态码:\n" + garbage.substr(0, 256)},
        {Ok(JPEG_BYTES.substr(0, 4)) + "extra", 0, "readTotal > fileSize, 当前下载的文件数据大小:9, fileSize:4"},
        // Where the body ends must be beyond doubt; a cut or foreign redirect is not followed.
        {Ok(JPEG_BYTES, "Content-Length: 4\r\n"), -1, "http header 中有多个不同的 Content-Length, 无法确定图片大小"},
        {Head("HTTP/1.1 200 OK", "Content-Length: 4\r\nTransfer-Encoding: chunked\r\n") + "d\r\n" + JPEG_BYTES +
             "\r\n0\r\n\r\n",
         -1, "http header 中同时有 Content-Length 和 Transfer-Encoding: chunked, 无法确定图片大小"},
        {Redirect(SELF + "/" + std::string(600, 'l'), "Content-Length: 0\r\n"), -1,
         "重定向地址太长(超过511字节), 没有跟随。"},
        {Redirect("httpx://127.0.0.1/b.jpg", "Content-Length: 0\r\n"), -1, "无法parse下载图片地址"},
    };
    for (const Case& c : cases) {
        ScriptedServer server({Serve(Reply(c.response))});
        EXPECT_EQ(c.result, Download(server.Url("/a.jpg"), 0)) << c.response;
        std::string expected = c.message;
        if (!expected.empty() && expected.back() == '*') {
            expected.pop_back();
            EXPECT_EQ(0, error.find(Gbk(expected))) << Utf8(error);
        } else {
            EXPECT_EQ(Gbk(expected), error);
        }
        EXPECT_FALSE(PathExists(Image())) << c.response;
    }
    // "ok" in any case passes here (the text fetch is stricter); interim
    // answers before the final one are passed over, and a length repeated
    // alike is one length.
    ScriptedServer lowerCase({Serve(Reply("http/1.1 200 ok\r\ncontent-length: 13\r\n\r\n" + JPEG_BYTES))});
    EXPECT_EQ(1, Download(lowerCase.Url("/a.jpg"), 0)) << Utf8(error);
    ScriptedServer interim(
        {Serve(ReplyInPieces({"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s>\r\n\r\n",
                              Ok(JPEG_BYTES, "Content-Length: 13\r\n")}))});
    EXPECT_EQ(1, Download(interim.Url("/a.jpg"), 0)) << Utf8(error);
    EXPECT_EQ(JPEG_BYTES, ReadWholeFile(Image()));
}

// However a peer misbehaves, a failed image says why: in the message, and
// in the log line of the repetition.
TEST_F(DownloadTest, EveryFailureFromAHostilePeerCarriesAReason) {
    const std::string chunked = Head("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n");
    const std::vector<std::string> responses = {
        "",
        "HTTP/1.1 200 OK\r\nContent-Le",
        std::string(HTTP_BUFFER_SIZE + 10, 'a'),
        "\r\n\r\n",
        Head("HTTP/1.1 200 OK", "Content-Length: 100\r\n") + JPEG_BYTES,
        Head("HTTP/1.1 200 OK", "Content-Length: 99999999\r\n") + JPEG_BYTES,
        Head("HTTP/1.1 200 OK", "Content-Length: -5\r\n") + JPEG_BYTES,
        Head("HTTP/1.1 200 OK", "Content-Length: 0\r\n"),
        chunked,
        chunked + "zz\r\n",
        chunked + "FFFFFFFFFFFF\r\n",
        chunked + "-2\r\n",
        chunked + "20\r\n" + JPEG_BYTES,
        chunked + "2\r\n\xFF\xD8\r\n0\r\n",
        chunked + std::string(HTTP_BUFFER_SIZE + 10, '1'),
        Head("HTTP/1.1 500 Internal Server Error", "Content-Length: 0\r\n"),
        Head("HTTP/1.1 407 Proxy Authentication Required", "Content-Length: 0\r\n"),
        Head("HTTP/1.1 302 Found", "Location: ftp://x/a.jpg\r\nContent-Length: 0\r\n"),
        Head("HTTP/1.1 302 Found", "Location: http://127.0.0.1:1/a.jpg\r\nContent-Length: 0\r\n"),
        Ok("<html>"),
    };
    for (const std::string& response : responses) {
        for (int keepAlive : {1, 0}) {
            SCOPED_TRACE(response.substr(0, 80) + (keepAlive ? " (keep-alive)" : ""));
            ClosePooledConnections(client_);
            ResetConnectFailureCounts(client_);
            ScriptedServer server({Serve(Reply(response)), Serve(Reply(response)), Serve(Reply(response))});
            const int result = Download(server.Url("/a.jpg"), keepAlive);
            EXPECT_NE(1, result);
            EXPECT_FALSE(error.empty());
            EXPECT_EQ(0, CountInLog(Gbk("返回的错误信息：") + "\r\n\r\n")) << Utf8(Log());
        }
    }
}

TEST_F(DownloadTest, BodyEndsWithoutKeepAlive) {
    // No length: whatever arrives before the close is the image.
    ScriptedServer untilClose(
        {Serve(ReplyInPieces({Head("HTTP/1.0 200 OK", ""), JPEG_BYTES.substr(0, 1), JPEG_BYTES.substr(1)}))});
    EXPECT_EQ(1, Download(untilClose.Url("/a.jpg"), 0)) << Utf8(error);
    EXPECT_EQ(JPEG_BYTES, ReadWholeFile(Image()));

    // A chunked body cut off inside a chunk is not a whole image.
    const std::string cut =
        Head("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n") + "10\r\n" + JPEG_BYTES.substr(0, 6);
    ScriptedServer chunkCut({Serve(Reply(cut))});
    EXPECT_EQ(0, Download(chunkCut.Url("/a.jpg"), 0));
    EXPECT_EQ(0, error.find(Gbk("图片大小:4294967295, 实际接收到的文件大小:6, ret:0, errno:"))) << Utf8(error);
    EXPECT_FALSE(PathExists(Image()));

    // A server that stops sending: the receive time-out ends the wait.
    SetNetworkTimeoutForTests(150);
    ScriptedConnection stalls =
        ServeKeepingOpen({Reply(Head("HTTP/1.1 200 OK", "Content-Length: 20\r\n") + "\xFF\xD8xx")});
    ScriptedServer stalling({stalls});
    EXPECT_EQ(-1, Download(stalling.Url("/a.jpg"), 0));
    EXPECT_EQ(Gbk("使用非阻塞方式连接超时。"), error);
    ScriptedServer stallingChunks(
        {ServeKeepingOpen({Reply(Head("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n") + "2\r\n\xFF\xD8\r\n")})});
    EXPECT_EQ(-1, Download(stallingChunks.Url("/a.jpg"), 0));
    EXPECT_EQ(Gbk("使用非阻塞方式连接超时。"), error);
    EXPECT_FALSE(PathExists(Image()));
}

TEST_F(DownloadTest, KeepAliveFailuresAreRepeatedOverHttp10) {
    // Read until the close, refused under keep-alive, accepted on repetition.
    const std::string untilClose = Head("HTTP/1.1 200 OK", "Connection: close\r\n") + JPEG_BYTES;
    ScriptedServer closing({Serve(Reply(untilClose)), Serve(Reply(untilClose))});
    EXPECT_EQ(1, Download(closing.Url("/a.jpg"), 1)) << Utf8(error);
    EXPECT_EQ(1,
              CountInLog(RetryRecord(closing.Url("/a.jpg"), Gbk("(fileSize:未定义, readTotal:13), (header.isChunked:0, "
                                                                "isChunkReceiveCompleted:0)"))))
        << Utf8(Log());
    EXPECT_EQ(JPEG_BYTES, ReadWholeFile(Image()));

    // Only the close could end this body, and keep-alive asked not to close.
    const std::string noLength = Head("HTTP/1.1 200 OK", "Connection: keep-alive\r\n") + JPEG_BYTES;
    ScriptedServer unframed({Serve(Reply(noLength)), Serve(Reply(noLength))});
    EXPECT_EQ(1, Download(unframed.Url("/b.jpg"), 1)) << Utf8(error);
    EXPECT_EQ(1, CountInLog(RetryRecord(unframed.Url("/b.jpg"), "Connection: keep-alive, Content-Length = -1")));

    const std::string cutChunk = Head("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n") + "20\r\n" + JPEG_BYTES;
    ScriptedServer cut({Serve(Reply(cutChunk)), Serve(Reply(cutChunk))});
    EXPECT_EQ(0, Download(cut.Url("/c.jpg"), 1));
    EXPECT_EQ(1, CountInLog(RetryRecord(cut.Url("/c.jpg"), Gbk("(fileSize:未定义, readTotal:13), (header.isChunked:1, "
                                                               "isChunkReceiveCompleted:0)"))))
        << Utf8(Log());
    EXPECT_EQ(0, error.find(Gbk("图片大小:4294967295, 实际接收到的文件大小:13, ret:0, errno:"))) << Utf8(error);
    EXPECT_FALSE(PathExists(Image()));
}

TEST_F(DownloadTest, ChunkedBodyOverKeepAlive) {
    ScriptedServer server({ServeKeepingOpen(
        {ReplyInPieces({Head("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n") + "4\r\n" + JPEG_BYTES.substr(0, 4),
                        "\r\n", "9\r\n" + JPEG_BYTES.substr(4) + "\r\n0\r\n", "\r\n"})})});
    EXPECT_EQ(1, Download(server.Url("/a.jpg"), 1)) << Utf8(error);
    EXPECT_EQ(JPEG_BYTES, ReadWholeFile(Image()));
    EXPECT_NE(0, PooledSocket(client_, Key(server)));
}

TEST_F(DownloadTest, HeadLongerThanTheBuffer) {
    const std::string longHead = "HTTP/1.1 200 OK\r\nX-Filler: " + std::string(9000, 'f') + "\r\n\r\n";
    ScriptedServer server({Serve(Reply(longHead)), Serve(Reply(longHead))});
    EXPECT_EQ(-1, Download(server.Url("/a.jpg"), 1));
    EXPECT_EQ(Gbk("读取 HTTP_BUFFER_SIZE 字节, 还没有读取完整个 HTTP Head."), error);
    EXPECT_EQ(1, CountInLog(Gbk("搬家失败")));
    EXPECT_FALSE(PathExists(Image()));
}

TEST_F(DownloadTest, FileSystemFailuresAreNotRepeated) {
    ScriptedServer server({Serve(Reply(Ok(JPEG_BYTES))), Serve(Reply(Ok(JPEG_BYTES))), Serve(Reply(Ok(JPEG_BYTES)))});
    EXPECT_EQ(-3, Download(server.Url("/a.jpg"), 1, File("missing-folder/image.jpg")));
    EXPECT_EQ(Gbk("图片搬家失败：无法创建新文件。"), error);
    EXPECT_EQ(0, Pool()->count);  // dropped and closed

    FileFault writeFault = {FILE_FAULT_WRITE, "image.jpg", 1};
    SetFileFaultInjection(&writeFault);
    EXPECT_EQ(-2, Download(server.Url("/a.jpg"), 1));
    EXPECT_EQ(Gbk("写入文件时出错，请检查硬盘可用空间是否已不足。"), error);
    EXPECT_FALSE(PathExists(Image()));

    FileFault closeFault = {FILE_FAULT_CLOSE, "image.jpg", 1};
    SetFileFaultInjection(&closeFault);
    EXPECT_EQ(-2, Download(server.Url("/a.jpg"), 1));
    EXPECT_EQ(1, FileFaultStrikes());
    EXPECT_FALSE(PathExists(Image()));

    EXPECT_EQ(0, CountInLog(Gbk("搬家失败")));
    ASSERT_TRUE(server.WaitUntilServed());
    EXPECT_EQ(3u, server.Requests().size());
}

// The stream of the name's claim is the file the download writes: no
// second open of the name (an open fault there never strikes), and on
// every failure the claimed file is closed and removed.
TEST_F(DownloadTest, ClaimedFileIsWrittenThroughItsOwnStream) {
    struct Case {
        const char* name;
        std::string url;  // "" for the server's
        bool keepAlive;   // without it, a failure is not repeated (a repetition opens the file by name)
        int result;
    };
    ScriptedServer server({ServeKeepingOpen({Reply(Ok(JPEG_BYTES))}), Serve(Reply("HTTP/1.0 404 Not Found\r\n\r\n"))});
    const Case cases[] = {
        {"stored", "", true, 1},
        {"not found", "", false, -1},
        {"never fetched", "http://[::1", true, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int taken = 0;
        FILE* claimed = CreateNewFileByPath(Image().c_str(), &taken);
        ASSERT_NE(nullptr, claimed);
        FileFault openFault = {FILE_FAULT_OPEN_WRITE, "image.jpg", 1};
        SetFileFaultInjection(&openFault);
        char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
        Transfer transfer;
        InitTransfer(&transfer, client_, ErrorText{errorText, sizeof errorText}, nullptr);
        const std::string url = c.url.empty() ? server.Url("/a.jpg") : c.url;
        EXPECT_EQ(c.result, DownloadImageInto(&transfer, url.c_str(), Image().c_str(), claimed, c.keepAlive, false))
            << Utf8(errorText);
        EXPECT_EQ(0, FileFaultStrikes());
        SetFileFaultInjection(nullptr);
        EXPECT_EQ(c.result == 1, PathExists(Image()));
        if (c.result == 1) {
            EXPECT_EQ(JPEG_BYTES, ReadWholeFile(Image()));
        }
        std::remove(Image().c_str());
    }
}

TEST_F(DownloadTest, AddressesThatCannotBeRequested) {
    EXPECT_EQ(-1, Download("ftp://host/a.jpg", 1));
    EXPECT_EQ(Gbk("无法parse下载图片地址"), error);

    const std::string tooLong = HostNameOfLength(254);
    EXPECT_EQ(-1, Download("http://" + tooLong + "/a.jpg", 1));
    EXPECT_EQ(Gbk("域名太长(超过253字节), 无法连接: ") + tooLong.substr(0, 40) + "...", error);
    EXPECT_EQ(-1, Download("https://" + tooLong + "/a.jpg", 1));  // the HTTP/2 route refuses it alike
    EXPECT_EQ(Gbk("域名太长(超过253字节), 无法连接: ") + tooLong.substr(0, 40) + "...", error);

    ScriptedServer server({});
    EXPECT_EQ(-1, Download(server.Url("/" + std::string(REQUEST_TEXT_BYTES, 'p')), 1));
    EXPECT_EQ(Gbk("地址太长: 请求超过") + std::to_string(REQUEST_TEXT_BYTES) + Gbk("字节, 未发送。"), error);

    // None of these is repeated, and none touched the network.
    EXPECT_EQ(0, CountInLog(Gbk("搬家失败")));
    EXPECT_EQ(0, CountInLog("new socket()"));
    EXPECT_EQ(0, server.AcceptedConnections());

    // A connection failure is, and counts twice.
    const RefusingLoopbackPort refusing;
    int refused = refusing.port();
    EXPECT_EQ(-1, Download("http://127.0.0.1:" + std::to_string(refused) + "/a.jpg", 1));
    EXPECT_EQ(Gbk("使用非阻塞方式连接失败，错误码:") + std::to_string(ECONNREFUSED), error);
    EXPECT_EQ(1, CountInLog(Gbk("搬家失败")));
    std::string key = "127.0.0.1:" + std::to_string(refused);
    EXPECT_EQ(2, reinterpret_cast<intptr_t>(HashMapGet(client_->failureCounts, key.c_str())));
}

TEST_F(DownloadTest, LongestHostNameIsAskedForWhole) {
    // 253 bytes, the most DNS allows, with a path that takes the rest of
    // what a short host's request had room for.
    SetHostLookupForTests(LoopbackForEveryName);
    ScriptedServer server({ServeKeepingOpen({Reply(Ok(JPEG_BYTES))})});
    const std::string host = HostNameOfLength(253) + ":" + std::to_string(server.port());
    const std::string path = "/" + std::string(800, 'p') + ".jpg";
    EXPECT_EQ(1, Download("http://" + host + path, 1)) << Utf8(error);
    SetHostLookupForTests(nullptr);
    ClosePooledConnections(client_);
    ASSERT_TRUE(server.WaitUntilServed());
    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(Request(path, host, true), requests[0]);
    EXPECT_EQ(1, CountInLog(host + " --- new socket()"));
}

TEST_F(DownloadTest, AddressWithLineBreaksSendsNothing) {
    ScriptedServer server({Serve(Reply(Ok(JPEG_BYTES))), Serve(Reply(Ok(JPEG_BYTES)))});
    const std::string injected =
        server.Url("/a.jpg") + " HTTP/1.1\r\nHost: victim\r\nX-Injected: yes\r\n\r\nGET /smuggled.jpg";
    for (int keepAlive : {1, 0}) {
        EXPECT_EQ(-1, Download(injected, keepAlive));
        EXPECT_NE(std::string::npos, error.find("not a valid address")) << Utf8(error);
        EXPECT_EQ(Gbk("图片地址含有控制字符 (not a valid address)"), error);
        EXPECT_FALSE(PathExists(Image()));
    }
    // Any control character, wherever it stands.
    for (const std::string& url : {server.Url("/a\x01.jpg"), server.Url("/a.jpg\x7f"), server.Url("/a.jpg?\t=1")}) {
        EXPECT_EQ(-1, Download(url, 1));
        EXPECT_EQ(Gbk("图片地址含有控制字符 (not a valid address)"), error);
    }
    EXPECT_EQ(0, server.AcceptedConnections());
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_EQ(0, CountInLog("new socket()"));
    EXPECT_EQ(0, CountInLog(Gbk("搬家失败")));  // not repeated
}

TEST_F(DownloadTest, SpaceInTheAddressGoesOutAsPercentTwenty) {
    ScriptedServer server({ServeKeepingOpen({Reply(Ok(JPEG_BYTES))})});
    const std::string url = server.Url("/my pics/a b.jpg?q=1 2");
    EXPECT_EQ(1, Download(url, 1)) << Utf8(error);
    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(Request("/my%20pics/a%20b.jpg?q=1%202", HostLine(server), true), requests[0]);
    EXPECT_EQ(server.Url("/my pics/a b.jpg?q=1 2"), url);  // the address itself stays as written
}

TEST_F(DownloadTest, PortBeyondSixteenBitsConnectsNowhere) {
    ScriptedServer server({Serve(Reply(Ok(JPEG_BYTES)))});
    // The server's port plus 65536: its low 16 bits are the server's port.
    const std::string wrapped = "http://127.0.0.1:" + std::to_string(server.port() + 65536) + "/a.jpg";
    EXPECT_EQ(-1, Download(wrapped, 1));
    EXPECT_EQ(Gbk("图片地址的端口号超出范围(0-65535)"), error);
    EXPECT_FALSE(PathExists(Image()));
    EXPECT_EQ(0, server.AcceptedConnections());
    EXPECT_EQ(0, CountInLog("new socket()"));
    EXPECT_EQ(0, CountInLog(Gbk("搬家失败")));
}

TEST_F(DownloadTest, ChunkSizeLineWithoutDigitsLeavesNoFile) {
    // Read as a last chunk, the first four bytes would be stored as the image.
    const std::string response = Head("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n") + "4\r\n" +
                                 JPEG_BYTES.substr(0, 4) + "\r\nzz\r\n\r\n";
    ScriptedServer server({Serve(Reply(response)), Serve(Reply(response))});
    EXPECT_EQ(-1, Download(server.Url("/a.jpg"), 1));
    EXPECT_EQ(Gbk("不正常: chunk 长度行中没有十六进制数字: zz"), error);
    EXPECT_FALSE(PathExists(Image()));
}

}  // namespace
