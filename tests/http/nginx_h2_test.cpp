// The image download over HTTP/2: nginx with TLS and h2 on loopback, many
// downloads at once from several threads, as a run's workers make them.
// nginx's access log tells which requests reached it, over which protocol
// and connection.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/download_limits.h"
#include "http/nginx_image_test.h"
#include "platform/net.h"

namespace {

// An upstream that announces a body and closes a little way into it, so
// nginx has to reset the HTTP/2 stream it relays it on.
class CuttingUpstream {
public:
    CuttingUpstream() : listener_(ListenOnLoopback(0, 8)) {
        thread_ = std::thread([this] {
            for (;;) {
                SocketHandle client = accept(listener_, nullptr, nullptr);
                if (client == NO_SOCKET || stopping_) break;
                char request[4096];
                recv(client, request, sizeof request, 0);
                std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 200000\r\n\r\n";
                answer += std::string("\x89PNG", 4) + std::string(60000, 'x');
                SendAll(client, answer.data(), answer.size());
                CloseSocket(client);
            }
        });
    }
    ~CuttingUpstream() {
        stopping_ = true;
        SocketHandle wake = OpenTcpSocket();
        sockaddr_in address = LoopbackAddress(port());
        connect(wake, reinterpret_cast<sockaddr*>(&address), sizeof address);
        thread_.join();
        CloseSocket(wake);
        CloseSocket(listener_);
    }
    int port() const { return BoundPort(listener_); }

private:
    SocketHandle listener_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

class NginxH2Test : public NginxImageTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        MakeImages(40, 31);
    }
    void TearDown() override { NginxImageTest::TearDown(); }

    std::unique_ptr<NginxServer> H2Server(const std::string& config = "", int requestsPerConnection = 0) {
        auto server = std::make_unique<NginxServer>(Root(), config);
        server->UseTls(certificates->loopback.certificate, certificates->loopback.key);
        server->UseHttp2();
        if (requestsPerConnection > 0) server->SetKeepaliveRequests(requestsPerConnection);
        EXPECT_TRUE(server->Start()) << server->error();
        return server;
    }

    // Downloads every path from `threads` threads at once; the result and
    // message per path.
    std::map<std::string, std::pair<int, std::string>> DownloadAll(const NginxServer& server,
                                                                   const std::vector<std::string>& paths, int threads) {
        std::vector<std::pair<int, std::string>> results(paths.size());
        std::atomic<size_t> next{0};
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&] {
                for (size_t i = next++; i < paths.size(); i = next++) {
                    char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
                    const std::string file = File("out/" + std::to_string(i));
                    results[i].first = DownloadInto(client_, server.Url(paths[i]), file, errorText, true);
                    results[i].second = errorText;
                }
            });
        }
        for (std::thread& worker : workers) worker.join();
        std::map<std::string, std::pair<int, std::string>> byPath;
        for (size_t i = 0; i < paths.size(); ++i) byPath[paths[i]] = results[i];
        return byPath;
    }

    std::vector<std::string> ImagePaths(size_t count) const {
        std::vector<std::string> paths;
        for (size_t i = 0; i < count; ++i) paths.push_back("/img/" + names[i]);
        return paths;
    }
};

}  // namespace

