#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "http/chunked.h"
#include "platform/fs.h"
#include "support/gbk.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "util/app_log.h"

namespace {

const std::string HEAD = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

struct ChunkedRun {
    int result;
    ChunkedBodyReader reader;
    std::string file;
    std::string error;  // GBK
    ImageSignature signature;
};

std::vector<std::string> OneBytePerWrite(const std::string& bytes) {
    std::vector<std::string> writes;
    for (char c : bytes) writes.push_back(std::string(1, c));
    return writes;
}

class ChunkedBodyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(1, OpenAppLog(dir_.path().c_str()));
        SetNetworkTimeoutForTests(3000);
    }
    void TearDown() override {
        SetFileFaultInjection(nullptr);
        SetNetworkTimeoutForTests(0);
        CloseAppLog();
    }

    // Runs the reader with `held` already in the buffer (the head and
    // whatever came with it) and the rest arriving as `writes`.
    ChunkedRun Read(const std::string& held, std::vector<std::string> writes, bool exactReceives = false,
                    bool keepOpen = false) {
        SocketFeeder feeder(std::move(writes), exactReceives, keepOpen);
        SetSocketTimeouts(feeder.readEnd());
        std::vector<char> buffer(HTTP_BUFFER_SIZE + 1, '\0');
        std::memcpy(buffer.data(), held.data(), held.size());
        std::string path = dir_.File("chunk-out.jpg");
        BodySink sink;
        std::memset(&sink, 0, sizeof sink);
        sink.file = OpenFileByPath(path.c_str(), "wb");
        char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
        ChunkedRun run;
        std::memset(&run.reader, 0, sizeof run.reader);
        run.reader.buffer = buffer.data();
        run.reader.held = static_cast<int32_t>(held.size());
        run.reader.cursor = static_cast<int32_t>(std::min(held.size(), HEAD.size()));
        run.reader.fileSize = 0xFFFFFFFFu;
        run.reader.sink = &sink;
        run.reader.errorText = errorText;
        run.result = ReadChunkedBody(feeder.readEnd(), &run.reader);
        run.reader.buffer = nullptr;
        run.reader.errorText = nullptr;
        run.reader.sink = nullptr;
        CloseFile(sink.file);
        run.file = ReadWholeFile(path);
        run.error = errorText;
        run.signature = sink.signature;
        return run;
    }

    std::string Log() const { return ReadWholeFile(dir_.File("app.log")); }

    TempDir dir_;
};

TEST_F(ChunkedBodyTest, WholeResponseInOneRead) {
    ChunkedRun run = Read(HEAD + "5\r\nABCDE\r\n0\r\n\r\n", {});
    EXPECT_EQ(CHUNKED_BODY_READ, run.result);
    EXPECT_EQ(1, run.reader.isChunkReceiveCompleted);
    EXPECT_EQ(5, run.reader.readTotal);
    EXPECT_EQ("ABCDE", run.file);
    EXPECT_EQ('A', run.signature.bytes[0]);
    EXPECT_EQ('B', run.signature.bytes[1]);
    EXPECT_EQ("", Log());
}

TEST_F(ChunkedBodyTest, OneBytePerReceiveGivesTheSameBody) {
    // Among the reads: one that ends right after "5\r\n", data bytes read
    // straight through, and the CR LF after the data arriving on its own.
    ChunkedRun run = Read(HEAD, OneBytePerWrite("5\r\nABCDE\r\n3\r\nfgh\r\n0\r\n\r\n"), true);
    EXPECT_EQ(CHUNKED_BODY_READ, run.result) << Utf8(run.error);
    EXPECT_EQ(1, run.reader.isChunkReceiveCompleted);
    EXPECT_EQ(8, run.reader.readTotal);
    EXPECT_EQ("ABCDEfgh", run.file);
    EXPECT_EQ('A', run.signature.bytes[0]);
    EXPECT_EQ('B', run.signature.bytes[1]);
}

