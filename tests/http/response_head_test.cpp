#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/download.h"
#include "http/response_head.h"

namespace {

HttpHeader ParseHead(std::string head) {
    HttpHeader header;
    std::memset(&header, 0, sizeof header);
    ParseResponseHead(&head[0], &header);
    return header;
}

TEST(ParseResponseHead, ReadsTheFieldsTheClientUses) {
    HttpHeader header = ParseHead(
        "HTTP/1.1 302 Found\r\ncontent-length: 12\r\nTRANSFER-ENCODING: Chunked\r\n"
        "Location: http://h/b.jpg\r\nConnection: Keep-Alive\r\nContent-Encoding: gzip");
    EXPECT_EQ(12, header.contentLength);
    EXPECT_EQ(1, header.isChunked);
    EXPECT_STREQ("http://h/b.jpg", header.location);
    EXPECT_STREQ("Keep-Alive", header.connection);
    EXPECT_STREQ("gzip", header.contentEncoding);

    HttpHeader defaults = ParseHead("HTTP/1.1 200 OK\r\nServer: x");
    EXPECT_EQ(-1, defaults.contentLength);
    EXPECT_EQ(0, defaults.isChunked);
    EXPECT_STREQ("", defaults.location);
}

TEST(ParseResponseHead, TakesLinesLiterally) {
    // Bare LF and runs of separators split lines too; a later line wins.
    HttpHeader header = ParseHead("HTTP/1.1 200 OK\n\n\rContent-Length: 5\r\r\nContent-Length: 7\nConnection: close ");
    EXPECT_EQ(7, header.contentLength);
    EXPECT_STREQ("close ", header.connection);  // not trimmed
    EXPECT_EQ(0, ParseHead("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked ").isChunked);
    EXPECT_EQ(-1, ParseHead("HTTP/1.1 200 OK\r\nContent-Length:5").contentLength);  // one blank is required
    EXPECT_EQ(-1, ParseHead("HTTP/1.1 200 OK\r\nContent-Length: -1").contentLength);
    EXPECT_EQ(0, ParseHead("HTTP/1.1 200 OK\r\nContent-Length: abc").contentLength);
    EXPECT_EQ(2147483647, ParseHead("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999").contentLength);
}

TEST(ParseResponseHead, CutsLongValuesToTheirFields) {
    std::string longValue(2000, 'v');
    HttpHeader header = ParseHead("HTTP/1.1 302 Found\r\nLocation: " + longValue + "\r\nConnection: " + longValue +
                                  "\r\nContent-Encoding: " + longValue);
    EXPECT_EQ(std::string(HEADER_LOCATION_BYTES - 1, 'v'), header.location);
    EXPECT_EQ(std::string(HEADER_CONNECTION_BYTES - 1, 'v'), header.connection);
    EXPECT_EQ(std::string(HEADER_CONTENT_ENCODING_BYTES - 1, 'v'), header.contentEncoding);
}

TEST(IsSupportedImageSignature, KnowsJpegPngGifAndBmpOnly) {
    const unsigned char supported[][2] = {{0xFF, 0xD8}, {0x89, 0x50}, {0x47, 0x49}, {0x42, 0x4D}};
    for (const auto& signature : supported) EXPECT_EQ(1, IsSupportedImageSignature(signature));
    const unsigned char refused[][2] = {{'R', 'I'}, {0, 0}, {0xD8, 0xFF}, {0xFF, 0}};
    for (const auto& signature : refused) EXPECT_EQ(0, IsSupportedImageSignature(signature));
}

}  // namespace