// What the server does, and what every download must come to.
TEST_F(NginxH2Test, ServerBehavioursOverOneConnection) {
    CuttingUpstream upstream;
    // An image over the 10 MiB cap.
    ASSERT_TRUE(WriteWholeFile(Root() + "/img/big.jpg", "\xFF\xD8" + std::string(11 << 20, 'x')));
    const std::string config =
        "    location /old/ { rewrite ^/old/(.*)$ /img/$1 redirect; }\n"
        "    location /cut/ { proxy_pass http://127.0.0.1:" +
        std::to_string(upstream.port()) +
        "; proxy_buffering off; }\n"
        "    location /gzip/ { alias " +
        Root() +
        "/img/; add_header Content-Encoding gzip; }\n"
        "    location /nolength/ { alias " +
        Root() +
        "/img/; sub_filter_types *;"
        " sub_filter \"karvelo-no-such-text\" \"\"; }\n";
    struct Row {
        const char* what;
        int requestsPerConnection;  // nginx's limit before GOAWAY; 0: its default
        size_t images;
        std::vector<std::string> extra;               // paths beside the images
        std::map<std::string, std::string> failures;  // path -> a part of its message (GBK)
        long connectionsAtLeast;
        long connectionsAtMost;
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"all over one connection: a 404, a redirect, a cut body, a compressed one, one without a length", 0, 30,
         {"/img/none.png", "/old/" + names[35], "/cut/x.png", "/gzip/" + names[36], "/nolength/" + names[37],
          "/img/big.jpg", "/nolength/big.jpg"},
         {{"/img/none.png", Gbk("404 Not Found")},
          {"/cut/x.png", "200000"},
          {"/gzip/" + names[36], "gzip"},
          {"/img/big.jpg", Gbk("大于10M")},
          {"/nolength/big.jpg", "> 10M"}},
         1, 1},
        {"GOAWAY after every 7 requests: the rest go again on new connections", 7, 40, {}, {}, 5, 40},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto server = H2Server(config, row.requestsPerConnection);
        std::vector<std::string> paths = ImagePaths(row.images);
        paths.insert(paths.end(), row.extra.begin(), row.extra.end());
        auto results = DownloadAll(*server, paths, 12);
        for (size_t i = 0; i < paths.size(); ++i) {
            const auto& [result, message] = results[paths[i]];
            auto failure = row.failures.find(paths[i]);
            if (failure == row.failures.end()) {
                EXPECT_EQ(1, result) << paths[i] << ": " << Utf8(message);
                const std::string served = paths[i].substr(paths[i].rfind('/') + 1);
                EXPECT_EQ(ReadWholeFile(Root() + "/img/" + served), ReadWholeFile(File("out/" + std::to_string(i))))
                    << paths[i];
            } else {
                EXPECT_NE(1, result) << paths[i];
                EXPECT_NE(std::string::npos, message.find(failure->second)) << paths[i] << ": " << Utf8(message);
            }
        }
        server->Stop();
        std::map<long, int> connections;
        std::map<std::string, int> served;
        for (const NginxAccess& access : server->AccessLog()) {
            // A failed download is repeated once, in HTTP/1.0 on a connection of its own.
            if (access.request.find(" HTTP/1.0") != std::string::npos) {
                const std::string path = access.request.substr(4, access.request.find(' ', 4) - 4);
                EXPECT_EQ(1u, row.failures.count(path)) << access.request;
                continue;
            }
            EXPECT_NE(std::string::npos, access.request.find(" HTTP/2.0")) << access.request;
            ++connections[access.connection];
            if (access.status == 200 && access.request.find("/img/") != std::string::npos) ++served[access.request];
        }
        EXPECT_GE(static_cast<long>(connections.size()), row.connectionsAtLeast);
        EXPECT_LE(static_cast<long>(connections.size()), row.connectionsAtMost);
        // Each image was asked for once: nothing the server refused was counted or fetched twice.
        for (const auto& [request, count] : served) EXPECT_EQ(1, count) << request;
        CloseH2Sessions(client_);
    }
    // The HTTP/2 attempts' own messages stand in their repeats' log lines.
    EXPECT_EQ(1, CountInLog(Gbk("HTTP/2 数据流被中断")));
    EXPECT_EQ(1, CountInLog(Gbk("大于10M")));
    EXPECT_EQ(1, CountInLog("> 10M"));
}

