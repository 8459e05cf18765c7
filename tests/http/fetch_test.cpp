#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "http/fetch.h"
#include "http/http_test_support.h"

namespace {

class FetchTest : public HttpTest {
protected:
    void TearDown() override {
        for (FetchResult* result : results_) FreeFetchResult(result);
        HttpTest::TearDown();
    }
    FetchResult* Fetch(const std::string& url) {
        FetchResult* result = FetchText(client_, url.c_str());
        results_.push_back(result);
        return result;
    }
    // Fetches the one response `response` from a fresh server.
    FetchResult* FetchReply(const ScriptedResponse& response) {
        ScriptedServer server({Serve(response)});
        return Fetch(server.Url("/notice"));
    }

private:
    std::vector<FetchResult*> results_;
};

TEST_F(FetchTest, ReturnsTheAnnouncedBody) {
    ScriptedServer server({Serve(ReplyInPieces({Head("HTTP/1.1 200 OK", "Content-Length: 5\r\n") + "he", "ll", "o"}))});
    FetchResult* hello = Fetch(server.Url("/notice?v=7.3"));
    EXPECT_EQ(1, hello->ok);
    EXPECT_EQ(0, hello->errorStage);
    EXPECT_EQ(5, hello->length);
    EXPECT_STREQ("hello", hello->text);
    EXPECT_STREQ("HTTP/1.1 200 OK\r\nContent-Length: 5", hello->headerText);
    ASSERT_EQ(1u, server.Requests().size());
    EXPECT_EQ(
        "GET /notice?v=7.3 HTTP/1.0\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nUser-Agent: Mozilla/4.0 "
        "(compatible; MSIE 8.0; Windows NT 5.2; Trident/4.0; CIBA)\r\nHost: 127.0.0.1:" +
            std::to_string(server.port()) + "\r\nConnection: close\r\n\r\n",
        server.Requests()[0]);

    FetchResult* empty = FetchReply(Reply(Head("HTTP/1.0 200 OK", "Content-Length: 0\r\n")));
    EXPECT_EQ(1, empty->ok);
    EXPECT_EQ(0, empty->length);
    EXPECT_STREQ("", empty->text);
}

TEST_F(FetchTest, RefusesResponsesItCannotUse) {
    struct Case {
        std::string response;
        std::string message;  // UTF-8; a prefix when it ends in '*'
        bool hasHead;
    };
    const std::vector<Case> cases = {
        {Head("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n") + "5\r\nhello\r\n0\r\n\r\n",
         "http header 中没找到 Content-Length 字段", true},
        {Head("http/1.1 200 ok", "Content-Length: 2\r\n") + "ok", "返回错误的http状态码:\nhttp/1.1 200 ok\r\n*", false},
        {Head("HTTP/1.1 302 Found", "Location: http://h/x\r\n"), "返回错误的http状态码:\nHTTP/1.1 302 Found\r\n*",
         false},
        {Head("HTTP/1.1 200 OK", "Content-Length: 5\r\n") + "hel", "图片大小:5, 实际接收到的文件大小:3, ret:0, errno:*",
         true},
        {Head("HTTP/1.1 200 OK", "Content-Length: 10485761\r\n"), "fileSize=0, header.contentLength: 10485761, 大于10M",
         true},
        {Head("HTTP/1.1 200 OK", "Content-Length: 2\r\n") + "hello", "图片大小:2, http header 返回的 Content-Length:2",
         true},
        {"HTTP/1.1 200 OK\r\nX-Filler: " + std::string(9000, 'f') + "\r\n\r\n",
         "读取 HTTP_BUFFER_SIZE 字节, 还没有读取完整个 HTTP Head.", false},
        {"", "图片大小:4294967295, 实际接收到的文件大小:0, ret:0, errno:*", false},
    };
    for (const Case& c : cases) {
        FetchResult* result = FetchReply(Reply(c.response));
        EXPECT_EQ(0, result->ok) << c.response;
        EXPECT_EQ(2, result->errorStage) << c.response;
        EXPECT_EQ(0, result->length);
        std::string expected = c.message;
        ASSERT_NE(nullptr, result->text);
        if (expected.back() == '*') {
            expected.pop_back();
            EXPECT_EQ(0, std::string(result->text).find(Gbk(expected))) << Utf8(result->text);
        } else {
            EXPECT_EQ(Gbk(expected), result->text);
        }
        EXPECT_EQ(c.hasHead, result->headerText != nullptr) << c.response;
    }
}

TEST_F(FetchTest, RequestsThatAreNotMade) {
    FetchResult* unparsed = Fetch("notice.txt");
    EXPECT_EQ(0, unparsed->ok);
    EXPECT_EQ(1, unparsed->errorStage);
    EXPECT_STREQ(Gbk("无法parse下载图片地址").c_str(), unparsed->text);
    EXPECT_EQ(nullptr, unparsed->headerText);

    const RefusingLoopbackPort refusing;
    FetchResult* refused = Fetch("http://127.0.0.1:" + std::to_string(refusing.port()) + "/notice");
    EXPECT_EQ(1, refused->errorStage);
    EXPECT_EQ(Gbk("使用非阻塞方式连接失败，错误码:") + std::to_string(ECONNREFUSED), refused->text);

    const std::string tooLong = HostNameOfLength(254);
    FetchResult* longHost = Fetch("http://" + tooLong + "/notice");
    EXPECT_EQ(1, longHost->errorStage);
    EXPECT_EQ(Gbk("域名太长(超过253字节), 无法连接: ") + tooLong.substr(0, 40) + "...", longHost->text);
}

TEST_F(FetchTest, AddressesAreNeverSplitAndSpacesAreEscaped) {
    ScriptedServer server({Serve(Reply(Head("HTTP/1.1 200 OK", "Content-Length: 2\r\n") + "ok")),
                           Serve(Reply(Head("HTTP/1.1 200 OK", "Content-Length: 2\r\n") + "ok"))});
    FetchResult* injected = Fetch(server.Url("/notice HTTP/1.1\r\nHost: victim\r\n\r\nGET /smuggled"));
    EXPECT_EQ(0, injected->ok);
    EXPECT_EQ(1, injected->errorStage);
    EXPECT_EQ(Gbk("图片地址含有控制字符 (not a valid address)"), injected->text);
    FetchResult* wrapped = Fetch("http://127.0.0.1:" + std::to_string(server.port() + 65536) + "/notice");
    EXPECT_EQ(1, wrapped->errorStage);
    EXPECT_EQ(Gbk("图片地址的端口号超出范围(0-65535)"), wrapped->text);
    EXPECT_EQ(0, server.AcceptedConnections());

    FetchResult* spaced = Fetch(server.Url("/notice?v=7 3"));
    EXPECT_EQ(1, spaced->ok) << Utf8(spaced->text);
    ASSERT_EQ(1u, server.Requests().size());
    EXPECT_EQ(0u, server.Requests()[0].find("GET /notice?v=7%203 HTTP/1.0\r\n"));
}

}  // namespace
