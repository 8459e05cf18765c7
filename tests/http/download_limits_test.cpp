// Servers that would hold a download for ever: each shape must end within
// the download's bounds (or at a stop), leave no file, and not be repeated.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <climits>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "http/download.h"
#include "http/download_limits.h"
#include "http/http_test_support.h"
#include "util/files.h"

namespace {

// A resolver that answers only once released, as one that hangs would;
// "localhost" (any case) it answers at once.
std::atomic<bool> lookupReleased{false};
std::atomic<int> lookupsRunning{0};
std::atomic<int> lookupsStarted{0};

int HangingLookup(const char* host, HostAddresses* addresses) {
    std::string name = host;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "localhost") {
        sockaddr_in loopback = LoopbackAddress(0);
        AddHostAddress(addresses, reinterpret_cast<sockaddr*>(&loopback));
        return 1;
    }
    ++lookupsStarted;
    ++lookupsRunning;
    while (!lookupReleased.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    --lookupsRunning;
    return 0;
}

class DownloadLimitsTest : public HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        stop = 0;
        UseStopFlag(&stop);
        lookupReleased = false;
        SetHostLookupForTests(HangingLookup);
    }
    void TearDown() override {
        lookupReleased = true;
        // A helper thread still in the lookup finishes and frees its record.
        for (int i = 0; i < 500 && lookupsRunning.load() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(0, lookupsRunning.load());
        SetHostLookupForTests(nullptr);
        SetDownloadLimitsForTests(0, 0);
        HttpTest::TearDown();
    }
    int Download(const std::string& url) {
        char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
        int result = DownloadInto(client_, url, File("image.jpg"), errorText, true);
        error = errorText;
        return result;
    }

    std::atomic<int> stop{0};
    std::string error;  // GBK
};

ScriptedConnection Silent() {
    ScriptedConnection connection;
    connection.closeAfterLastResponse = false;  // reads the request, never answers
    return connection;
}

// A 200 head announcing `length` bytes, then `pieces` writes of `piece`
// bytes each, `pause` apart.
ScriptedConnection Trickle(int length, int pieces, int piece, int pause) {
    std::vector<std::string> writes = {Head("HTTP/1.1 200 OK", "Content-Length: " + std::to_string(length) + "\r\n") +
                                       "\xFF\xD8"};
    for (int i = 0; i < pieces; ++i) writes.push_back(std::string(static_cast<size_t>(piece), 'x'));
    return Serve(ReplyInPieces(writes, pause));
}

struct Shape {
    const char* name;
    std::vector<ScriptedConnection> script;
    std::string scheme;       // "http" or "https" (to the same plain server)
    std::string host;         // empty: the server's 127.0.0.1
    int networkTimeout;       // milliseconds
    int slowWindow, longest;  // the download's bounds, milliseconds (0: the product's)
    int stopAfter;            // a stop request after this many milliseconds, or -1
    int result;
    std::string message;  // UTF-8
    int repeated;         // repetitions without keep-alive: none once a bound is reached
};

TEST_F(DownloadLimitsTest, EveryServerShapeEndsWithinItsBounds) {
    const int LONG = 20000;  // a wait the stop must cut short
    // clang-format off
    const std::vector<Shape> shapes = {
        {"a trickling body", {Trickle(1000, 40, 1, 100)}, "http", "", 3000, 400, 0, -1,
         DOWNLOAD_FAILED, "图片下载太慢：1秒内平均速度不到1KB/s，已放弃。", 0},
        {"a fair rate past the overall bound", {Trickle(1 << 20, 50, 2048, 100)}, "http", "", 3000, 400, 600, -1,
         DOWNLOAD_FAILED, "图片下载超过1分钟，已放弃。", 0},
        {"a stop while the host is silent", {Silent()}, "http", "", LONG, 0, 0, 300,
         DOWNLOAD_STOPPED, "已停止，图片没有下载完。", 0},
        {"a stop while the body trickles", {Trickle(1000, 40, 1, 100)}, "http", "", LONG, 0, 0, 300,
         DOWNLOAD_STOPPED, "已停止，图片没有下载完。", 0},
        {"a stop in a TLS handshake nobody answers", {Silent()}, "https", "", LONG, 0, 0, 300,
         DOWNLOAD_STOPPED, "已停止，图片没有下载完。", 0},
        {"a name lookup that never answers", {}, "http", "hangs.example", 300, 0, 0, -1,
         DOWNLOAD_FAILED, "无法解析域名: hangs.example", 1},
        {"a stop during a name lookup", {}, "http", "hangs.example", LONG, 0, 0, 300,
         DOWNLOAD_STOPPED, "已停止，图片没有下载完。", 0},
    };
    // clang-format on
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        stop = 0;
        ResetConnectFailureCounts(client_);  // each shape a run of its own
        const int lookupsBefore = lookupsStarted.load();
        SetNetworkTimeoutForTests(shape.networkTimeout);
        SetDownloadLimitsForTests(shape.slowWindow, shape.longest);
        ScriptedServer server(shape.script);
        std::string host = shape.host.empty() ? "127.0.0.1" : shape.host;
        std::string url = shape.scheme + "://" + host + ":" + std::to_string(server.port()) + "/a.jpg";
        std::thread stopper([&] {
            if (shape.stopAfter < 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(shape.stopAfter));
            stop = 1;
        });
        const int repetitionsBefore = CountInLog(Gbk("搬家失败"));
        int result = Download(url);
        stopper.join();
        EXPECT_EQ(shape.result, result);
        EXPECT_EQ(Gbk(shape.message), error) << Utf8(error);
        EXPECT_FALSE(FileExists(File("image.jpg").c_str()));
        EXPECT_EQ(shape.repeated, CountInLog(Gbk("搬家失败")) - repetitionsBefore);
        EXPECT_LE(server.AcceptedConnections(), 1);
        EXPECT_LE(lookupsStarted.load() - lookupsBefore, 1);  // a failed name is not looked up again
        if (shape.host == "hangs.example" && shape.stopAfter < 0) {
            // Later images of the name fail at once, with the same message.
            EXPECT_EQ(DOWNLOAD_FAILED, Download(url));
            EXPECT_EQ(Gbk(shape.message), error);
            EXPECT_EQ(1, lookupsStarted.load() - lookupsBefore);
        }
        ClosePooledConnections(client_);
    }
}

