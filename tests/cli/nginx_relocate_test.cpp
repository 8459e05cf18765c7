// `karvelo relocate` end to end against nginx: a realistic package whose
// images live on a real web server over https, relocated by the real binary, checked by
// the files, their names, the rewritten package, the backups and the exit
// codes; then a second run picks up the image that was missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "http/failure_reason.h"
#include "support/gbk.h"
#include "support/nginx_fixture.h"
#include "support/package_generator.h"
#include "support/proxy_fixture.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"

namespace {

// The image URLs of one field, in the order they stand in it.
std::vector<std::string> UrlsIn(const std::string& field, const std::string& prefix) {
    std::vector<std::string> urls;
    for (size_t at = field.find(prefix); at != std::string::npos; at = field.find(prefix, at + 1)) {
        size_t end = field.find_first_of("\"')< \t\r\n", at);
        urls.push_back(field.substr(at, end - at));
    }
    return urls;
}

struct LocalName {
    bool mobile;
    int number;
};

// "<Y-M-D-h-m-n>.jpg" with "m-" before it for mobile images.
bool ParseLocalName(const std::string& name, LocalName* parsed) {
    static const std::regex pattern("(m-)?\\d{4}-\\d{1,2}-\\d{1,2}-\\d{1,2}-\\d{1,2}-(\\d+)\\.jpg");
    std::smatch match;
    if (!std::regex_match(name, match, pattern)) return false;
    parsed->mobile = match[1].matched;
    parsed->number = std::stoi(match[2].str());
    return true;
}

class NginxRelocateTest : public ::testing::Test {
protected:
    void SetUp() override {
        // English, whatever the machine's locale: the texts checked below are.
        setenv("LANG", "C.UTF-8", 1);
        for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANGUAGE"}) unsetenv(variable);
        if (!NginxAvailable()) {
            GTEST_SKIP() << NGINX_PROGRAM << " is missing: install nginx-light (tools/install-deps.sh does)";
        }
        std::filesystem::create_directories(dir.File("www"));
        std::filesystem::create_directories(Destination());
        // The package's addresses are https ones, served over TLS with a
        // certificate of the tests' own authority, which karvelo trusts
        // through SSL_CERT_FILE.
        std::string error;
        ASSERT_TRUE(TrustTestAuthority(&error)) << error;
        const ServerCertificate& certificate = TestCertificatesMade(&error)->loopback;
        server = std::make_unique<NginxServer>(dir.File("www"));
        server->UseTls(certificate.certificate, certificate.key);
        ASSERT_TRUE(server->Start()) << server->error();
    }
    void TearDown() override {
        for (int n = 1; n <= 3; ++n) std::filesystem::remove(Backup(n));
    }

    std::string Destination() const { return dir.File("pics"); }
    // Backups of all tests share the folder beside the binary: a name of
    // this test alone.
    std::string Stem() const {
        return std::string("nginx-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    std::string PackagePath() const { return dir.File(Stem() + ".csv"); }
    std::string Backup(int n) const { return BuildFolder() + "/bak/" + Stem() + "(" + std::to_string(n) + ").csv"; }
    std::string Host() const { return "127.0.0.1:" + std::to_string(server->port()); }

    // Puts a generated image where nginx serves `url` and remembers it.
    void Publish(const std::string& url) {
        std::string path = url.substr(url.find('/', std::string("https://").size()));
        std::filesystem::path file = dir.File("www") + path;
        std::filesystem::create_directories(file.parent_path());
        std::string bytes =
            GeneratedImageBytes(served.size() % 2 ? "png" : "jpg", 5000 + (served.size() * 7919) % 60000,
                                static_cast<unsigned>(served.size()) + 1);
        ASSERT_TRUE(WriteWholeFile(file.string(), bytes));
        served[bytes] = url;
    }

    // The local files, each with the URL whose image it holds.
    std::map<std::string, std::string> LocalFiles() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(Destination())) {
            if (entry.is_directory()) continue;  // the image library's folder
            auto found = served.find(ReadWholeFile(entry.path().string()));
            files[entry.path().filename().string()] = found == served.end() ? "(not served)" : found->second;
        }
        return files;
    }

