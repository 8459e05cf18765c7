// The command line end to end: the real `karvelo` binary against a loopback
// image server, checked by its files, package, backups and exit codes.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "util/loopback_server.h"
#include "support/gbk.h"
#include "support/package_generator.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

const std::string PNG = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(500, 'p');
const int STOP_BOUND_MILLISECONDS = 30000;

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start());
        std::filesystem::create_directory(Destination());
    }

    std::string Destination() const { return dir.File("pics"); }
    // A package name of this test alone: backups of all tests share the
    // folder beside the binary.
    std::string PackagePath() const {
        return dir.File(std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".csv");
    }

    std::string Url(const std::string& name) { return server.Url("/img/" + name); }
    void Serve(const std::string& name, const std::string& body) {
        std::lock_guard<std::mutex> lock(mutex);
        routes["/img/" + name] = LoopbackResponse{200, body, "image/png", ""};
    }
    size_t FileCount() const {
        size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(Destination())) count += entry.is_regular_file();
        return count;
    }

    TempDir dir;
    std::mutex mutex;
    std::map<std::string, LoopbackResponse> routes;
    int delayMilliseconds = 0;
    LoopbackImageServer server{[this](const std::string& path) {
        if (delayMilliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMilliseconds));
        std::lock_guard<std::mutex> lock(mutex);
        auto found = routes.find(path);
        return found == routes.end() ? LoopbackResponse{} : found->second;
    }};
};

PackageLayout TwoItems(const std::string& a, const std::string& b, const std::string& c) {
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("棉麻衬衫"), "<p><img src=\"" + a + "\"></p><img src=\"" + b + "\">", "<img>" + c + "</img>"));
    layout.items.push_back(MakeItem(Gbk("帆布包"), "<div style=\"background:url(" + b + ")\"></div>", ""));
    return layout;
}

}  // namespace

TEST_F(CliTest, RelocatesAPackageEndToEnd) {
    Serve("a.png", PNG);
    Serve("b.png", PNG);
    Serve("c.png", PNG);
    PackageLayout layout = TwoItems(Url("a.png"), Url("b.png"), Url("c.png"));
    ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
    const std::string original = ReadWholeFile(PackagePath());

    ProcessResult result = RunKarvelo({"relocate", PackagePath(), Destination(), "--jobs=32"});
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_NE(std::string::npos, result.out.find("图片搬家已完成，数据包(" + std::filesystem::path(PackagePath()).filename().string() + ")已更新。"));
    EXPECT_EQ(3u, FileCount());

    // The rewritten package is the original with each URL replaced by its file.
    std::string text = DecodePackageFile(PackagePath());
    std::string expected = BuildPackageText(layout);
    for (const auto& entry : std::filesystem::directory_iterator(Destination())) {
        std::string name = entry.path().filename().string();
        std::string url = name.rfind("m-", 0) == 0 ? Url("c.png") : std::string();
        if (url.empty()) {
            // Desktop files are numbered in the order the description lists them.
            url = name.substr(name.rfind('-') + 1) == "1.png" ? Url("a.png") : Url("b.png");
        }
        size_t at;
        while ((at = expected.find(url)) != std::string::npos) expected.replace(at, url.size(), entry.path().string());
    }
    EXPECT_EQ(Utf8(expected), Utf8(text));

    // The backup beside the binary holds the package as it was.
    std::string backup = BuildFolder() + "/bak/" +
                         std::filesystem::path(PackagePath()).stem().string() + "(1).csv";
    EXPECT_EQ(original, ReadWholeFile(backup));
    std::filesystem::remove(backup);
}

TEST_F(CliTest, FailedImagesGiveExitThreeAndAreListed) {
    Serve("a.png", PNG);
    ASSERT_TRUE(WritePackageFile(PackagePath(), TwoItems(Url("a.png"), Url("gone.png"), Url("a.png"))));
    ProcessResult result = RunKarvelo({"relocate", PackagePath(), Destination()});
    EXPECT_EQ(3, result.exitCode) << result.err;
    EXPECT_NE(std::string::npos, result.err.find("注意：有部分图片搬家失败！"));
    // Each item with failures, then its failed addresses.
    EXPECT_NE(std::string::npos, result.out.find("棉麻衬衫\n    " + Url("gone.png") + "\n"));
    EXPECT_NE(std::string::npos, result.out.find("帆布包\n    " + Url("gone.png") + "\n"));
}

