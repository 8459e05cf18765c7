#include <gtest/gtest.h>

#include <string>

#include "http/http_common.h"
#include "http/proxy_settings.h"
#include "http/url.h"
#include "support/gbk.h"
#include "support/host_names.h"

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
    EXPECT_EQ("(refused) " + Gbk("地址太长: 请求超过") + std::to_string(REQUEST_TEXT_BYTES) + Gbk("字节, 未发送。"),
              Built("h", ("/" + spaces).c_str()));
}

// The Host line of a parsed address: an IPv6 literal back in its brackets,
// the port named unless it is the scheme's own.  The HTTP/2 authority is
// the same text, and a proxy's absolute form names the same origin.
TEST(BuildGetRequest, HostLineOfEachKindOfHost) {
    const std::string longest = HostNameOfLength(HOST_NAME_MAX_BYTES);
    const struct {
        std::string url;
        std::string authority;
    } cases[] = {
        {"http://[::1]:8080/a.jpg", "[::1]:8080"},
        {"http://[::1]/a.jpg", "[::1]"},
        {"https://[2001:db8::1]/a.jpg", "[2001:db8::1]"},
        {"https://[2001:db8::1]:80/a.jpg", "[2001:db8::1]:80"},
        {"http://127.0.0.1:81/a.jpg", "127.0.0.1:81"},
        {"https://host/a.jpg", "host"},
        {"https://" + longest + ":65535/a.jpg", longest + ":65535"},
        {"http://" + longest + ":65535/a.jpg", longest + ":65535"},
        {"http://" + longest + "/a.jpg", longest},
    };
    ProxyEndpoint proxy = {const_cast<char*>("proxy"), 3128, const_cast<char*>("Basic dTpw"),
                           const_cast<char*>("proxy:3128")};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        UrlParts parts = {nullptr, nullptr, 0, 0};
        ASSERT_EQ(1, ParseUrl(c.url.c_str(), &parts));
        char request[REQUEST_TEXT_BYTES];
        char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
        const ErrorText error = {errorText, sizeof errorText};
        int length = BuildGetRequest(&parts, true, request, error);
        ASSERT_LT(0, length) << errorText;
        EXPECT_NE(std::string::npos, std::string(request, length).find("\r\nHost: " + c.authority + "\r\n"));
        char target[REQUEST_TEXT_BYTES];
        char authority[HOST_LINE_BYTES];
        EXPECT_TRUE(BuildRequestFields(&parts, target, authority, error)) << errorText;
        EXPECT_EQ(c.authority, std::string(authority));
        length = BuildGetRequest(&parts, true, request, error, &proxy);
        ASSERT_LT(0, length) << errorText;
        const std::string origin = parts.isHttps ? "GET /a.jpg " : "GET http://" + c.authority + "/a.jpg ";
        EXPECT_EQ(0u, std::string(request, length).find(origin));
        FreeUrlParts(&parts);
    }
    // One byte more is refused whole.
    const std::string tooLong = HostNameOfLength(HOST_NAME_MAX_BYTES + 1);
    EXPECT_EQ("(refused) " + Gbk("域名太长(超过253字节), 无法连接: ") + tooLong.substr(0, 40) + "...",
              Built(tooLong.c_str(), "/a.jpg"));
}

}  // namespace
