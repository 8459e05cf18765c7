// Hosts of both address families against a real peer: nginx on 127.0.0.1
// and ::1, made-up names given the addresses a case needs through the
// lookup seam, and a connect race whose IPv6 path is swallowed, in a network
// namespace of the test's own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "http/connection.h"
#include "http/download.h"
#include "http/http_test_support.h"
#include "support/nginx_fixture.h"
#include "support/process.h"
#include "support/scripted_server.h"

namespace {

// Set in the environment of the test's second run, inside the namespace.
const char INSIDE_NAMESPACE[] = "KARVELO_TEST_INSIDE_NETWORK_NAMESPACE";
const char IP_PROGRAM[] = "/usr/sbin/ip";
const char NFT_PROGRAM[] = "/usr/sbin/nft";

// "v6only.test" resolves to ::1 alone, "dual.test" to ::1 and 127.0.0.1.
int MadeUpNames(const char* host, HostAddresses* addresses) {
    std::vector<const char*> literals;
    if (std::strcmp(host, "v6only.test") == 0) literals = {"::1"};
    if (std::strcmp(host, "dual.test") == 0) literals = {"::1", "127.0.0.1"};
    for (const char* literal : literals) {
        sockaddr_storage address;
        ParseAddressLiteral(literal, &address);
        AddHostAddress(addresses, reinterpret_cast<sockaddr*>(&address));
    }
    return addresses->count > 0 ? 1 : 0;
}

class NginxAddressTest : public HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        if (!NginxAvailable()) {
            GTEST_SKIP() << NGINX_PROGRAM << " is missing: install nginx-light (tools/install-deps.sh does)";
        }
        std::filesystem::create_directories(File("www/img"));
        names = GenerateImageFiles(File("www/img"), 2, 23);
        ASSERT_EQ(2u, names.size());
        SetHostLookupForTests(MadeUpNames);
    }
    void TearDown() override {
        SetHostLookupForTests(nullptr);
        HttpTest::TearDown();
    }

    // Fetches image `index` from http://<host>:<port>/img/ over a pooled
    // connection; true when it arrived whole.
    bool Fetch(const std::string& host, int port, size_t index) {
        const std::string url = "http://" + host + ":" + std::to_string(port) + "/img/" + names[index];
        const std::string target = File("out-" + std::to_string(++fetches));
        char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
        int result = DownloadInto(client_, url, target, errorText, /*useKeepAlive=*/1);
        error = errorText;
        return result == DOWNLOAD_STORED && ReadWholeFile(target) == ReadWholeFile(File("www/img/" + names[index]));
    }
    intptr_t FailuresOf(const std::string& key) const {
        return reinterpret_cast<intptr_t>(HashMapGet(client_->failureCounts, key.c_str()));
    }

    std::vector<std::string> names;
    std::string error;  // GBK
    int fetches = 0;
};

// Each host is fetched from a server listening where the case says; the
// pool and the failure counts show which address was used.
TEST_F(NginxAddressTest, ImagesArriveOverEitherFamily) {
    const struct {
        const char* name;
        bool ipv4, ipv6;       // where nginx listens
        const char* host;      // as written in the address
        const char* poolHost;  // in the pool's key
        const char* refused;   // the address whose refusal counted, or ""
    } cases[] = {
        {"an IPv6 literal", true, true, "[::1]", "[::1]", ""},
        {"an IPv4 literal", true, true, "127.0.0.1", "127.0.0.1", ""},
        {"a name only on ::1", false, true, "v6only.test", "v6only.test", ""},
        // ::1 refuses at once, so 127.0.0.1 goes without waiting its turn.
        {"a dual-stack name where only IPv4 listens", true, false, "dual.test", "dual.test", "[::1]"},
    };
    const bool ipv6 = Ipv6LoopbackAvailable();
    std::string notRun;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.ipv6 || std::strchr(c.host, '[') != nullptr || std::strcmp(c.host, "dual.test") == 0) {
            if (!ipv6) {
                notRun += std::string(" \"") + c.name + "\"";
                continue;
            }
        }
        ResetConnectFailureCounts(client_);
        NginxServer server(File("www"));
        server.ListenOn(c.ipv4, c.ipv6);
        ASSERT_TRUE(server.Start()) << server.error();
        const std::string port = std::to_string(server.port());
        EXPECT_TRUE(Fetch(c.host, server.port(), 0)) << Utf8(error);
        EXPECT_TRUE(Fetch(c.host, server.port(), 1)) << Utf8(error);
        EXPECT_EQ(1, CountInLog(std::string(c.poolHost) + ":" + port + " --- new socket()\r\n"));
        ASSERT_TRUE(server.WaitForAccessLines(2));
        std::vector<NginxAccess> log = server.AccessLog();
        EXPECT_EQ(log[0].connection, log[1].connection);  // kept alive
        EXPECT_EQ(200, log[1].status);
        EXPECT_EQ(c.refused[0] != '\0' ? 1 : 0, FailuresOf(std::string(c.refused) + ":" + port));
        EXPECT_EQ(0, FailuresOf("127.0.0.1:" + port));
        ClosePooledConnections(client_);
    }
    if (!notRun.empty()) GTEST_SKIP() << "this machine has no ::1 (ip -6 addr show lo); not run:" << notRun;
}