TEST_F(CliTest, RefusedInputsAndUsageErrors) {
    EXPECT_EQ(2, RunKarvelo({"relocate", PackagePath()}).exitCode);
    EXPECT_EQ(2, RunKarvelo({"relocate", "a", "b", "--bogus"}).exitCode);
    EXPECT_EQ(2, RunKarvelo({"frobnicate"}).exitCode);
    for (const char* jobs : {"0", "33", "x", "-1", ""}) {
        ProcessResult bad = RunKarvelo({"relocate", "a", "b", "--jobs", jobs});
        EXPECT_EQ(2, bad.exitCode) << jobs;
        EXPECT_NE(std::string::npos, bad.err.find("--jobs takes a number from 1 to 32")) << bad.err;
    }
    EXPECT_EQ(2, RunKarvelo({"relocate", "a", "b", "--jobs"}).exitCode);

    ProcessResult missing = RunKarvelo({"relocate", PackagePath(), Destination()});
    EXPECT_EQ(1, missing.exitCode);
    EXPECT_NE(std::string::npos, missing.err.find("选择的csv文件不存在，请重新选择"));

    ASSERT_TRUE(WriteWholeFile(PackagePath(), "not a package"));
    ProcessResult unusable = RunKarvelo({"relocate", PackagePath(), Destination()});
    EXPECT_EQ(1, unusable.exitCode);
    EXPECT_NE(std::string::npos, unusable.err.find("数据格式存在问题"));

    PackageLayout longTitle;
    longTitle.items.push_back(MakeItem(std::string(256, 'x'), "<p></p>", ""));
    ASSERT_TRUE(WritePackageFile(PackagePath(), longTitle));
    ProcessResult tooLong = RunKarvelo({"relocate", PackagePath(), Destination()});
    EXPECT_EQ(1, tooLong.exitCode);
    EXPECT_NE(std::string::npos, tooLong.err.find("标题超过255个字符(127个汉字)"));

    ASSERT_TRUE(WritePackageFile(PackagePath(), TwoItems(Url("a.png"), Url("b.png"), Url("c.png"))));
    const std::string original = ReadWholeFile(PackagePath());
    ProcessResult noFolder = RunKarvelo({"relocate", PackagePath(), dir.File("no-such-folder")});
    EXPECT_EQ(1, noFolder.exitCode);
    EXPECT_NE(std::string::npos, noFolder.err.find("选择的文件夹不存在，请重新选择"));
    ProcessResult noSource =
        RunKarvelo({"relocate", PackagePath(), Destination(), "--no-image-space", "--no-outside-albums"});
    EXPECT_EQ(2, noSource.exitCode);
    EXPECT_NE(std::string::npos, noSource.err.find("至少需选择其中一项"));
    EXPECT_EQ(original, ReadWholeFile(PackagePath()));  // nothing touched
    EXPECT_EQ(0u, FileCount());
}

TEST_F(CliTest, DestinationWithAQuoteIsRefusedUntouched) {
    // Each image's path goes into the package's quoted description field,
    // where this quote would end the field early.
    const std::string quoted = dir.File("d\"q");
    ASSERT_TRUE(std::filesystem::create_directory(quoted));
    Serve("a.png", PNG);
    ASSERT_TRUE(WritePackageFile(PackagePath(), TwoItems(Url("a.png"), Url("a.png"), Url("a.png"))));
    const std::string original = ReadWholeFile(PackagePath());
    const std::string backup =
        BuildFolder() + "/bak/" + std::filesystem::path(PackagePath()).stem().string() + "(1).csv";
    std::filesystem::remove(backup);  // the bak folder outlives the tests

    ProcessResult result = RunKarvelo({"relocate", PackagePath(), quoted});
    EXPECT_EQ(1, result.exitCode) << result.err;
    EXPECT_NE(std::string::npos, result.err.find("选择的文件夹路径中含有双引号或控制字符，无法写入数据包，请重新选择"))
        << result.err;
    EXPECT_EQ(original, ReadWholeFile(PackagePath()));
    EXPECT_TRUE(std::filesystem::is_empty(quoted));
    EXPECT_FALSE(PathExists(backup));  // refused before the run's backup
    EXPECT_TRUE(server.RequestedPaths().empty());
}

