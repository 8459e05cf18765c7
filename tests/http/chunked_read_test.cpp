// The chunked read loop over a real socket: one test per way a body ends.
// How the decoder frames the bytes is chunked_test.cpp's subject.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "http/chunked.h"
#include "platform/fs.h"
#include "support/file_fault_layer.h"
#include "support/gbk.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "util/app_log.h"

namespace {

const std::string HEAD = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

struct ChunkedRun {
    ChunkedState state;
    ChunkedDecoder decoder;
    std::string file;
    std::string error;  // GBK
    ImageSignature signature;
};

std::vector<std::string> OneBytePerWrite(const std::string& bytes) {
    std::vector<std::string> writes;
    for (char c : bytes) writes.push_back(std::string(1, c));
    return writes;
}

class ChunkedReadTest : public ::testing::Test {
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

    // Runs the read loop with `held` already in the buffer (the head and
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
        StartChunkedDecoder(&run.decoder, buffer.data(), static_cast<int32_t>(held.size()),
                            static_cast<int32_t>(HEAD.size()), 0xFFFFFFFFu, ErrorText{errorText, sizeof errorText});
        Transport layer;
        InitTcpTransport(&layer, feeder.readEnd());
        HttpConnection plain = {&layer, 0, 0, "", false};
        run.state = ReadChunkedBody(nullptr, &plain, &run.decoder, &sink);
        run.decoder.buffer = nullptr;
        run.decoder.error = ErrorText{nullptr, 0};
        CloseFile(sink.file);
        run.file = ReadWholeFile(path);
        run.error = errorText;
        run.signature = sink.signature;
        return run;
    }

    std::string Log() const { return ReadAppLog(dir_.File("app.log")); }

    TempDir dir_;
};

TEST_F(ChunkedReadTest, CompleteBodyOneBytePerReceive) {
    // Among the receives: one that ends right after "5\r\n", data bytes read
    // straight through, and the CR LF after the data arriving on its own.
    ChunkedRun run = Read(HEAD, OneBytePerWrite("5\r\nABCDE\r\n3\r\nfgh\r\n0\r\n\r\n"), true);
    EXPECT_EQ(CHUNKED_COMPLETE, run.state) << Utf8(run.error);
    EXPECT_EQ(8, run.decoder.readTotal);
    EXPECT_EQ("ABCDEfgh", run.file);
    EXPECT_EQ('A', run.signature.bytes[0]);
    EXPECT_EQ('B', run.signature.bytes[1]);
    EXPECT_EQ(1, run.decoder.lastReceive);
}

TEST_F(ChunkedReadTest, ConnectionEndingInsideDataIsReportedNotFailed) {
    ChunkedRun closed = Read(HEAD + "10\r\nABC", {"DEF"});
    EXPECT_EQ(CHUNKED_ENDED_IN_DATA, closed.state);
    EXPECT_EQ(6, closed.decoder.readTotal);
    EXPECT_EQ(0, closed.decoder.lastReceive);
    EXPECT_EQ("ABCDEF", closed.file);

    // A receive time-out: the socket error says so.
    SetNetworkTimeoutForTests(100);
    ChunkedRun stalled = Read(HEAD + "10\r\nABC", {}, false, true);
    EXPECT_EQ(CHUNKED_ENDED_IN_DATA, stalled.state);
    EXPECT_EQ(-1, stalled.decoder.lastReceive);
    EXPECT_EQ(SOCKET_TIMED_OUT, ClassifySocketError(stalled.decoder.lastSocketError, true))
        << stalled.decoder.lastSocketError;
}

TEST_F(ChunkedReadTest, ConnectionEndingBetweenChunksFails) {
    ChunkedRun run = Read(HEAD + "5\r\nABCDE\r\n", {"1"});
    EXPECT_EQ(CHUNKED_FAILED, run.state);
    EXPECT_EQ(0, run.error.find(Gbk("下载图片失败3: 图片大小:4294967295, 实际接收到的文件大小:5, ret:0, errno:")))
        << Utf8(run.error);
}

TEST_F(ChunkedReadTest, CloseBeforeTheFinalLineFails) {
    ChunkedRun run = Read(HEAD + "2\r\nok\r\n0\r\n", {});
    EXPECT_EQ(CHUNKED_FAILED, run.state);
    EXPECT_EQ(0, run.error.find(Gbk("读取chunk最后的结束符时出错: syCount:0, bufferSize:8192, ret:0, errno:")))
        << Utf8(run.error);
    EXPECT_NE(std::string::npos, Log().find("syCount:0")) << Log();
}

TEST_F(ChunkedReadTest, WriteFailureEnds) {
    FileFault fault = {FILE_FAULT_WRITE, "chunk-out.jpg", 1};
    SetFileFaultInjection(&fault);
    ChunkedRun run = Read(HEAD + "5\r\nABCDE\r\n0\r\n\r\n", {});
    EXPECT_EQ(CHUNKED_WRITE_FAILED, run.state);
    EXPECT_EQ(Gbk("写入文件时出错，请检查硬盘可用空间是否已不足。"), run.error);
    EXPECT_EQ(1, FileFaultStrikes());
}

}  // namespace
