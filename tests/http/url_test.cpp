#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "http/url.h"

namespace {

struct Parsed {
    int ok;
    std::string host, path;
    int port;
};

Parsed Parse(const char* url) {
    UrlParts parts = {nullptr, nullptr, -7};
    int ok = ParseUrl(url, &parts);
    Parsed result = {ok, parts.host ? parts.host : "(null)", parts.path ? parts.path : "(null)", parts.port};
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
    EXPECT_EQ(80, Parse("HTTPS://host/a.jpg").port);  // only lower-case "https:" selects 443
    EXPECT_EQ("host", Parse("//host/a.jpg").host);
    EXPECT_EQ(80, Parse("//host/a.jpg").port);
    EXPECT_EQ(8080, Parse("http://host:8080/a.jpg").port);
    EXPECT_EQ("host", Parse("http://host:8080/a.jpg").host);
    EXPECT_EQ(0, Parse("http://host:/a.jpg").port);
    EXPECT_EQ(0, Parse("http://host:abc/a.jpg").port);
    EXPECT_EQ("", Parse("http://:81/a.jpg").host);

    Parsed empty = Parse("http:///a.jpg");
    EXPECT_EQ(1, empty.ok);
    EXPECT_EQ("", empty.host);
    EXPECT_EQ(80, empty.port);
}

TEST(ParseUrl, PortDigitsNeverOverflow) {
    EXPECT_EQ(2147483647, Parse("http://host:99999999999999999999/a").port);
    EXPECT_EQ(-2147483647 - 1, Parse("http://host:-99999999999999999999/a").port);
}

TEST(ParseUrl, RefusesWithoutSchemeOrPathAndAllocatesNothing) {
    const char* refused[] = {"http://host", "http://host?x", "ftp://host/a", "host/a.jpg", "",
                             // the host would begin past the end of these
                             "http/", "http:/", "//"};
    for (const char* url : refused) {
        UrlParts parts = {nullptr, nullptr, -7};
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
