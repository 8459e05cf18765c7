// The image download against a real peer: nginx on loopback.  nginx's
// access log tells which requests shared a connection, so keep-alive reuse
// is checked from the server's side, not only from the pool's.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "http/connection.h"
#include "http/download.h"
#include "http/http_test_support.h"
#include "support/nginx_fixture.h"

namespace {

const char REDIRECT_TARGET[] = "x.png";

class NginxDownloadTest : public HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        if (!NginxAvailable()) {
            GTEST_SKIP() << NGINX_PROGRAM << " is missing: install nginx-light (tools/install-deps.sh does)";
        }
        const std::string images = Root() + "/img";
        std::filesystem::create_directories(images);
        names = GenerateImageFiles(images, 12, 11);
        ASSERT_EQ(12u, names.size());
        ASSERT_TRUE(WriteWholeFile(images + "/" + REDIRECT_TARGET, GeneratedImageBytes("png", 70000, 5)));
        // /chunked/ serves the same files with "Transfer-Encoding: chunked"
        // (a body filter that matches nothing drops Content-Length);
        // /limited/ closes every connection after two requests.
        const std::string config = std::string("    location /old { return 302 /img/") + REDIRECT_TARGET + "; }\n" +
                                   "    location /chunked/ { alias " + images +
                                   "/; sub_filter_types *; sub_filter \"karvelo-no-such-text\" \"\"; }\n" +
                                   "    location /limited/ { alias " + images + "/; keepalive_requests 2; }\n";
        server = std::make_unique<NginxServer>(Root(), config);
        ASSERT_TRUE(server->Start()) << server->error();
        std::filesystem::create_directories(File("out"));
    }

    std::string Root() const { return File("www"); }
    std::string Served(const std::string& name) const { return ReadWholeFile(Root() + "/img/" + name); }
    std::string Target(const std::string& name) const { return File("out/" + name); }

    int Download(const std::string& path, const std::string& target, int useKeepAlive) {
        char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
        int result = DownloadInto(client_, server->Url(path), target, errorText, useKeepAlive);
        error = errorText;
        return result;
    }

    std::vector<NginxAccess> Accesses(size_t count) {
        EXPECT_TRUE(server->WaitForAccessLines(count)) << "nginx logged " << server->AccessLog().size();
        return server->AccessLog();
    }
    std::string Key() const { return "127.0.0.1:" + std::to_string(server->port()); }

    std::vector<std::string> names;
    std::unique_ptr<NginxServer> server;
    std::string error;  // GBK
};

}  // namespace

TEST_F(NginxDownloadTest, KeepAliveSequenceUsesOneConnection) {
    for (const std::string& name : names) {
        ASSERT_EQ(1, Download("/img/" + name, Target(name), 1)) << name << ": " << Utf8(error);
        EXPECT_EQ(Served(name), ReadWholeFile(Target(name))) << name;
    }
    std::vector<NginxAccess> log = Accesses(names.size());
    ASSERT_EQ(names.size(), log.size());
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[0].connection, log[i].connection) << i;
        EXPECT_EQ(static_cast<long>(i + 1), log[i].connectionRequests);
        EXPECT_EQ("GET /img/" + names[i] + " HTTP/1.1", log[i].request);
        EXPECT_EQ(200, log[i].status);
        EXPECT_EQ(static_cast<long>(Served(names[i]).size()), log[i].bodyBytes);
    }
    EXPECT_EQ(1, CountInLog(Key() + " --- new socket()"));
    EXPECT_NE(0, PooledSocket(client_, Key()));
}

TEST_F(NginxDownloadTest, NotFoundLeavesNoFileAndIsAskedOnceMoreWithoutKeepAlive) {
    ASSERT_EQ(1, Download("/img/" + names[0], Target("first"), 1)) << Utf8(error);
    EXPECT_EQ(-1, Download("/img/missing.jpg", Target("missing.jpg"), 1));
    EXPECT_EQ(Gbk("404 Not Found - 文件不存在"), error);
    EXPECT_FALSE(PathExists(Target("missing.jpg")));
    EXPECT_EQ(0, PooledSocket(client_, Key()));  // a failed keep-alive attempt drops its connection
    EXPECT_EQ(1, CountInLog(Gbk("搬家失败：") + server->Url("/img/missing.jpg") + "(useKeepAlive:1)"));

    std::vector<NginxAccess> log = Accesses(3);
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ("GET /img/missing.jpg HTTP/1.1", log[1].request);
    EXPECT_EQ(404, log[1].status);
    EXPECT_EQ(log[0].connection, log[1].connection);
    EXPECT_EQ("GET /img/missing.jpg HTTP/1.0", log[2].request);
    EXPECT_EQ(404, log[2].status);
    EXPECT_NE(log[1].connection, log[2].connection);

    // The next keep-alive download opens a fresh connection and works.
    ASSERT_EQ(1, Download("/img/" + names[1], Target(names[1]), 1)) << Utf8(error);
    EXPECT_EQ(Served(names[1]), ReadWholeFile(Target(names[1])));
    EXPECT_EQ(2, CountInLog(Key() + " --- new socket()"));
}