// A host that takes connections and never answers counts toward the cut-off
// like one that refuses them; an answer clears the count.
TEST_F(DownloadLimitsTest, SilentHostIsCutOffLikeARefusingOne) {
    SetNetworkTimeoutForTests(200);
    std::vector<ScriptedConnection> script = {Silent(), Silent(), Silent(), Silent(), Serve(Reply(Ok(JPEG_BYTES)))};
    for (int i = 0; i < 6; ++i) script.push_back(Silent());
    ScriptedServer server(script);
    const std::string url = server.Url("/a.jpg");
    const std::string silence = Gbk("使用非阻塞方式连接超时。");
    const std::string cutOff = "127.0.0.1:" + std::to_string(server.port()) + Gbk(" - 连接失败已连续发生5次+");

    // Two silent attempts per image: four after two images, yet the fifth
    // connection is still made, and its answer clears the count.
    // Each says it timed out, after its repetition too.
    EXPECT_EQ(DOWNLOAD_FAILED, Download(url));
    EXPECT_EQ(silence, error);
    EXPECT_EQ(DOWNLOAD_FAILED, Download(url));
    EXPECT_EQ(DOWNLOAD_STORED, Download(url)) << Utf8(error);
    ClosePooledConnections(client_);
    EXPECT_EQ(DOWNLOAD_FAILED, Download(url));
    EXPECT_EQ(DOWNLOAD_FAILED, Download(url));
    EXPECT_EQ(DOWNLOAD_FAILED, Download(url));  // the fifth silence; its repetition is refused
    EXPECT_EQ(cutOff, error);
    EXPECT_EQ(DOWNLOAD_FAILED, Download(url));
    EXPECT_EQ(cutOff, error);
    EXPECT_EQ(10, server.AcceptedConnections());
    EXPECT_EQ(5, CountInLog(silence));  // each silent keep-alive attempt, before its repetition
}

// The cut-off goes by the address: sixteen spellings of one silent host
// share one count, so only the first five silences are waited for.
TEST_F(DownloadLimitsTest, SpellingsOfOneSilentHostShareTheCutOff) {
    SetNetworkTimeoutForTests(200);
    ScriptedServer server(std::vector<ScriptedConnection>(16, Silent()));
    // clang-format off
    const char* spellings[] = {"127.0.0.1", "127.1", "127.0.1", "0x7f000001", "2130706433", "0177.0.0.1",
                               "0x7f.0.0.1", "0x7F.1", "017700000001", "127.000.000.001", "0X7F000001",
                               "127.0.0.01", "0177.1", "localhost", "LOCALHOST", "LocalHost"};
    // clang-format on
    int cutOff = 0;
    for (const char* host : spellings) {
        const std::string port = std::to_string(server.port());
        EXPECT_EQ(DOWNLOAD_FAILED, Download("http://" + std::string(host) + ":" + port + "/a.jpg")) << host;
        if (error == host + (":" + port) + Gbk(" - 连接失败已连续发生5次+")) ++cutOff;
    }
    EXPECT_EQ(5, server.AcceptedConnections());
    EXPECT_EQ(14, cutOff);  // from the third spelling's repetition on
}

}  // namespace

// How long a wait may sleep before the next limit could be reached: the
// slow window first, then as long as the bytes so far keep the average up,
// never past the overall bound; none once reached, none without limits.
TEST_F(DownloadLimitsTest, TheNextLimitIsWhenTheBytesSoFarNoLongerKeepTheAverageUp) {
    SetDownloadLimitsForTests(1000, 5000);
    const struct {
        int64_t received;
        unsigned atLeast, atMost;  // milliseconds
    } cases[] = {
        {0, 900, 1000},         // the slow window
        {2048, 1900, 2001},     // 2 KiB keep 1 KiB/s up for 2 s, and fall under it just after
        {1 << 20, 4900, 5000},  // the overall bound comes first
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.received);
        Transfer transfer;
        InitTransfer(&transfer, client_, ErrorText{nullptr, 0}, nullptr);
        StartTransferLimits(&transfer);
        CountReceivedBytes(&transfer, static_cast<int32_t>(c.received));
        const unsigned left = DownloadLimitMillisecondsLeft(&transfer);
        EXPECT_GE(left, c.atLeast);
        EXPECT_LE(left, c.atMost);
    }
    Transfer unlimited;
    InitTransfer(&unlimited, client_, ErrorText{nullptr, 0}, nullptr);
    EXPECT_EQ(UINT_MAX, DownloadLimitMillisecondsLeft(&unlimited));
    Transfer stopped;
    InitTransfer(&stopped, client_, ErrorText{nullptr, 0}, nullptr);
    StartTransferLimits(&stopped);
    stop = 1;
    EXPECT_EQ(0u, DownloadLimitMillisecondsLeft(&stopped));
}
