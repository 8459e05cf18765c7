// What the HTTP tests share: a fixture with a fresh log folder and the
// client's tables, and a few response builders.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "http/connection.h"
#include "http/h2_session.h"
#include "http/http_client.h"
#include "http/transfer.h"
#include "http/download.h"
#include "http/download_into.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "support/gbk.h"
#include "support/host_names.h"
#include "support/process.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"
#include "util/app_log.h"
#include "base/hash_map.h"

// Long enough for any healthy exchange on loopback, short enough that a
// broken test fails in seconds rather than after the product's 10.
const int TEST_NETWORK_TIMEOUT_MILLISECONDS = 3000;

// The first bytes of a JPEG, enough for the signature test.
const std::string JPEG_BYTES = std::string("\xFF\xD8\xFF\xE0", 4) + "jpeg-body";

// A resolver for SetHostLookupForTests that gives every name 127.0.0.1.
inline int LoopbackForEveryName(const char*, HostAddresses* addresses) {
    sockaddr_in loopback = LoopbackAddress(0);
    return AddHostAddress(addresses, reinterpret_cast<const sockaddr*>(&loopback)) ? 1 : 0;
}

// The pooled connection's socket for a ConnectionKey in the client's pool 0, or 0.
inline SocketHandle PooledSocket(HttpClient* client, const std::string& key) {
    const HttpConnection* pooled =
        static_cast<const HttpConnection*>(HashMapGet(HttpClientPool(client, 0), key.c_str()));
    return pooled != nullptr ? TransportSocketForTests(pooled->transport) : 0;
}

class HttpTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(1, StartNetwork());
        ASSERT_EQ(1, OpenAppLog(dir_.path().c_str()));
        SetNetworkTimeoutForTests(TEST_NETWORK_TIMEOUT_MILLISECONDS);
        UseClient(HttpClientSettings{});
        InitTransfer(&transfer_, client_, ErrorText{nullptr, 0}, nullptr);
    }
    void TearDown() override {
        FreeHttpClient(client_);
        client_ = nullptr;
        SetNetworkTimeoutForTests(0);
        CloseAppLog();
    }

    // Replaces the test's client with a new one of these settings.
    void UseClient(const HttpClientSettings& settings) {
        FreeHttpClient(client_);
        client_ = NewHttpClient(&settings);
        transfer_.client = client_;
    }
    // A new client whose downloads a set `flag` stops.
    void UseStopFlag(const std::atomic<int>* flag) {
        HttpClientSettings settings = {};
        settings.stopFlag = flag;
        UseClient(settings);
    }
    // A new client whose downloads follow `proxy` (null: none).
    void UseProxySettings(const ProxySettings* proxy) {
        HttpClientSettings settings = {};
        settings.proxy = proxy;
        UseClient(settings);
    }
    // The test's pool 0, where a download without a slot keeps its connections.
    HashMap* Pool() const { return HttpClientPool(client_, 0); }

    HttpClient* client_ = nullptr;
    // A transfer without limits on the client, for calls below DownloadImage.
    Transfer transfer_;
    std::atomic<int> stop_{0};  // a stop flag that outlives the client

    std::string Log() const { return ReadAppLog(dir_.File("app.log")); }
    int CountInLog(const std::string& text) const {
        std::string log = Log();
        int count = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
        return count;
    }
    std::string File(const std::string& name) const { return dir_.File(name); }

    TempDir dir_;
};

inline std::string Head(const std::string& statusLine, const std::string& headerLines) {
    return statusLine + "\r\n" + headerLines + "\r\n";
}

// "HTTP/1.1 200 OK" with Content-Length and the given extra header lines
// (each ending in CR LF).
inline std::string Ok(const std::string& body, const std::string& extraLines = "") {
    return Head("HTTP/1.1 200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n" + extraLines) + body;
}

// A TLS peer of tools/ (python3 tools/SCRIPT FOLDER ARGUMENTS...) with
// `certificate` as FOLDER/good.pem and good.key: its process (StopProcess
// ends it), and what it wrote to FOLDER/ports once it listens into *ports;
// -1 when it did not start.
inline pid_t StartTlsTestPeer(const std::string& script, const std::string& folder,
                              const ServerCertificate& certificate, const std::vector<std::string>& arguments,
                              std::string* ports) {
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(certificate.certificate, folder + "/good.pem");
    std::filesystem::copy_file(certificate.key, folder + "/good.key");
    std::vector<std::string> command = {"/usr/bin/python3", KARVELO_SOURCE_DIR "/tools/" + script, folder};
    command.insert(command.end(), arguments.begin(), arguments.end());
    pid_t peer = StartProcess(command, folder + "/output");
    for (int i = 0; peer > 0 && i < 500 && !PathExists(folder + "/ports"); ++i) SleepMilliseconds(20);
    *ports = ReadWholeFile(folder + "/ports");
    if (peer > 0 && ports->empty()) {
        StopProcess(peer, SIGTERM, 2000);
        return -1;
    }
    return peer;
}