TEST_F(NginxDownloadTest, RedirectIsFollowedOverTheSameConnection) {
    ASSERT_EQ(1, Download("/old", Target("redirected.png"), 1)) << Utf8(error);
    EXPECT_EQ(Served(REDIRECT_TARGET), ReadWholeFile(Target("redirected.png")));
    // The redirect's short body came with its head, so the connection stays
    // pooled and serves the redirected request and the next download too.
    ASSERT_EQ(1, Download("/img/" + names[0], Target(names[0]), 1)) << Utf8(error);

    std::vector<NginxAccess> log = Accesses(3);
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ("GET /old HTTP/1.1", log[0].request);
    EXPECT_EQ(302, log[0].status);
    EXPECT_EQ(std::string("GET /img/") + REDIRECT_TARGET + " HTTP/1.1", log[1].request);
    EXPECT_EQ(200, log[1].status);
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[0].connection, log[i].connection);
        EXPECT_EQ(static_cast<long>(i + 1), log[i].connectionRequests);
    }
    EXPECT_EQ(1, CountInLog("new socket()"));
    EXPECT_EQ(0, CountInLog(Gbk("搬家失败")));
}

TEST_F(NginxDownloadTest, Http10WithoutKeepAliveUsesOneConnectionPerImage) {
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_EQ(1, Download("/img/" + names[i], Target(names[i]), 0)) << names[i] << ": " << Utf8(error);
        EXPECT_EQ(Served(names[i]), ReadWholeFile(Target(names[i])));
    }
    std::vector<NginxAccess> log = Accesses(4);
    ASSERT_EQ(4u, log.size());
    std::set<long> connections;
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ("GET /img/" + names[i] + " HTTP/1.0", log[i].request);
        EXPECT_EQ(1, log[i].connectionRequests);
        connections.insert(log[i].connection);
    }
    EXPECT_EQ(4u, connections.size());
    EXPECT_EQ(0, PooledSocket(client_, Key()));
    EXPECT_EQ(0, CountInLog("new socket()"));
}

TEST_F(NginxDownloadTest, ChunkedBodiesKeepTheConnectionAndCloseDelimitedOnesWork) {
    // Over HTTP/1.1 nginx sends these chunked; the largest images span many
    // chunks and many receives.
    for (size_t i = 0; i < 6; ++i) {
        ASSERT_EQ(1, Download("/chunked/" + names[i], Target(names[i]), 1)) << names[i] << ": " << Utf8(error);
        EXPECT_EQ(Served(names[i]), ReadWholeFile(Target(names[i]))) << names[i];
    }
    // Over HTTP/1.0 the same bodies have no length and end with the close.
    ASSERT_EQ(1, Download("/chunked/" + names[6], Target(names[6]), 0)) << Utf8(error);
    EXPECT_EQ(Served(names[6]), ReadWholeFile(Target(names[6])));

    std::vector<NginxAccess> log = Accesses(7);
    ASSERT_EQ(7u, log.size());
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(log[0].connection, log[i].connection);
        EXPECT_EQ(static_cast<long>(i + 1), log[i].connectionRequests);
    }
    EXPECT_NE(log[0].connection, log[6].connection);
    EXPECT_EQ(0, CountInLog(Gbk("搬家失败")));
}

TEST_F(NginxDownloadTest, ConnectionCloseFromTheServerOpensANewConnection) {
    // nginx answers every second request on a connection with
    // "Connection: close"; the client must drop it, not reuse a closed one.
    for (size_t i = 0; i < 5; ++i) {
        ASSERT_EQ(1, Download("/limited/" + names[i], Target(names[i]), 1)) << names[i] << ": " << Utf8(error);
        EXPECT_EQ(Served(names[i]), ReadWholeFile(Target(names[i])));
    }
    std::vector<NginxAccess> log = Accesses(5);
    ASSERT_EQ(5u, log.size());
    const long expectedRequests[] = {1, 2, 1, 2, 1};
    for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(expectedRequests[i], log[i].connectionRequests) << i;
    EXPECT_EQ(log[0].connection, log[1].connection);
    EXPECT_NE(log[1].connection, log[2].connection);
    EXPECT_EQ(log[2].connection, log[3].connection);
    EXPECT_NE(log[3].connection, log[4].connection);
    EXPECT_EQ(3, CountInLog(Key() + " --- new socket()"));
    EXPECT_EQ(0, CountInLog(Gbk("搬家失败")));  // no attempt failed on a stale connection
}
