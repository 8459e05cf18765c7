#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "http/url.h"
#include "support/host_names.h"

namespace {

struct Parsed {
    int ok;
    std::string host, path;
    int port;
    int isHttps;
};

Parsed Parse(const char* url) {
    UrlParts parts = {nullptr, nullptr, -7, -7};
    int ok = ParseUrl(url, &parts);
    Parsed result = {ok, parts.host ? parts.host : "(null)", parts.path ? parts.path : "(null)", parts.port,
                     parts.isHttps};
    FreeUrlParts(&parts);
    FreeUrlParts(&parts);  // twice is harmless
    return result;
}

TEST(ParseUrl, SplitsHostPortAndPath) {
    Parsed p = Parse("http://host/a/b.jpg?x=1#f");
    EXPECT_EQ(1, p.ok);
    EXPECT_EQ("host", p.host);
    EXPECT_EQ("/a/b.jpg?x=1#f", p.path);
    EXPECT_EQ(80, p.port);

    EXPECT_EQ(443, Parse("https://host/a.jpg").port);
    EXPECT_EQ(1, Parse("https://host:8443/a.jpg").isHttps);
    EXPECT_EQ(0, Parse("http://host/a.jpg").isHttps);
    EXPECT_EQ(443, Parse("HTTPS://host/a.jpg").port);  // the scheme is read without case
    EXPECT_EQ(1, Parse("HTTPS://host/a.jpg").isHttps);
    EXPECT_EQ(0, Parse("//host/a.jpg").isHttps);
    EXPECT_EQ("host", Parse("//host/a.jpg").host);
    EXPECT_EQ(80, Parse("//host/a.jpg").port);
    EXPECT_EQ(8080, Parse("http://host:8080/a.jpg").port);
    EXPECT_EQ("host", Parse("http://host:8080/a.jpg").host);
    EXPECT_EQ(0, Parse("http://host:/a.jpg").port);
    EXPECT_EQ("", Parse("http://:81/a.jpg").host);

    // The longest name DNS allows, whole: the parser sets no bound of its own.
    const std::string longest = HostNameOfLength(253);
    EXPECT_EQ(longest, Parse(("https://" + longest + ":8443/a.jpg").c_str()).host);

    Parsed empty = Parse("http:///a.jpg");
    EXPECT_EQ(1, empty.ok);
    EXPECT_EQ("", empty.host);
    EXPECT_EQ(80, empty.port);
}

// What ParseUrl refuses, with the message it names; nothing is allocated.
std::string Refusal(const char* url) {
    UrlParts parts = {nullptr, nullptr, -7, -7};
    const char* failure = "(not set)";
    int ok = ParseUrl(url, &parts, &failure);
    EXPECT_EQ(nullptr, parts.host) << url;
    EXPECT_EQ(nullptr, parts.path) << url;
    FreeUrlParts(&parts);
    return ok ? "(accepted)" : failure;
}

TEST(ParseUrl, PortsOutsideSixteenBitsAreRefused) {
    EXPECT_EQ(65535, Parse("http://host:65535/a").port);
    EXPECT_EQ(0, Parse("http://host:0/a").port);
    // 65616 and -65456 would reach port 80 through the low 16 bits.
    for (const char* url :
         {"http://host:65536/a", "http://host:65616/a", "http://host:-65456/a", "http://host:-1/a", "http://host:abc/a",
          "http://host:99999999999999999999/a", "http://host:-99999999999999999999/a"}) {
        EXPECT_EQ(0, Parse(url).ok) << url;
        EXPECT_STREQ(MESSAGE_URL_PORT_OUT_OF_RANGE, Refusal(url).c_str()) << url;
    }
}

TEST(ParseUrl, ControlCharactersAnywhereAreRefused) {
    // clang-format off
    const char* refused[] = {"http://h/a.jpg HTTP/1.1\r\nHost: victim\r\n\r\nGET /b.jpg",
                             "http://h/a\nb.jpg", "http://h\r\nX: y/a.jpg", "http://h:80\r/a.jpg",
                             "http:\t//h/a.jpg", "http://h/a.jpg\x7f", "http://h/a.jpg\x01", "//h/\x1f"};
    // clang-format on
    for (const char* url : refused) {
        EXPECT_EQ(0, Parse(url).ok) << url;
        EXPECT_STREQ(MESSAGE_URL_CONTROL_CHARACTER, Refusal(url).c_str()) << url;
    }
    EXPECT_NE(std::string::npos, std::string(MESSAGE_URL_CONTROL_CHARACTER).find("not a valid address"));
    // A space is no control character; the path keeps it as written.
    Parsed spaced = Parse("http://host/a b.jpg?q=1 2");
    EXPECT_EQ(1, spaced.ok);
    EXPECT_EQ("/a b.jpg?q=1 2", spaced.path);
    // GBK bytes (all at or above 0x80 here) are no control characters either.
    EXPECT_EQ(1, Parse("http://host/\xcd\xbc\xc6\xac.jpg").ok);
    EXPECT_STREQ(MESSAGE_URL_CANNOT_PARSE, Refusal("ftp://host/a").c_str());
    EXPECT_STREQ(MESSAGE_URL_CANNOT_PARSE, Refusal("http://host").c_str());
}

// An IPv6 address comes in brackets; the host is what they hold.  Brackets
// around anything else, or without their partner, make no address.
TEST(ParseUrl, BracketedIpv6Literals) {
    // clang-format off
    const struct {
        const char* url;
        const char* host;
        int port;
    } accepted[] = {
        {"http://[2001:db8::1]:8080/a.jpg", "2001:db8::1", 8080},
        {"https://[::1]/a.jpg", "::1", 443},
        {"HTTPS://[::1]:8443/a.jpg", "::1", 8443},
        {"//[::ffff:127.0.0.1]/a.jpg", "::ffff:127.0.0.1", 80},
        {"http://[fe80::1:2:3:4]:/a", "fe80::1:2:3:4", 0},
    };
    // clang-format on
    for (const auto& c : accepted) {
        Parsed p = Parse(c.url);
        EXPECT_EQ(1, p.ok) << c.url;
        EXPECT_EQ(c.host, p.host) << c.url;
        EXPECT_EQ(c.port, p.port) << c.url;
        EXPECT_EQ("/a", p.path.substr(0, 2)) << c.url;
    }
    // clang-format off
    const char* refused[] = {"http://[::1/a.jpg", "http://::1]/a.jpg", "http://[]/a.jpg", "http://[]:80/a.jpg",
                             "http://[127.0.0.1]/a.jpg", "http://[host]/a.jpg", "http://[::1]x/a.jpg",
                             "http://a[::1]/a.jpg", "http://[::1]]/a.jpg", "http://[[::1]]/a.jpg",
                             "http://[::1]:80]/a.jpg", "http://host:8[0/a.jpg", "http://[::1%25lo]/a.jpg",
                             "http://[2001:db8::1::2]/a.jpg", "http://[/a.jpg"};
    // clang-format on
    for (const char* url : refused) EXPECT_STREQ(MESSAGE_URL_CANNOT_PARSE, Refusal(url).c_str()) << url;
    EXPECT_STREQ(MESSAGE_URL_PORT_OUT_OF_RANGE, Refusal("http://[::1]:65536/a.jpg").c_str());
}

TEST(ParseUrl, RefusesWithoutSchemeOrPathAndAllocatesNothing) {
    // clang-format off
    const char* refused[] = {"http://host", "http://host?x", "ftp://host/a", "host/a.jpg", "",
                             // the host would begin past the end of these
                             "http/", "http:/", "//"};
    // clang-format on
    for (const char* url : refused) {
        UrlParts parts = {nullptr, nullptr, -7, -7};
        EXPECT_EQ(0, ParseUrl(url, &parts)) << url;
        EXPECT_EQ(nullptr, parts.host) << url;
        EXPECT_EQ(nullptr, parts.path) << url;
    }
}

TEST(UnescapeAmpersands, ReplacesEveryEscapeAndLeavesTheInput) {
    const char input[] = "http://host/x?a=1&amp;b=2&amp;c";
    char* unescaped = UnescapeAmpersands(input);
    ASSERT_NE(nullptr, unescaped);
    EXPECT_STREQ("http://host/x?a=1&b=2&c", unescaped);
    EXPECT_STREQ("http://host/x?a=1&amp;b=2&amp;c", input);
    std::free(unescaped);
    EXPECT_EQ(nullptr, UnescapeAmpersands("http://host/x?a=1&b=2"));
}

}  // namespace
