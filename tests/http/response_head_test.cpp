#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

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
    EXPECT_EQ(1, header.lengthConflict);  // the image's length is in doubt
    EXPECT_EQ(0, ParseHead("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5").lengthConflict);
    EXPECT_STREQ("close ", header.connection);  // not trimmed
    EXPECT_EQ(0, ParseHead("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked ").isChunked);
    EXPECT_EQ(-1, ParseHead("HTTP/1.1 200 OK\r\nContent-Length:5").contentLength);  // one blank is required
    EXPECT_EQ(-1, ParseHead("HTTP/1.1 200 OK\r\nContent-Length: -1").contentLength);
    EXPECT_EQ(1, ParseHead("HTTP/1.1 200 OK\r\nContent-Length: abc").lengthMalformed);  // the length is unknown
    EXPECT_EQ(2147483647, ParseHead("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999").contentLength);
}

TEST(ParseResponseHead, CutsLongValuesToTheirFields) {
    std::string longValue(2000, 'v');
    HttpHeader header = ParseHead("HTTP/1.1 302 Found\r\nLocation: " + longValue + "\r\nConnection: " + longValue +
                                  "\r\nContent-Encoding: " + longValue);
    EXPECT_EQ(std::string(HEADER_LOCATION_BYTES - 1, 'v'), header.location);
    EXPECT_EQ(1, header.locationTooLong);  // so the cut address is never followed
    EXPECT_EQ(
        0, ParseHead("HTTP/1.1 302 Found\r\nLocation: " + std::string(HEADER_LOCATION_BYTES - 1, 'v')).locationTooLong);
    EXPECT_EQ(std::string(HEADER_CONNECTION_BYTES - 1, 'v'), header.connection);
    EXPECT_EQ(std::string(HEADER_CONTENT_ENCODING_BYTES - 1, 'v'), header.contentEncoding);
}

// HTTP/2 hands each field over as a lower-case name and a value with its
// length (not NUL-terminated); the record must come out as the HTTP/1.1
// head of the same fields gives it.
TEST(TakeHeaderField, BothProtocolsFillTheSameRecord) {
    const std::vector<std::vector<std::pair<std::string, std::string>>> heads = {
        {{"Content-Length", "12"}, {"Location", "http://h/b.jpg"}, {"Content-Encoding", "gzip"}},
        {{"Content-Length", "5"}, {"Content-Length", "7"}},
        {{"Content-Length", " 9\t"}, {"Server", "x"}},
        {{"Content-Length", "12abc"}},
        {{"Location", std::string(2000, 'v')}},
        {{"Content-Encoding", std::string(2000, 'e')}, {"X-Content-Length", "3"}},
    };
    for (const auto& fields : heads) {
        std::string head = "HTTP/1.1 200 OK";
        HttpHeader h2;
        std::memset(&h2, 0, sizeof h2);
        h2.contentLength = -1;
        for (const auto& field : fields) {
            head += "\r\n" + field.first + ": " + field.second;
            std::string name = field.first;
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            std::string bytes = name + field.second + "#";  // nothing after either part is NUL
            TakeHeaderField(&h2, bytes.data(), name.size(), bytes.data() + name.size(), field.second.size());
        }
        const HttpHeader h1 = ParseHead(head);
        EXPECT_EQ(0, std::memcmp(&h1, &h2, sizeof h1)) << head.substr(0, 80);
    }
}

TEST(IsSupportedImageSignature, KnowsJpegPngGifAndBmpOnly) {
    const unsigned char supported[][2] = {{0xFF, 0xD8}, {0x89, 0x50}, {0x47, 0x49}, {0x42, 0x4D}};
    for (const auto& signature : supported) EXPECT_EQ(1, IsSupportedImageSignature(signature));
    const unsigned char refused[][2] = {{'R', 'I'}, {0, 0}, {0xD8, 0xFF}, {0xFF, 0}};
    for (const auto& signature : refused) EXPECT_EQ(0, IsSupportedImageSignature(signature));
}

// The head arriving in receives cut anywhere: {bytes, cuts, expected}.  The
// blank line is found in the receive that completes it, however it
// straddles the ones before; a head that fills the buffer without one is
// too long.
struct HeadRun {
    HeadState state;
    int32_t held;  // bytes held when it stopped
    int32_t headLength;
    size_t receives;  // pieces taken
};

HeadRun TakeHead(const std::vector<std::string>& pieces) {
    std::vector<char> buffer(HTTP_BUFFER_SIZE + 1);
    HeadReader reader;
    StartHeadReader(&reader, buffer.data());
    HeadRun run{HEAD_INCOMPLETE, 0, 0, 0};
    for (const std::string& piece : pieces) {
        int32_t consumed = 0;
        run.state = TakeHeadBytes(&reader, piece.data(), static_cast<int32_t>(piece.size()), &consumed);
        ++run.receives;
        if (run.state != HEAD_INCOMPLETE) break;
        EXPECT_EQ(static_cast<int32_t>(piece.size()), consumed);
    }
    run.held = reader.held;
    run.headLength = reader.headLength;
    EXPECT_EQ('\0', buffer[static_cast<size_t>(reader.held)]);
    return run;
}

TEST(ReceiveResponseHead, BlankLineIsFoundAtEveryCut) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 5";
    const std::string bytes = head + "\r\n\r\nhello";
    const size_t blankLineEnd = head.size() + 4;
    for (size_t first = 1; first < bytes.size(); ++first) {
        for (size_t second = first + 1; second <= bytes.size(); ++second) {
            std::vector<std::string> pieces = {bytes.substr(0, first), bytes.substr(first, second - first)};
            if (second < bytes.size()) pieces.push_back(bytes.substr(second));
            HeadRun run = TakeHead(pieces);
            const std::string where = std::to_string(first) + "/" + std::to_string(second);
            EXPECT_EQ(HEAD_RECEIVED, run.state) << where;
            EXPECT_EQ(static_cast<int32_t>(head.size()), run.headLength) << where;
            // Found in the receive that brought the blank line's last byte.
            size_t expectedReceives = blankLineEnd <= first ? 1 : blankLineEnd <= second ? 2 : 3;
            EXPECT_EQ(expectedReceives, run.receives) << where;
        }
    }
}

TEST(ReceiveResponseHead, HeadThatFillsTheBufferIsTooLong) {
    const std::string filler = "HTTP/1.1 200 OK\r\nX-Filler: " + std::string(9000, 'f');
    for (size_t cut : {size_t(1), size_t(100), size_t(8191), size_t(8192), size_t(8193)}) {
        HeadRun run = TakeHead({filler.substr(0, cut), filler.substr(cut)});
        EXPECT_EQ(HEAD_TOO_LONG, run.state) << cut;
        EXPECT_EQ(HTTP_BUFFER_SIZE, run.held) << cut;
    }
    // A blank line in the very last byte the buffer holds is still found.
    const std::string justFits = std::string("HTTP/1.1 200 OK\r\nX: ") + std::string(8192 - 24, 'x') + "\r\n\r\n";
    ASSERT_EQ(static_cast<size_t>(HTTP_BUFFER_SIZE), justFits.size());
    EXPECT_EQ(HEAD_RECEIVED, TakeHead({justFits}).state);
}

}  // namespace
