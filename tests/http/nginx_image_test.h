// A fixture for image downloads from nginx on loopback, plain or over TLS
// with the tests' own certificates: the authority trusted, generated images
// under Root()/img for the servers, and out/ for what the client stores.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "http/http_test_support.h"
#include "support/nginx_fixture.h"
#include "support/test_certificates.h"

class NginxImageTest : public HttpTest {
protected:
    // Call from SetUp, after HttpTest::SetUp.
    void MakeImages(int count, unsigned seed) {
        if (!NginxAvailable()) GTEST_SKIP() << NGINX_PROGRAM << " is missing: install nginx-light";
        std::string failure;
        ASSERT_TRUE(TrustTestAuthority(&failure)) << failure;
        certificates = TestCertificatesMade(&failure);
        ASSERT_NE(nullptr, certificates) << failure;
        std::filesystem::create_directories(Root() + "/img");
        names = GenerateImageFiles(Root() + "/img", count, seed);
        ASSERT_EQ(static_cast<size_t>(count), names.size());
        std::filesystem::create_directories(File("out"));
    }

    int Download(const std::string& url, const std::string& name, bool useKeepAlive = true) {
        char errorText[HTTP_ERROR_TEXT_BYTES] = {0};
        int result = DownloadInto(client_, url, File("out/" + name), errorText, useKeepAlive);
        error = errorText;
        return result;
    }
    bool Stored(const std::string& name) const {
        return ReadWholeFile(Root() + "/img/" + name) == ReadWholeFile(File("out/" + name));
    }
    std::string Root() const { return File("www"); }

    const TestCertificates* certificates = nullptr;
    std::vector<std::string> names;
    std::string error;  // GBK
};