    TempDir dir;
    std::unique_ptr<NginxServer> server;
    std::map<std::string, std::string> served;  // image bytes -> URL
};

}  // namespace

TEST_F(NginxRelocateTest, RelocatesARealisticPackageAndResumes) {
    const PackageLayout layout = RealisticPackage(3, 4, 3000, Host());
    std::vector<std::vector<std::string>> desktop, mobile;
    for (const GeneratedItem& item : layout.items) {
        desktop.push_back(UrlsIn(item.description, "https://" + Host() + "/"));
        mobile.push_back(UrlsIn(item.mobileDetail, "https://" + Host() + "/"));
        ASSERT_EQ(4u, desktop.back().size());
        ASSERT_EQ(2u, mobile.back().size());
    }
    // Every image but one is on the server.
    const std::string missing = mobile[1][1];
    for (size_t i = 0; i < layout.items.size(); ++i) {
        for (const std::string& url : desktop[i]) Publish(url);
        for (const std::string& url : mobile[i]) {
            if (url != missing) Publish(url);
        }
    }
    ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
    const std::string original = ReadWholeFile(PackagePath());

    // First run: 17 images relocated, one fails with nginx's 404.
    ProcessResult first = RunKarvelo({"relocate", PackagePath(), Destination()});
    EXPECT_EQ(3, first.exitCode) << first.err;
    EXPECT_NE(std::string::npos, first.err.find("if they stay unreachable, add --blank-failed"));
    // The failure list gives the sentence of an HTTP 404.
    FailureReason http404 = {};
    SetFailureReason(&http404, FAILURE_HTTP_STATUS, nullptr, 404);
    char sentence[256];
    FormatFailureSentence(&http404, /*english=*/true, sentence, sizeof sentence);
    EXPECT_NE(std::string::npos,
              first.out.find(Utf8(layout.items[1].title) + "\n    " + missing + ": " + Utf8(sentence)))
        << first.out;
    EXPECT_EQ(original, ReadWholeFile(Backup(1)));

    std::map<std::string, std::string> files = LocalFiles();
    ASSERT_EQ(17u, files.size());
    std::map<std::string, std::string> localPathOf;  // URL -> local path
    std::map<std::string, LocalName> nameOf;         // URL -> parsed name
    for (const auto& [name, url] : files) {
        LocalName parsed;
        ASSERT_TRUE(ParseLocalName(name, &parsed)) << name;
        ASSERT_NE("(not served)", url) << name << " holds bytes nginx never served";
        EXPECT_TRUE(localPathOf.emplace(url, Destination() + "/" + name).second) << url << " stored twice";
        nameOf[url] = parsed;
    }
    // Names: "m-" exactly for mobile images, and numbered item by item,
    // description images before the item's mobile images.
    int lastNumber = 0;
    for (size_t i = 0; i < layout.items.size(); ++i) {
        int firstOfItem = lastNumber;
        for (const std::string& url : desktop[i]) {
            ASSERT_EQ(1u, nameOf.count(url)) << url;
            EXPECT_FALSE(nameOf[url].mobile) << url;
            EXPECT_GT(nameOf[url].number, firstOfItem);
            lastNumber = std::max(lastNumber, nameOf[url].number);
        }
        int lastDesktop = lastNumber;
        for (const std::string& url : mobile[i]) {
            if (url == missing) continue;
            ASSERT_EQ(1u, nameOf.count(url)) << url;
            EXPECT_TRUE(nameOf[url].mobile) << url;
            EXPECT_GT(nameOf[url].number, lastDesktop);
            lastNumber = std::max(lastNumber, nameOf[url].number);
        }
    }

    // The package is the original with each relocated URL replaced by the
    // full path of its file; the missing image's URL stays.
    std::string expected = BuildPackageText(layout);
    for (const auto& [url, path] : localPathOf) {
        for (size_t at = expected.find(url); at != std::string::npos; at = expected.find(url, at + path.size())) {
            expected.replace(at, url.size(), path);
        }
    }
    const std::string afterFirst = ReadWholeFile(PackagePath());
    EXPECT_EQ(Utf8(expected), Utf8(DecodePackageFile(PackagePath())));
    EXPECT_NE(std::string::npos, expected.find(missing));

    // Second run, with the missing image now on the server: only it is
    // fetched; the package backed up as the first run left it.
    Publish(missing);
    ProcessResult second = RunKarvelo({"relocate", PackagePath(), Destination()});
    EXPECT_EQ(0, second.exitCode) << second.err;
    EXPECT_NE(std::string::npos,
              second.out.find("Image relocation finished; the package (" + Stem() + ".csv) is updated."));
    EXPECT_EQ(afterFirst, ReadWholeFile(Backup(2)));
    files = LocalFiles();
    ASSERT_EQ(18u, files.size());
    std::string missingName;
    for (const auto& [name, url] : files) {
        if (url == missing) missingName = name;
    }
    ASSERT_FALSE(missingName.empty());
    LocalName parsed;
    ASSERT_TRUE(ParseLocalName(missingName, &parsed));
    EXPECT_TRUE(parsed.mobile);
    size_t at = expected.find(missing);
    expected.replace(at, missing.size(), Destination() + "/" + missingName);
    EXPECT_EQ(Utf8(expected), Utf8(DecodePackageFile(PackagePath())));

    // nginx saw each image asked for once per run, the missing one twice
    // per failure (the keep-alive attempt and its HTTP/1.0 repetition).
    ASSERT_TRUE(server->WaitForAccessLines(20));
    std::vector<NginxAccess> log = server->AccessLog();
    EXPECT_EQ(20u, log.size());
    int notFound = 0;
    for (const NginxAccess& access : log) notFound += access.status == 404;
    EXPECT_EQ(2, notFound);
}

