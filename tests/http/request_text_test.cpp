#include <gtest/gtest.h>

#include <string>

#include "http/http_common.h"
#include "http/url.h"
#include "support/gbk.h"

namespace {

// The request for a hand-made address record, or "(refused) <message>".
std::string Built(const char* host, const char* path, int port = 80) {
    UrlParts parts = {const_cast<char*>(host), const_cast<char*>(path), port, 0};
    char request[REQUEST_TEXT_BYTES];
    char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
    int length = BuildGetRequest(&parts, 0, request, ErrorText{errorText, sizeof errorText});
    if (length == 0) return "(refused) " + std::string(errorText);
    return std::string(request, static_cast<size_t>(length));
}

TEST(BuildGetRequest, NoHostOrPathCanSplitALine) {
    // ParseUrl refuses such addresses first; the request text holds the rule
    // on its own as well.
    const std::string refused = "(refused) " + Gbk("图片地址含有控制字符 (not a valid address)");
    EXPECT_EQ(refused, Built("h", "/a.jpg HTTP/1.1\r\nX-Injected: yes"));
    EXPECT_EQ(refused, Built("h\r\nX-Injected: yes", "/a.jpg"));
    EXPECT_EQ(refused, Built("h", "/a\x7f.jpg"));
    EXPECT_EQ(refused, Built("h", "/a\t.jpg"));
}

TEST(BuildGetRequest, SpacesGoOutAsPercentTwenty) {
    EXPECT_EQ(0u, Built("h", "/a b/c d.jpg?q=1 2").find("GET /a%20b/c%20d.jpg?q=1%202 HTTP/1.0\r\n"));
    EXPECT_EQ(0u, Built("h", "/already%20escaped.jpg").find("GET /already%20escaped.jpg HTTP/1.0\r\n"));
    // The escapes count towards the request's size limit.
    std::string spaces(REQUEST_TEXT_BYTES / 3, ' ');
    EXPECT_EQ("(refused) " + Gbk("地址太长: 请求超过1024字节, 未发送。"), Built("h", ("/" + spaces).c_str()));
}

// The Host line of a parsed address: an IPv6 literal back in its brackets,
// the port named unless it is the scheme's own.
TEST(BuildGetRequest, HostLineOfEachKindOfHost) {
    const struct {
        const char* url;
        const char* hostLine;
    } cases[] = {
        {"http://[::1]:8080/a.jpg", "Host: [::1]:8080\r\n"},
        {"http://[::1]/a.jpg", "Host: [::1]\r\n"},
        {"https://[2001:db8::1]/a.jpg", "Host: [2001:db8::1]\r\n"},
        {"https://[2001:db8::1]:80/a.jpg", "Host: [2001:db8::1]:80\r\n"},
        {"http://127.0.0.1:81/a.jpg", "Host: 127.0.0.1:81\r\n"},
        {"https://host/a.jpg", "Host: host\r\n"},
    };
    for (const auto& c : cases) {
        UrlParts parts = {nullptr, nullptr, 0, 0};
        ASSERT_EQ(1, ParseUrl(c.url, &parts)) << c.url;
        char request[REQUEST_TEXT_BYTES];
        char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
        int length = BuildGetRequest(&parts, true, request, ErrorText{errorText, sizeof errorText});
        FreeUrlParts(&parts);
        ASSERT_LT(0, length) << c.url;
        const std::string text(request, static_cast<size_t>(length));
        EXPECT_NE(std::string::npos, text.find(std::string("\r\n") + c.hostLine)) << c.url;
    }
}

}  // namespace