TEST_F(NginxH2Test, AStopGivesUpStreamsInFlightAndLeavesTheConnectionUsable) {
    auto server = H2Server("    location /slow/ { alias " + Root() + "/img/; limit_rate 2k; }\n");
    std::atomic<int>& stop = stop_;  // outlives the client's session threads
    UseStopFlag(&stop);
    std::vector<std::string> slow;
    for (size_t i = 0; i < 6; ++i) slow.push_back("/slow/" + names[i]);
    std::thread stopper([&] {
        server->WaitForAccessLines(0, 300);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = 1;
    });
    auto results = DownloadAll(*server, slow, 6);
    stopper.join();
    for (size_t i = 0; i < slow.size(); ++i) {
        EXPECT_EQ(DOWNLOAD_STOPPED, results[slow[i]].first) << slow[i] << ": " << Utf8(results[slow[i]].second);
        EXPECT_FALSE(std::filesystem::exists(File("out/" + std::to_string(i)))) << slow[i];
    }
    stop = 0;
    auto after = DownloadAll(*server, ImagePaths(3), 3);
    for (const auto& [path, outcome] : after) EXPECT_EQ(1, outcome.first) << path << ": " << Utf8(outcome.second);
    // The reading thread gives up a TLS record it waits for at a stop, which
    // may cost the connection: at most one more.
    const std::string key = "https://127.0.0.1:" + std::to_string(server->port());
    EXPECT_LE(CountInLog(key + " --- new socket()"), 2);
}

// More askers than the session has streams: each waits for a slot, every
// body lands in its own file, and a stop ends the waits for a slot as
// promptly as those for a stream.
TEST_F(NginxH2Test, AskersBeyondTheStreamLimitWaitForASlotAndAStopEndsEveryWait) {
    auto server = H2Server("    location /slow/ { alias " + Root() + "/img/; limit_rate 2k; }\n");
    const struct {
        const char* folder;
        int streams;
        int stopAfter;  // milliseconds; 0: none
        int result;
    } cases[] = {
        {"/img/", 2, 0, DOWNLOAD_STORED},
        {"/slow/", 1, 300, DOWNLOAD_STOPPED},
    };
    std::atomic<int>& stop = stop_;  // outlives the client's session threads
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        HttpClientSettings settings = {};
        settings.stopFlag = &stop;
        settings.h2Streams = c.streams;
        UseClient(settings);
        stop = 0;
        std::vector<std::string> paths;
        for (size_t i = 0; i < 24; ++i) paths.push_back(c.folder + names[i]);
        auto stopAt = std::chrono::steady_clock::now();
        std::thread stopper([&] {
            if (c.stopAfter == 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(c.stopAfter));
            stopAt = std::chrono::steady_clock::now();
            stop = 1;
        });
        auto results = DownloadAll(*server, paths, 8);
        stopper.join();
        if (c.stopAfter > 0) {
            EXPECT_LE(MillisecondsSince(stopAt), 1000);
        }
        for (size_t i = 0; i < paths.size(); ++i) {
            const std::string file = File("out/" + std::to_string(i));
            EXPECT_EQ(c.result, results[paths[i]].first) << paths[i] << ": " << Utf8(results[paths[i]].second);
            if (c.result == DOWNLOAD_STORED) {
                EXPECT_EQ(ReadWholeFile(Root() + "/img/" + names[i]), ReadWholeFile(file)) << paths[i];
            } else {
                EXPECT_FALSE(std::filesystem::exists(file)) << paths[i];
            }
        }
        CloseH2Sessions(client_);
    }
}

TEST_F(NginxH2Test, TheLongestHostNameIsAskedForOverHttp2) {
    // nginx answers only that name: its :authority and SNI arrived whole.
    const std::string host = HostNameOfLength(HOST_NAME_MAX_BYTES);
    auto server = H2Server("    if ($host != \"" + host + "\") { return 421; }\n");
    SetHostLookupForTests(LoopbackForEveryName);
    const std::string origin = "https://" + host + ":" + std::to_string(server->port());
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(1, Download(origin + "/img/" + names[i], names[i])) << Utf8(error);
        EXPECT_TRUE(Stored(names[i]));
    }
    SetHostLookupForTests(nullptr);
    ASSERT_TRUE(server->WaitForAccessLines(2));
    for (const NginxAccess& access : server->AccessLog()) {
        EXPECT_EQ(200, access.status) << access.request;
        EXPECT_NE(std::string::npos, access.request.find(" HTTP/2.0")) << access.request;
        EXPECT_EQ(server->AccessLog()[0].connection, access.connection);
    }
    EXPECT_EQ(1, CountInLog(origin + " --- new socket()"));
}