TEST_F(NginxRelocateTest, NothingOnTheServerLeavesThePackageAlone) {
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("帆布包"), "<p><img src=\"" + server->Url("/gone/a.jpg") + "\"></p>"));
    ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
    const std::string original = ReadWholeFile(PackagePath());

    ProcessResult result = RunKarvelo({"relocate", PackagePath(), Destination()});
    EXPECT_EQ(3, result.exitCode) << result.err;
    EXPECT_NE(std::string::npos, result.err.find("Image relocation failed: no image was relocated."));
    EXPECT_EQ(original, ReadWholeFile(PackagePath()));  // not written back
    EXPECT_EQ(original, ReadWholeFile(Backup(1)));      // but backed up
    // No image; the library folder the failed request's claim made.
    for (const auto& entry : std::filesystem::directory_iterator(Destination()))
        EXPECT_EQ(".karvelo", entry.path().filename().string());

    // With the blank image chosen, the failed reference is replaced.
    ProcessResult blank = RunKarvelo({"relocate", PackagePath(), Destination(), "--blank-failed"});
    EXPECT_EQ(3, blank.exitCode) << blank.err;
    std::string text = DecodePackageFile(PackagePath());
    EXPECT_EQ(std::string::npos, text.find(server->Url("/gone/a.jpg")));
    EXPECT_NE(std::string::npos, text.find("https://img.alicdn.com/imgextra/blank.gif"));
}

