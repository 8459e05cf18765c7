// The chunked decoder on buffers, without sockets: tables of {bytes, cuts,
// expected}.  A stream cut "at every position" is run with every split
// between what came with the head and one later receive, as two receives
// after the head, and one byte per receive; the outcome must not depend on
// where the cuts fall.  Rows whose outcome does depend on the cuts (the
// end-of-body record, framing the decoder steps over unexamined) give
// theirs.  The read loop over a socket has its own tests
// (chunked_read_test.cpp).
#include "http/chunked.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/gbk.h"
#include "util/app_log.h"
#include "base/vector.h"

namespace {

const std::string HEAD = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
const uint32_t SIZE_UNSET = 0xFFFFFFFFu;

// How a stream arrives: `held` came with the head, then each piece is one
// receive's worth (the decoder may take it in smaller bites).
struct Arrival {
    std::string held;
    std::vector<std::string> pieces = {};
};

// What the decoder made of it.
struct Decoded {
    ChunkedState state;
    std::string body;
    int32_t readTotal;
    int32_t lastReceive;
    size_t largestPiece;           // the largest body piece produced at once
    std::string error;             // GBK
    std::vector<std::string> log;  // the records written, in the core's form
};

// Feeds `arrival` to a decoder; when the pieces run out the input ends as a
// receive returning 0 would end it.
Decoded Decode(const Arrival& arrival) {
    std::vector<char> buffer(HTTP_BUFFER_SIZE + 1, '\0');
    const std::string initial = HEAD + arrival.held;
    std::memcpy(buffer.data(), initial.data(), initial.size());
    char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
    Vector* lines = NewDefaultVector();

    ChunkedDecoder decoder;
    StartChunkedDecoder(&decoder, buffer.data(), static_cast<int32_t>(initial.size()),
                        static_cast<int32_t>(HEAD.size()), SIZE_UNSET, ErrorText{errorText, sizeof errorText});
    decoder.logLines = lines;
    Decoded decoded{};
    size_t next = 0;
    const char* input = nullptr;
    int32_t length = 0;
    for (;;) {
        ChunkedStep step = DecodeChunked(&decoder, input, length);
        EXPECT_GE(step.consumed, 0);
        EXPECT_LE(step.consumed, length);
        input += step.consumed;
        length -= step.consumed;
        if (step.state == CHUNKED_BODY_BYTES) {
            decoded.body.append(step.body, static_cast<size_t>(step.bodyLength));
            if (static_cast<size_t>(step.bodyLength) > decoded.largestPiece) decoded.largestPiece = step.bodyLength;
            continue;
        }
        if (step.state != CHUNKED_NEEDS_INPUT) {
            decoded.state = step.state;
            break;
        }
        EXPECT_EQ(0, length);  // input is asked for only once all was taken
        if (next == arrival.pieces.size()) {
            decoded.state = EndChunkedInput(&decoder, 0, 0);
            break;
        }
        input = arrival.pieces[next].data();
        length = static_cast<int32_t>(arrival.pieces[next].size());
        ++next;
    }

    for (int32_t i = 0; i < lines->count; ++i) decoded.log.push_back(static_cast<const char*>(lines->items[i]));
    FreeVector(lines, true);
    decoded.readTotal = decoder.readTotal;
    decoded.lastReceive = decoder.lastReceive;
    decoded.error = errorText;
    return decoded;
}

// Every way of cutting `stream`: the first k bytes with the head and the
// rest in one receive (every k), the head alone and then two receives cut
// at every position, and one byte per receive.
std::vector<Arrival> EveryCut(const std::string& stream) {
    std::vector<Arrival> arrivals;
    for (size_t k = 0; k <= stream.size(); ++k) {
        Arrival arrival{stream.substr(0, k), {}};
        if (k < stream.size()) arrival.pieces.push_back(stream.substr(k));
        arrivals.push_back(arrival);
    }
    for (size_t k = 1; k < stream.size(); ++k) arrivals.push_back(Arrival{"", {stream.substr(0, k), stream.substr(k)}});
    Arrival bytes;
    for (char c : stream) bytes.pieces.push_back(std::string(1, c));
    arrivals.push_back(bytes);
    return arrivals;
}

std::string Describe(const Arrival& arrival) {
    std::string text = "held " + std::to_string(arrival.held.size()) + ", pieces";
    for (const std::string& piece : arrival.pieces) text += " " + std::to_string(piece.size());
    return text;
}

// Checks a message: exact, or a prefix when `expected` (UTF-8) ends in '*'.
void ExpectMessage(const std::string& expected, const std::string& actual, const std::string& where) {
    if (!expected.empty() && expected.back() == '*') {
        std::string prefix = Gbk(expected.substr(0, expected.size() - 1));
        EXPECT_EQ(0u, actual.find(prefix)) << where << ": " << Utf8(actual);
    } else {
        EXPECT_EQ(Gbk(expected), actual) << where << ": " << Utf8(actual);
    }
}

std::string EndRecord(size_t held, size_t offset, int syCount, const std::string& content) {
    return "chunk size == 0, readTotal:" + std::to_string(held) + ", p - data:" + std::to_string(offset) +
           ", syCount:" + std::to_string(syCount) + ", dataContent:\r\n" + content;
}

std::string Letters(size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text.push_back(static_cast<char>('a' + i % 26));
    return text;
}

const bool EVERY = true;    // cut the bytes at every position; the outcome must not depend on it
const bool AS_CUT = false;  // exactly as given, and the log records are checked too

struct Row {
    std::string name;
    Arrival arrival;  // EVERY: its bytes, however they are given
    bool cuts;
    ChunkedState state;
    std::string body;
    std::string error;                  // UTF-8; a prefix when it ends in '*'; empty: not checked
    std::vector<std::string> log = {};  // AS_CUT: the records, exactly
};

TEST(ChunkedDecoder, Table) {
    const size_t head = HEAD.size();
    const std::string z26(26, 'z'), jpeg("\xFF\xD8\xFF\xE0", 4), data = Letters(100000);
    const std::string mebibyte = "100000\r\n" + std::string(0x100000, 'm') + "\r\n";
    const std::string noDigits = "不正常: chunk 长度行中没有十六进制数字: ";
    // clang-format off
    const std::vector<Row> rows = {
        {"one chunk", {"5\r\nABCDE\r\n0\r\n\r\n"}, EVERY, CHUNKED_COMPLETE, "ABCDE", ""},
        {"two chunks", {"5\r\nABCDE\r\n3\r\nfgh\r\n0\r\n\r\n"}, EVERY, CHUNKED_COMPLETE, "ABCDEfgh", ""},
        {"extension", {"1A;name=value\r\n" + z26 + "\r\n0\r\n\r\n"}, EVERY, CHUNKED_COMPLETE, z26, ""},
        {"0x prefix", {"0x1a\r\n" + z26 + "\r\n0\r\n\r\n"}, EVERY, CHUNKED_COMPLETE, z26, ""},
        {"leading blank", {" 1a\r\n" + z26 + "\r\n0\r\n\r\n"}, EVERY, CHUNKED_COMPLETE, z26, ""},
        {"trailing blanks", {"1a  \r\n" + z26 + "\r\n0\r\n\r\n"}, EVERY, CHUNKED_COMPLETE, z26, ""},
        {"leading tab", {"\t1A\r\n" + z26 + "\r\n0\r\n\r\n"}, EVERY, CHUNKED_COMPLETE, z26, ""},
        {"trailer", {"2\r\nok\r\n0\r\nX-Trailer: 1\r\n\r\n"}, EVERY, CHUNKED_COMPLETE, "ok", ""},
        {"ends inside data", {"10\r\nABCDEF"}, EVERY, CHUNKED_ENDED_IN_DATA, "ABCDEF", ""},
        {"ends between chunks", {"5\r\nABCDE\r\n1"}, EVERY, CHUNKED_FAILED, "ABCDE",
         "下载图片失败3: 图片大小:4294967295, 实际接收到的文件大小:5, ret:0, errno:0"},
        {"ends after the last size line", {"2\r\nok\r\n0\r\n"}, EVERY, CHUNKED_FAILED, "ok",
         "读取chunk最后的结束符时出错: syCount:0, bufferSize:8192, ret:0, errno:0"},
        {"negative size", {"80000000\r\nAB"}, EVERY, CHUNKED_FAILED, "", "不正常: 这里就有问题了, chunksize:-2147483648"},
        // Nine digits would wrap round to 5 and cut the body short unnoticed.
        {"size over 32 bits", {"100000005\r\nABCDE\r\n0\r\n\r\n"}, EVERY, CHUNKED_FAILED, "",
         "不正常: chunksize 超出范围: 100000005"},
        // Read as 0 it would be the last chunk, and four bytes would pass for
        // the whole image.
        {"size line without digits", {"4\r\n" + jpeg + "\r\nzz\r\n\r\n"}, EVERY, CHUNKED_FAILED, jpeg, noDigits + "zz"},
        {"0x alone", {"0x\r\nABC\r\n0\r\n\r\n"}, EVERY, CHUNKED_FAILED, "", noDigits + "*"},
        {"extension alone", {" ;ext\r\nABC\r\n0\r\n\r\n"}, EVERY, CHUNKED_FAILED, "", noDigits + "*"},
        {"letter first", {"g1\r\nABC\r\n0\r\n\r\n"}, EVERY, CHUNKED_FAILED, "", noDigits + "*"},
        {"chunk over the limit", {"A00001\r\n\xFF\xD8"}, EVERY, CHUNKED_TOO_LARGE, "",
         "chunked 图片数据超过10M, readTotal:0, chunksize:10485761"},

        // The end-of-body record says how the bytes arrived.
        {"final CR LF with the last size line", {"5\r\nABCDE\r\n0\r\n\r\n"}, AS_CUT, CHUNKED_COMPLETE, "ABCDE", "", {}},
        {"final CR LF on its own", {"5\r\nABCDE\r\n0\r\n", {"\r\n"}}, AS_CUT, CHUNKED_COMPLETE, "ABCDE", "",
         {EndRecord(head + 13, head + 13, 0, HEAD + "5\r\nABCDE\r\n0\r\n")}},
        {"trailer held", {"2\r\nok\r\n0\r\nX-Trailer: 1\r\n\r\n"}, AS_CUT, CHUNKED_COMPLETE, "ok", "",
         {EndRecord(head + 26, head + 10, 16, HEAD + "2\r\nok\r\n0\r\nX-Trailer: 1\r\n\r\n")}},
        {"close after the last size line", {"2\r\nok\r\n0\r\n"}, AS_CUT, CHUNKED_FAILED, "ok", "",
         {EndRecord(head + 10, head + 10, 0, HEAD + "2\r\nok\r\n0\r\n")}},
        {"last size line in a receive of its own", {"2\r\nok", {"\r\n0\r\n\r\n"}}, AS_CUT, CHUNKED_COMPLETE, "ok", "", {}},
        {"trailer in a receive of its own", {"2\r\nok", {"\r\n0\r\nX: 1\r\n\r\n"}}, AS_CUT, CHUNKED_COMPLETE, "ok", "",
         {EndRecord(13, 5, 8, "\r\n0\r\nX: 1\r\n\r\n")}},
        // An empty size line is refused where it is read as one; arriving on
        // its own it is taken for the CR LF that ends chunk data, and the next
        // line is read as a size.
        {"empty size line held", {"\r\nABC\r\n0\r\n\r\n"}, AS_CUT, CHUNKED_FAILED, "", noDigits, {}},
        {"empty size line on its own", {"", {"\r\nABC\r\n0\r\n\r\n"}}, AS_CUT, CHUNKED_ENDED_IN_DATA, "0\r\n\r\n", "", {}},

        // Long streams: a chunk goes through in pieces of at most a buffer.
        {"chunk of 100000", {"186a0\r\n" + data.substr(0, 1000), {data.substr(1000, 50000), data.substr(51000) + "\r\n0\r\n\r\n"}},
         AS_CUT, CHUNKED_COMPLETE, data, "", {}},
        {"size line longer than the buffer", {"", {std::string(20000, '0')}}, AS_CUT, CHUNKED_FAILED, "",
         "不正常: chunk 长度行超过 HTTP_BUFFER_SIZE 字节, 还没有结束", {}},
        {"size line longer than the buffer, byte by byte", {"", std::vector<std::string>(9000, "0")}, AS_CUT,
         CHUNKED_FAILED, "", "不正常: chunk 长度行超过 HTTP_BUFFER_SIZE 字节, 还没有结束", {}},
        {"trailer longer than the buffer", {"0\r\n", {std::string(20000, 't')}}, AS_CUT, CHUNKED_FAILED, "",
         "读取完 HTTP_BUFFER_SIZE 长度, 也没有找到 chund 最后一个结束符", {EndRecord(head + 3, head + 3, 0, HEAD + "0\r\n")}},
        // Endless chunks of 1 MiB: the eleventh is refused before any of it is
        // passed on.
        {"endless chunks", {"", std::vector<std::string>(12, mebibyte)}, AS_CUT, CHUNKED_TOO_LARGE,
         std::string(10485760, 'm'), "chunked 图片数据超过10M, readTotal:10485760, chunksize:1048576", {}},
    };
    // clang-format on
    for (const Row& row : rows) {
        std::string bytes = row.arrival.held;
        for (const std::string& piece : row.arrival.pieces) bytes += piece;
        for (const Arrival& arrival : row.cuts == EVERY ? EveryCut(bytes) : std::vector<Arrival>{row.arrival}) {
            const std::string where = row.name + " (" + Describe(arrival) + ")";
            Decoded decoded = Decode(arrival);
            EXPECT_EQ(row.state, decoded.state) << where << ": " << Utf8(decoded.error);
            EXPECT_TRUE(row.body == decoded.body) << where << ": " << decoded.body.size() << " bytes";
            EXPECT_EQ(static_cast<int32_t>(decoded.body.size()), decoded.readTotal) << where;
            EXPECT_LE(decoded.largestPiece, static_cast<size_t>(HTTP_BUFFER_SIZE)) << where;
            if (!row.error.empty()) ExpectMessage(row.error, decoded.error, where);
            if (row.cuts == AS_CUT) {
                EXPECT_EQ(row.log, decoded.log) << where;
            }
        }
    }
}

TEST(ChunkedDecoder, AsksOnlyForWhatOneReceiveWouldBring) {
    std::vector<char> buffer(HTTP_BUFFER_SIZE + 1, '\0');
    std::memcpy(buffer.data(), HEAD.data(), HEAD.size());
    char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
    ChunkedDecoder decoder;
    StartChunkedDecoder(&decoder, buffer.data(), static_cast<int32_t>(HEAD.size()), static_cast<int32_t>(HEAD.size()),
                        SIZE_UNSET, ErrorText{errorText, sizeof errorText});

    // A size line: the room behind the held bytes, right behind them.
    ChunkedStep step = DecodeChunked(&decoder, nullptr, 0);
    ASSERT_EQ(CHUNKED_NEEDS_INPUT, step.state);
    EXPECT_EQ(HTTP_BUFFER_SIZE, ChunkedInputRoom(&decoder));
    EXPECT_EQ(buffer.data(), ChunkedInputSpace(&decoder));  // the head was let go

    // Chunk data: no more than the chunk still needs, from the buffer's start.
    const std::string sizeLine = "9000\r\n";
    std::memcpy(ChunkedInputSpace(&decoder), sizeLine.data(), sizeLine.size());
    step = DecodeChunked(&decoder, ChunkedInputSpace(&decoder), static_cast<int32_t>(sizeLine.size()));
    EXPECT_EQ(static_cast<int32_t>(sizeLine.size()), step.consumed);
    ASSERT_EQ(CHUNKED_NEEDS_INPUT, step.state);
    EXPECT_EQ(HTTP_BUFFER_SIZE, ChunkedInputRoom(&decoder));
    EXPECT_EQ(buffer.data(), ChunkedInputSpace(&decoder));
    const std::string data(HTTP_BUFFER_SIZE + 100, 'd');
    step = DecodeChunked(&decoder, data.data(), static_cast<int32_t>(data.size()));
    EXPECT_EQ(CHUNKED_BODY_BYTES, step.state);
    EXPECT_EQ(HTTP_BUFFER_SIZE, step.consumed);
    EXPECT_EQ(data.data(), step.body);  // passed on, not copied
    step = DecodeChunked(&decoder, data.data() + HTTP_BUFFER_SIZE, 100);
    EXPECT_EQ(CHUNKED_BODY_BYTES, step.state);
    EXPECT_EQ(100, step.bodyLength);
    step = DecodeChunked(&decoder, nullptr, 0);
    ASSERT_EQ(CHUNKED_NEEDS_INPUT, step.state);
    EXPECT_EQ(0x9000 - HTTP_BUFFER_SIZE - 100, decoder.remaining);
    EXPECT_EQ(HTTP_BUFFER_SIZE, ChunkedInputRoom(&decoder));  // at most a buffer's worth at once

    // Ending the input is a final state; later calls change nothing.
    EXPECT_EQ(CHUNKED_ENDED_IN_DATA, EndChunkedInput(&decoder, -1, 0));
    EXPECT_EQ(-1, decoder.lastReceive);
    EXPECT_EQ(CHUNKED_ENDED_IN_DATA, DecodeChunked(&decoder, data.data(), 10).state);
    EXPECT_EQ(0, DecodeChunked(&decoder, data.data(), 10).consumed);
    EXPECT_EQ(CHUNKED_ENDED_IN_DATA, EndChunkedInput(&decoder, 0, 0));
}

}  // namespace
