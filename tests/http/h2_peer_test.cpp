// The HTTP/2 client against a peer of the tests' own (tools/h2_test_peer.py)
// that misbehaves at the frame and record level on purpose: whatever it
// does, a cut body is never stored, no image outlives its deadlines and a
// stop is obeyed within about a second.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "http/download_limits.h"
#include "http/http_test_support.h"

namespace {

class H2PeerTest : public HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        if (RunProcess({"/usr/bin/python3", "-c", "import h2"}).exitCode != 0) {
            GTEST_SKIP() << "python3's h2 is missing: install python3-h2";
        }
        std::string failure;
        ASSERT_TRUE(TrustTestAuthority(&failure)) << failure;
        const TestCertificates* certificates = TestCertificatesMade(&failure);
        ASSERT_NE(nullptr, certificates) << failure;
        peer_ = StartTlsTestPeer("h2_test_peer.py", File("peer"), certificates->loopback, {}, &port_);
        ASSERT_GT(peer_, 0) << "the HTTP/2 peer did not start: " << ReadWholeFile(File("peer/output"));
        std::filesystem::create_directories(File("out"));
    }
    void TearDown() override {
        SetDownloadLimitsForTests(0, 0);
        HttpTest::TearDown();
        if (peer_ > 0) StopProcess(peer_, SIGTERM, 2000);
    }

    std::string Url(const std::string& path) const { return "https://127.0.0.1:" + port_ + path; }

    pid_t peer_ = -1;
    std::string port_;
};

// The first bytes of what the peer serves for a good image.
const std::string PNG_SIGNATURE = "\x89PNG\r\n\x1a\n";

}  // namespace

TEST_F(H2PeerTest, EachServerBehaviourMeetsItsRule) {
    struct Download {
        const char* path;
        int result;
    };
    const struct {
        std::vector<Download> downloads;  // at once
        const char* reason;  // UTF-8: what the HTTP/2 attempt of the first failed, in its message or the log
        int networkTimeout;  // milliseconds
        int slow;            // the slow window in milliseconds (SetDownloadLimitsForTests), 0: the product's
        int stopAfter;       // milliseconds after the start a stop is asked for; 0: none
        int bound;           // milliseconds the downloads may take, at most
    } cases[] = {
        {{{"/good/a.png", DOWNLOAD_STORED}}, "", 3000, 0, 0, 3000},
        // A reset, even of code NO_ERROR, before END_STREAM cuts the body.
        {{{"/rst-no-error/a.png", DOWNLOAD_FAILED}}, "HTTP/2 数据流被中断 (error 0), 已接收:1008", 3000, 0, 0, 3000},
        // A record that never completes ends at the network time-out, at the
        // slow limit, or at a stop.
        {{{"/trickle/a.png", DOWNLOAD_FAILED}}, "使用非阻塞方式连接超时。", 1500, 0, 0, 1500 + 2000},
        {{{"/trickle/b.png", DOWNLOAD_FAILED}}, "图片下载太慢", 5000, 1000, 0, 1000 + 2000},
        {{{"/trickle/c.png", DOWNLOAD_STOPPED}}, "", 5000, 0, 500, 500 + 1000},
        // A server that never reads holds no send, nor a stop.
        {{{"/ping-flood/a.png", DOWNLOAD_FAILED}}, "", 1500, 0, 0, 1500 + 2000},
        {{{"/ping-flood/b.png", DOWNLOAD_STOPPED}}, "", 5000, 0, 500, 500 + 1000},
        // The head refuses the body: the stream is reset at once.
        {{{"/too-large/a.png", DOWNLOAD_FAILED}},
         "fileSize=0, header.contentLength: 20971520, 大于10M",
         3000,
         0,
         0,
         3000},
        // The stream the GOAWAY took is answered (cut or whole); those it left
        // out go again on a new connection.
        {{{"/goaway/cut.png", DOWNLOAD_FAILED}, {"/goaway/1.png", DOWNLOAD_STORED}, {"/goaway/2.png", DOWNLOAD_STORED}},
         "HTTP/2 数据流被中断",
         3000,
         0,
         0,
         3000},
    };
    std::atomic<int>& stop = stop_;  // outlives the client's session threads
    UseStopFlag(&stop);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.downloads[0].path);
        SetNetworkTimeoutForTests(c.networkTimeout);
        SetDownloadLimitsForTests(c.slow, 0);
        stop = 0;
        const auto start = std::chrono::steady_clock::now();
        std::thread stopper([&] {
            if (c.stopAfter == 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(c.stopAfter));
            stop = 1;
        });
        std::vector<int> results(c.downloads.size());
        std::vector<std::string> errors(c.downloads.size());
        std::vector<std::thread> threads;
        for (size_t i = 0; i < c.downloads.size(); ++i) {
            threads.emplace_back([&, i] {
                char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
                results[i] =
                    DownloadInto(client_, Url(c.downloads[i].path), File("out/" + std::to_string(i)), errorText, true);
                errors[i] = errorText;
            });
        }
        for (std::thread& thread : threads) thread.join();
        stopper.join();
        EXPECT_LE(MillisecondsSince(start), c.bound);
        for (size_t i = 0; i < c.downloads.size(); ++i) {
            SCOPED_TRACE(c.downloads[i].path);
            EXPECT_EQ(c.downloads[i].result, results[i]) << Utf8(errors[i]);
            const std::string stored = ReadWholeFile(File("out/" + std::to_string(i)));
            if (c.downloads[i].result == DOWNLOAD_STORED) {
                EXPECT_EQ(PNG_SIGNATURE + c.downloads[i].path, stored);
            } else {
                EXPECT_FALSE(PathExists(File("out/" + std::to_string(i))));  // a cut body is not kept
            }
        }
        if (c.reason[0] != '\0') {
            // Its message, or, where the failed HTTP/2 attempt went again
            // without keep-alive (over HTTP/1.1, where the peer has a 404),
            // the retry's record in the log.
            const std::string retried = Gbk("搬家失败：") + Url(c.downloads[0].path) +
                                        Gbk("(useKeepAlive:1)，返回的错误信息：") + LOGGED_BREAK + Gbk(c.reason);
            EXPECT_TRUE(errors[0].find(Gbk(c.reason)) == 0 || Log().find(retried) != std::string::npos)
                << Utf8(errors[0]) << "\n"
                << Utf8(Log());
        }
        CloseH2Sessions(client_);
        ClosePooledConnections(client_);
    }
    // The over-long body was refused with its head: the peer sent not even
    // a quarter of the 20 MiB it announced.
    const std::string sent = File("peer/too-large.sent");
    for (int i = 0; i < 250 && !PathExists(sent); ++i) SleepMilliseconds(20);
    ASSERT_TRUE(PathExists(sent));
    EXPECT_LT(std::stol(ReadWholeFile(sent)), 5L << 20);
}