TEST_F(NginxRelocateTest, HttpProxyCarriesTheImagesUnlessNoproxySendsThemDirect) {
    if (!TinyproxyAvailable()) GTEST_SKIP() << TINYPROXY_PROGRAM << " is missing: install tinyproxy";
    NginxServer plain(dir.File("www"));
    ASSERT_TRUE(plain.Start()) << plain.error();
    TinyProxy proxy({}, "seller", "pa55-word");
    ASSERT_TRUE(proxy.Start()) << proxy.error();
    const std::vector<std::string> urls = {plain.Url("/p/a.jpg"), plain.Url("/p/b.jpg")};
    for (const std::string& url : urls) Publish(url);
    PackageLayout layout;
    layout.items.push_back(
        MakeItem(Gbk("帆布包"), "<p><img src=\"" + urls[0] + "\"><img src=\"" + urls[1] + "\"></p>"));
    ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
    const std::string original = ReadWholeFile(PackagePath());
    const std::string log = BuildFolder() + "/app.log";

    setenv("http_proxy", proxy.Url().c_str(), 1);
    ProcessResult proxied = RunKarvelo({"relocate", PackagePath(), Destination(), "--jobs", "2"});
    EXPECT_EQ(0, proxied.exitCode) << proxied.err;
    EXPECT_EQ(2u, LocalFiles().size());
    for (const std::string& url : urls) {
        EXPECT_NE(std::string::npos, proxy.Log().find("GET " + url + " HTTP/1.1")) << proxy.Log();
    }
    EXPECT_EQ(std::string::npos, ReadWholeFile(log).find("pa55-word"));

    // The same package again, with every host sent direct.
    ASSERT_TRUE(WriteWholeFile(PackagePath(), original));
    std::filesystem::remove_all(Destination());
    std::filesystem::create_directories(Destination());
    const size_t proxyLogSize = proxy.Log().size();
    const size_t served = plain.AccessLog().size();
    ProcessResult direct = RunKarvelo({"relocate", PackagePath(), Destination(), "--noproxy", "*"});
    EXPECT_EQ(0, direct.exitCode) << direct.err;
    EXPECT_EQ(2u, LocalFiles().size());
    EXPECT_EQ(std::string::npos, proxy.Log().find("GET ", proxyLogSize));
    EXPECT_TRUE(plain.WaitForAccessLines(served + 2));

    // A proxy address that cannot be used stops the command before the run.
    ProcessResult refused = RunKarvelo({"relocate", PackagePath(), Destination(), "--proxy", "socks5://u:pw@h:1"});
    unsetenv("http_proxy");
    EXPECT_EQ(2, refused.exitCode);
    EXPECT_NE(std::string::npos, refused.err.find("only http:// proxies")) << refused.err;
    EXPECT_EQ(std::string::npos, refused.err.find(":pw@"));
    EXPECT_FALSE(std::filesystem::exists(Backup(3)));
}