TEST_F(ChunkedBodyTest, SizeLineForms) {
    const std::string data(26, 'z');
    for (const char* line : {"1A;name=value", "0x1a", " 1a", "1a  ", "\t1A"}) {
        ChunkedRun run = Read(HEAD + line + "\r\n" + data + "\r\n0\r\n\r\n", {});
        EXPECT_EQ(CHUNKED_BODY_READ, run.result) << line;
        EXPECT_EQ(26, run.reader.readTotal) << line;
        EXPECT_EQ(data, run.file) << line;
    }
}

TEST_F(ChunkedBodyTest, LargeChunkIsReadThroughAndStreamed) {
    std::string data;
    for (int i = 0; i < 100000; ++i) data.push_back(static_cast<char>('a' + i % 26));
    // The size line and the first bytes come with the head; the rest in
    // uneven writes.
    std::string held = HEAD + "186a0\r\n" + data.substr(0, 1000);
    ChunkedRun run = Read(held, {data.substr(1000, 50000), data.substr(51000) + "\r\n0\r\n\r\n"});
    EXPECT_EQ(CHUNKED_BODY_READ, run.result) << Utf8(run.error);
    EXPECT_EQ(100000, run.reader.readTotal);
    EXPECT_EQ(data, run.file);
}

TEST_F(ChunkedBodyTest, TrailerCompletesAndIsRecorded) {
    ChunkedRun run = Read(HEAD + "2\r\nok\r\n0\r\nX-Trailer: 1\r\n\r\n", {});
    EXPECT_EQ(CHUNKED_BODY_READ, run.result);
    EXPECT_EQ(1, run.reader.isChunkReceiveCompleted);
    EXPECT_EQ("ok", run.file);
    EXPECT_NE(std::string::npos, Log().find("chunk size == 0,")) << Log();
    EXPECT_NE(std::string::npos, Log().find("syCount:16, dataContent:\r\nHTTP/1.1 200 OK")) << Log();
}

TEST_F(ChunkedBodyTest, CloseBeforeTheFinalLineFails) {
    ChunkedRun run = Read(HEAD + "2\r\nok\r\n0\r\n", {});
    EXPECT_EQ(-1, run.result);
    EXPECT_EQ(0, run.error.find(Gbk("读取chunk最后的结束符时出错: syCount:0, bufferSize:8192, ret:0, errno:")))
        << Utf8(run.error);
    EXPECT_NE(std::string::npos, Log().find("syCount:0")) << Log();
}

TEST_F(ChunkedBodyTest, RefusesSizesThatDoNotFit) {
    ChunkedRun negative = Read(HEAD + "80000000\r\nAB", {});
    EXPECT_EQ(-1, negative.result);
    EXPECT_EQ(Gbk("不正常: 这里就有问题了, chunksize:-2147483648"), negative.error);
    EXPECT_EQ("", negative.file);

    // Nine digits would wrap round to 5 and cut the body short unnoticed.
    ChunkedRun wrapping = Read(HEAD + "100000005\r\nABCDE\r\n0\r\n\r\n", {});
    EXPECT_EQ(-1, wrapping.result);
    EXPECT_EQ(Gbk("不正常: chunksize 超出范围: 100000005"), wrapping.error);
    EXPECT_EQ("", wrapping.file);
}

TEST_F(ChunkedBodyTest, SizeLineWithoutDigitsFails) {
    // Read as 0 it would be the last chunk, and four bytes would pass for
    // the whole image.
    ChunkedRun run = Read(HEAD + "4\r\n\xFF\xD8\xFF\xE0\r\nzz\r\n\r\n", {});
    EXPECT_EQ(-1, run.result);
    EXPECT_EQ(0, run.reader.isChunkReceiveCompleted);
    EXPECT_EQ(Gbk("不正常: chunk 长度行中没有十六进制数字: zz"), run.error);

    for (const char* line : {"", "0x", " ;ext", "g1"}) {
        ChunkedRun other = Read(HEAD + line + "\r\nABC\r\n0\r\n\r\n", {});
        EXPECT_EQ(-1, other.result) << line;
        EXPECT_EQ(0u, other.error.find(Gbk("不正常: chunk 长度行中没有十六进制数字: "))) << line;
    }
}