// The race: with every packet to ::1 at nginx's port dropped, a name on ::1
// and 127.0.0.1 still connects over IPv4 a moment later, not after the
// network time-out.  Dropping packets needs a network namespace of the
// test's own, so the test runs itself again inside one (unshare --net).
TEST_F(NginxAddressTest, SwallowedIpv6PathLosesTheRace) {
    const std::string test = "NginxAddressTest.SwallowedIpv6PathLosesTheRace";
    if (std::getenv(INSIDE_NAMESPACE) == nullptr) {
        std::vector<std::string> unshare = {"/usr/bin/unshare", "--net"};
        if (geteuid() != 0) unshare.push_back("--map-root-user");
        std::vector<std::string> probe = unshare;
        probe.push_back("/bin/true");
        if (RunProcess(probe).exitCode != 0) {
            GTEST_SKIP() << "this machine does not let the test make a network namespace (unshare --net)";
        }
        std::vector<std::string> command = unshare;
        for (const std::string& argument :
             {std::string("/usr/bin/env"), std::string(INSIDE_NAMESPACE) + "=1",
              std::filesystem::read_symlink("/proc/self/exe").string(), "--gtest_filter=" + test}) {
            command.push_back(argument);
        }
        ProcessResult inside = RunProcess(command);
        if (inside.out.find("[  SKIPPED ]") != std::string::npos) GTEST_SKIP() << inside.out;
        EXPECT_EQ(0, inside.exitCode) << inside.out << inside.err;
        EXPECT_NE(std::string::npos, inside.out.find("[  PASSED  ] 1 test")) << inside.out;
        return;
    }
    ASSERT_EQ(0, RunProcess({IP_PROGRAM, "link", "set", "lo", "up"}).exitCode);
    if (!Ipv6LoopbackAvailable()) GTEST_SKIP() << "no ::1 in the namespace";
    if (access(NFT_PROGRAM, X_OK) != 0) GTEST_SKIP() << NFT_PROGRAM << " is missing: install nftables";
    NginxServer server(File("www"));
    server.ListenOn(true, true);
    ASSERT_TRUE(server.Start()) << server.error();
    const std::string port = std::to_string(server.port());
    for (const std::string& rule : {std::string("add table ip6 karvelo"),
                                    std::string("add chain ip6 karvelo out { type filter hook output priority 0 ; }"),
                                    "add rule ip6 karvelo out ip6 daddr ::1 tcp dport " + port + " drop"}) {
        ProcessResult added = RunProcess({NFT_PROGRAM, rule});
        if (added.exitCode != 0) GTEST_SKIP() << "nft " << rule << ": " << added.err;
    }
    // ::1 itself now answers nothing: its connect runs into the time-out.
    char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
    SetNetworkTimeoutForTests(500);
    EXPECT_EQ(0, OpenConnection(&transfer_, "::1", server.port(), ErrorText{errorText, sizeof errorText}));
    EXPECT_EQ(Gbk("使用非阻塞方式连接超时。"), std::string(errorText));
    ResetConnectFailureCounts(client_);

    SetNetworkTimeoutForTests(0);  // the product's ten seconds
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Fetch("dual.test", server.port(), 0)) << Utf8(error);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(3));  // a race, not a time-out
    EXPECT_EQ(1, CountInLog("dual.test:" + port + " --- new socket()\r\n"));
    // The IPv6 attempt was given up, not refused: nothing counts.
    EXPECT_EQ(0, client_->failureCounts->count);
}

}  // namespace