// HTTP/2 with its default streams against one HTTP/1.1 download at a time,
// on the same package from the same files on the same port: the package,
// the files and their names, the messages and the log come out the same.
TEST_F(NginxRelocateTest, Http2GivesWhatOneHttp1DownloadAtATimeGives) {
    const std::string config = "    location /r/ { rewrite ^/r/(.*)$ /$1 redirect; }\n";
    std::string error;
    const ServerCertificate& certificate = TestCertificatesMade(&error)->loopback;
    auto serve = [&](bool http2, int port) {
        auto made = std::make_unique<NginxServer>(dir.File("www"), config);
        made->UseTls(certificate.certificate, certificate.key);
        if (http2) made->UseHttp2();
        EXPECT_TRUE(port == 0 ? made->Start() : made->StartOnPort(port)) << made->error();
        return made;
    };
    server->Stop();
    auto http1 = serve(false, 0);
    const std::string host = "127.0.0.1:" + std::to_string(http1->port());
    PackageLayout layout = RealisticPackage(12, 6, 2000, host);
    int count = 0;
    for (GeneratedItem& item : layout.items) {
        for (std::string* field : {&item.description, &item.mobileDetail}) {
            for (const std::string& url : UrlsIn(*field, "https://" + host + "/")) {
                ++count;
                if (count % 9 == 0) continue;  // a 404
                Publish(url);
                if (count % 7 == 0) {  // reached through a redirect
                    std::string moved = "https://" + host + "/r/" + url.substr(("https://" + host + "/").size());
                    field->replace(field->find(url), url.size(), moved);
                }
            }
        }
    }
    // The images' names start with the run's start time (year to minute),
    // which two runs a minute boundary apart do not share.
    static const std::regex stamp("\\d{4}-\\d{1,2}-\\d{1,2}-\\d{1,2}-\\d{1,2}-(\\d+)");
    struct Outcome {
        ProcessResult result;
        std::string package, log;
        std::map<std::string, std::string> files;  // name -> bytes
    };
    // A copy of the program of its own: its log and backups beside it are
    // this test's alone, whatever other tests run at the same time.
    const std::string program = dir.File("program/karvelo");
    std::filesystem::create_directories(dir.File("program"));
    std::filesystem::copy_file(KarveloCommand({})[0], program);
    const std::string log = dir.File("program/app.log");
    auto relocate = [&](const std::string& side, std::vector<std::string> options) {
        std::filesystem::create_directories(dir.File(side + "/pics"));
        const std::string package = dir.File(side + "/" + Stem() + ".csv");
        EXPECT_TRUE(WritePackageFile(package, layout));
        const size_t logStart = ReadWholeFile(log).size();
        options.insert(options.begin(), {program, "relocate", package, dir.File(side + "/pics")});
        Outcome outcome{RunProcess(options), ReadWholeFile(package), ReadWholeFile(log).substr(logStart), {}};
        for (const auto& entry : std::filesystem::directory_iterator(dir.File(side + "/pics"))) {
            if (entry.is_directory()) continue;  // the image library's folder
            outcome.files[std::regex_replace(entry.path().filename().string(), stamp, "STAMP-$1")] =
                ReadWholeFile(entry.path().string());
        }
        std::filesystem::remove(dir.File("program/bak/" + Stem() + "(1).csv"));
        // Each side's own folder, and the dates and times (the summary's
        // time the run took too), read alike.
        static const std::regex time("(\\d{4}-\\d{2}-\\d{2} )?\\d{1,2}:\\d{2}:\\d{2}| in [0-9.]+ s\\)");
        for (std::string* text : {&outcome.result.out, &outcome.result.err, &outcome.log}) {
            for (size_t at = text->find(dir.File(side)); at != std::string::npos; at = text->find(dir.File(side))) {
                text->replace(at, dir.File(side).size(), "SIDE");
            }
            *text = std::regex_replace(std::regex_replace(*text, time, "TIME"), stamp, "STAMP-$1");
        }
        return outcome;
    };
    Outcome one = relocate("http1", {"--jobs", "1", "--streams", "1"});
    const int port = http1->port();
    http1->Stop();
    auto http2 = serve(true, port);
    Outcome many = relocate("http2", {});

    EXPECT_EQ(3, one.result.exitCode) << one.result.err;
    EXPECT_EQ(one.result.exitCode, many.result.exitCode);
    EXPECT_EQ(one.result.out, many.result.out);
    EXPECT_EQ(one.result.err, many.result.err);
    EXPECT_EQ(one.log, many.log);
    EXPECT_GT(one.files.size(), 40u);
    EXPECT_TRUE(one.files == many.files) << one.files.size() << " files against " << many.files.size();
    std::string relocated = DecodePackageFile(dir.File("http2/" + Stem() + ".csv"));
    for (size_t at = relocated.find(dir.File("http2")); at != std::string::npos;
         at = relocated.find(dir.File("http2"))) {
        relocated.replace(at, dir.File("http2").size(), dir.File("http1"));
    }
    EXPECT_EQ(std::regex_replace(Utf8(DecodePackageFile(dir.File("http1/" + Stem() + ".csv"))), stamp, "STAMP-$1"),
              std::regex_replace(Utf8(relocated), stamp, "STAMP-$1"));
    // The HTTP/2 run went over one connection (and HTTP/1.0 for the repeats of failures).
    std::set<long> connections;
    for (const NginxAccess& access : http2->AccessLog()) {
        if (access.request.find("HTTP/2.0") != std::string::npos) connections.insert(access.connection);
    }
    EXPECT_EQ(1u, connections.size());
}