TEST_F(ChunkedBodyTest, ConnectionEndingInsideDataIsReportedNotFailed) {
    ChunkedRun closed = Read(HEAD + "10\r\nABC", {"DEF"});
    EXPECT_EQ(CHUNKED_BODY_READ, closed.result);
    EXPECT_EQ(0, closed.reader.isChunkReceiveCompleted);
    EXPECT_EQ(6, closed.reader.readTotal);
    EXPECT_EQ(0, closed.reader.lastReceive);
    EXPECT_EQ("ABCDEF", closed.file);

    SetNetworkTimeoutForTests(100);
    ChunkedRun stalled = Read(HEAD + "10\r\nABC", {}, false, true);
    EXPECT_EQ(CHUNKED_BODY_READ, stalled.result);
    EXPECT_EQ(0, stalled.reader.isChunkReceiveCompleted);
    EXPECT_EQ(-1, stalled.reader.lastReceive);
}

TEST_F(ChunkedBodyTest, ConnectionEndingBetweenChunksFails) {
    ChunkedRun run = Read(HEAD + "5\r\nABCDE\r\n", {"1"});
    EXPECT_EQ(-1, run.result);
    EXPECT_EQ(0, run.error.find(Gbk("下载图片失败3: 图片大小:4294967295, 实际接收到的文件大小:5, ret:0, errno:")))
        << Utf8(run.error);
}

TEST_F(ChunkedBodyTest, EndlessInputIsCutOff) {
    ChunkedRun sizeLine = Read(HEAD, {std::string(20000, '0')});
    EXPECT_EQ(-1, sizeLine.result);
    EXPECT_EQ(Gbk("不正常: chunk 长度行超过 HTTP_BUFFER_SIZE 字节, 还没有结束"), sizeLine.error);

    ChunkedRun trailer = Read(HEAD + "0\r\n", {std::string(20000, 't')});
    EXPECT_EQ(-1, trailer.result);
    EXPECT_EQ(Gbk("读取完 HTTP_BUFFER_SIZE 长度, 也没有找到 chund 最后一个结束符"), trailer.error);
}

TEST_F(ChunkedBodyTest, BodiesOverTheLimitAreRefused) {
    ChunkedRun huge = Read(HEAD + "A00001\r\n\xFF\xD8", {});
    EXPECT_EQ(0, huge.result);
    EXPECT_EQ(Gbk("chunked 图片数据超过10M, readTotal:0, chunksize:10485761"), huge.error);
    EXPECT_EQ("", huge.file);

    // Endless chunks of 1 MiB: the eleventh is refused before it is written.
    const std::string chunk = "100000\r\n" + std::string(0x100000, 'm') + "\r\n";
    ChunkedRun endless = Read(HEAD, std::vector<std::string>(12, chunk));
    EXPECT_EQ(0, endless.result);
    EXPECT_EQ(Gbk("chunked 图片数据超过10M, readTotal:10485760, chunksize:1048576"), endless.error);
    EXPECT_EQ(10485760u, endless.file.size());
}

TEST_F(ChunkedBodyTest, WriteFailureEndsWithMinusTwo) {
    FileFault fault = {FILE_FAULT_WRITE, "chunk-out.jpg", 1};
    SetFileFaultInjection(&fault);
    ChunkedRun run = Read(HEAD + "5\r\nABCDE\r\n0\r\n\r\n", {});
    EXPECT_EQ(-2, run.result);
    EXPECT_EQ(Gbk("写入文件时出错，请检查硬盘可用空间是否已不足。"), run.error);
    EXPECT_EQ(1, FileFaultStrikes());
}

}  // namespace