TEST_F(CliTest, InterruptWritesBackAndASecondRunFinishes) {
    PackageLayout layout;
    for (int i = 0; i < 8; ++i) {
        std::string name = std::to_string(i) + ".png";
        Serve(name, PNG);
        layout.items.push_back(MakeItem(Gbk("宝贝") + std::to_string(i), "<img src=\"" + Url(name) + "\">", ""));
    }
    ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
    delayMilliseconds = 150;

    const std::string output = dir.File("stopped.log");
    // Two at a time: the stop comes while images are in flight and others wait.
    pid_t karvelo = StartProcess(KarveloCommand({"relocate", PackagePath(), Destination(), "--jobs", "2"}), output);
    ASSERT_GT(karvelo, 0);
    for (int wait = 0; wait < 200 && FileCount() < 2; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const size_t beforeStop = FileCount();
    // Ctrl-C; the bound only keeps a run that ignores it from hanging the test.
    const int code = StopProcess(karvelo, SIGINT, STOP_BOUND_MILLISECONDS);
    ASSERT_GE(beforeStop, 2u);
    EXPECT_EQ(130, code) << ReadWholeFile(output);
    size_t firstRun = FileCount();
    EXPECT_LT(firstRun, 8u);
    std::string text = DecodePackageFile(PackagePath());
    size_t remaining = 0;
    for (int i = 0; i < 8; ++i) remaining += text.find(Url(std::to_string(i) + ".png")) != std::string::npos;
    EXPECT_EQ(8u - firstRun, remaining);  // every finished image is in the package

    delayMilliseconds = 0;
    ProcessResult second = RunKarvelo({"relocate", PackagePath(), Destination()});
    EXPECT_EQ(0, second.exitCode) << second.err;
    EXPECT_EQ(8u, FileCount());
    text = DecodePackageFile(PackagePath());
    for (int i = 0; i < 8; ++i) EXPECT_EQ(std::string::npos, text.find(Url(std::to_string(i) + ".png")));
}

TEST_F(CliTest, InspectCountsImagesBySource) {
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("连衣裙"),
                          "<img src=\"https://img.alicdn.com/imgextra/a.jpg\"><img src=\"http://photo.example.com/b.jpg\">",
                          "<img>https://img.alicdn.com/imgextra/m.jpg</img>"));
    ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
    ProcessResult result = RunKarvelo({"inspect", PackagePath()});
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_NE(std::string::npos, result.out.find("连衣裙"));
    EXPECT_NE(std::string::npos,
              result.out.find("1 items; description images: 1 image space, 1 outside albums; mobile images: 1 image "
                              "space, 0 outside albums"));
}

TEST_F(CliTest, VersionHelpAndDemo) {
    ProcessResult version = RunKarvelo({"--version"});
    EXPECT_EQ(0, version.exitCode);
    EXPECT_EQ("Karvelo 7.3\n", version.out);
    ProcessResult help = RunKarvelo({"--help"});
    EXPECT_EQ(0, help.exitCode);
    EXPECT_NE(std::string::npos, help.out.find("karvelo relocate PACKAGE DEST"));

    ProcessResult demo = RunKarvelo({"demo", dir.File("demo")});
    EXPECT_EQ(0, demo.exitCode) << demo.err;
    EXPECT_NE(std::string::npos, demo.out.find("已更新"));
    EXPECT_EQ(6, std::distance(std::filesystem::directory_iterator(dir.File("demo/images")),
                               std::filesystem::directory_iterator()));
}
