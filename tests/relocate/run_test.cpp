#include "relocate/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "demo/loopback_server.h"
#include "http/connection.h"
#include "package/extraction.h"
#include "package/item_record.h"
#include "package/reader.h"
#include "package/writer.h"
#include "platform/fs.h"
#include "support/file_fault_layer.h"
#include "platform/net.h"
#include "relocate/known_images.h"
#include "util/files.h"
#include "relocate/local_files.h"
#include "relocate/run_inputs.h"
#include "relocate/run_view.h"
#include "support/gbk.h"
#include "support/nginx_fixture.h"
#include "support/package_generator.h"
#include "support/recording_front_end.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"
#include "texts/texts.h"
#include "relocate/core_state.h"
#include "util/app_log.h"
#include "util/clock.h"

namespace {

const std::string PNG = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(300, 'p');

// Every run starts at 2026-12-07 09:30 local time (the clock is set for the
// tests), so the names of its images begin with STAMP.
const char STAMP[] = "2026-12-7-9-30-";
std::time_t RunStart() {
    std::tm start = {};
    start.tm_year = 2026 - 1900;
    start.tm_mon = 11;
    start.tm_mday = 7;
    start.tm_hour = 9;
    start.tm_min = 30;
    start.tm_sec = 5;
    start.tm_isdst = -1;
    return std::mktime(&start);
}
const std::string GIF = "GIF89a" + std::string(100, 'g');

// Records the run's view calls in order, as short texts.
struct RecordingView {
    RunView view = {};
    RunOptions options = {};
    std::vector<std::string> calls;
    std::vector<int> selectedRows;
    std::vector<std::string> images;  // "outcome url detail" per image reported
    // Called after every image, so a test can ask for a stop mid-run.
    std::function<void(const std::string& url)> afterImage;
    int statesSeenAtNotify = 0;
    bool stateWasFinalBeforeProgress = false;

    RecordingView() {
        view.context = this;
        view.readOptions = [](void* c, RunOptions* o) { *o = Self(c)->options; };
        view.itemStarted = [](void* c, int row) { Self(c)->calls.push_back("start " + std::to_string(row)); };
        view.setItemText = [](void* c, int row, int sub, const char* text) {
            Self(c)->calls.push_back("text " + std::to_string(row) + " " + std::to_string(sub) + " " + Utf8(text));
        };
        view.setProgressPosition = [](void* c, int p) { Self(c)->calls.push_back("pos " + std::to_string(p)); };
        view.setProgressText = [](void* c, const char* text) {
            RecordingView* self = Self(c);
            self->calls.push_back("progress " + Utf8(text));
        };
        view.isRowSelected = [](void* c, int row) {
            auto& rows = Self(c)->selectedRows;
            return std::find(rows.begin(), rows.end(), row) != rows.end() ? 1 : 0;
        };
        view.notifyItemChanged = [](void* c, int row) {
            RecordingView* self = Self(c);
            ItemRecord* item = static_cast<ItemRecord*>(VectorGet(coreState.items, row));
            if (item->state == ITEM_STATE_DONE) ++self->statesSeenAtNotify;
            self->calls.push_back("notify " + std::to_string(row));
        };
        view.imageFinished = [](void* c, const char* url, int, ImageOutcome outcome, const char* detail,
                                const FailureReason*) {
            Self(c)->images.push_back(std::to_string(outcome) + " " + url + " " + detail);
            if (Self(c)->afterImage) Self(c)->afterImage(url);
        };
        view.runFinished = [](void* c) { Self(c)->calls.push_back("finished"); };
        options.relocateImageSpace = 1;
        options.relocateOutsideAlbums = 1;
    }
    static RecordingView* Self(void* c) { return static_cast<RecordingView*>(c); }
    bool Called(const std::string& call) const { return std::find(calls.begin(), calls.end(), call) != calls.end(); }
};

class RunTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(1, StartNetwork());  // Winsock on Windows; nothing on POSIX
        ASSERT_TRUE(server.Start());
        std::filesystem::create_directory(Destination());
        std::snprintf(coreState.stateFolder, sizeof coreState.stateFolder, "%s", dir.path().c_str());
        coreState.stopRequested = 0;
        coreState.running = 0;
        coreState.items = NewItemList();
        ASSERT_EQ(1, OpenAppLog(dir.path().c_str()));
        imageCounter = 1;
        SetClockForTests(RunStart());
    }
    void TearDown() override {
        SetClockForTests(0);
        SetNetworkTimeoutForTests(0);
        ClearItemRecords(coreState.items);
        FreeItemList(coreState.items);
        coreState.items = nullptr;
        std::free(coreState.packageText);
        coreState.packageText = nullptr;
        coreState.stopRequested = 0;
        CloseAppLog();
    }

    std::string Destination() const { return dir.File("pics"); }
    std::string PackagePath() const { return dir.File("shop.csv"); }

    // Image URL on the loopback server; an image-space one carries an
    // image-space host suffix in its path.
    std::string Image(const std::string& name, bool imageSpace = false) {
        return server.Url(imageSpace ? "/x.alicdn.com/" + name : "/album/" + name);
    }

    void LoadPackage(const PackageLayout& layout) {
        ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
        ASSERT_EQ(PACKAGE_READ_OK, LoadPackageIntoState(PackagePath().c_str()));
    }

    // Runs as a front end does: the run, then its outcome presented; where
    // the outcome ends the program, the test goes on and clears `running`.
    void Run(RecordingView* view, const KnownImages* known = nullptr) {
        std::snprintf(view->options.destination, sizeof view->options.destination, "%s", Destination().c_str());
        lastOutcome = RunRelocation(&view->view, known);
        PresentRunOutcome(&view->view, lastOutcome);
        coreState.running = 0;
    }
    // The last run's outcome ends Karvelo.exe with code 0.
    void ExpectProgramEnds() const {
        EXPECT_EQ(1, lastOutcome.endsProgram);
        EXPECT_EQ(0, lastOutcome.exitCode);
    }

    ItemRecord* Item(int i) { return static_cast<ItemRecord*>(VectorGet(coreState.items, i)); }

    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Destination())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string Backup(int n) const { return dir.File("bak") + "/shop(" + std::to_string(n) + ").csv"; }

    TempDir dir;
    RecordingFrontEnd frontEnd;
    RunOutcome lastOutcome = {};  // what the last Run returned
    std::map<std::string, LoopbackResponse> routes;
    std::mutex routesMutex;
    std::atomic<int> delayMilliseconds{0};
    // From this many requests on, each answer waits for the stop (for at
    // most two seconds), so a test's stop comes while downloads are in
    // flight however fast the rest went; negative: never.
    std::atomic<int> holdAfterRequests{-1};
    std::atomic<int> requestsAnswered{0};
    LoopbackImageServer server{[this](const std::string& path) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMilliseconds.load()));
        const int hold = holdAfterRequests.load();
        if (hold >= 0 && requestsAnswered.fetch_add(1) >= hold) {
            for (int waited = 0; coreState.stopRequested.load() == 0 && waited < 2000; ++waited) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        std::lock_guard<std::mutex> lock(routesMutex);
        auto found = routes.find(path);
        return found == routes.end() ? LoopbackResponse{} : found->second;
    }};

    void Serve(const std::string& url, const std::string& body) {
        std::lock_guard<std::mutex> lock(routesMutex);
        routes[url.substr(url.find('/', 8))] = LoopbackResponse{200, body, "image/png", ""};
    }
    int Requests(const std::string& url) const {
        std::vector<std::string> paths = server.RequestedPaths();
        return static_cast<int>(std::count(paths.begin(), paths.end(), url.substr(url.find('/', 8))));
    }
};

std::string Stamp() { return STAMP; }

}  // namespace

TEST_F(RunTest, RelocatesDesktopThenMobileImagesAndRewritesThePackage) {
    std::vector<std::string> desktop = {Image("d1.png"), Image("d2.gif"), Image("d3.jpg")};
    std::vector<std::string> mobile = {Image("m1.png"), Image("m2.png")};
    for (const std::string& url : desktop) Serve(url, PNG);
    for (const std::string& url : mobile) Serve(url, GIF);
    PackageLayout layout;
    layout.items.push_back(
        MakeItem(Gbk("连衣裙"),
                 "<p><img src=\"" + desktop[0] + "\"><img src='" + desktop[1] + "'></p><IMG SRC=" + desktop[2] + ">",
                 "<wapDesc><img>" + mobile[0] + "</img><txt>t</txt><img>" + mobile[1] + "</img></wapDesc>"));
    LoadPackage(layout);
    const std::string original = ReadWholeFile(PackagePath());

    RecordingView view;
    Run(&view);

    const std::string stamp = Stamp();
    EXPECT_EQ((std::vector<std::string>{stamp + "1.png", stamp + "2.gif", stamp + "3.jpg", "m-" + stamp + "4.png",
                                        "m-" + stamp + "5.png"}),
              Files());
    EXPECT_EQ(PNG, ReadWholeFile(Destination() + "/" + stamp + "1.png"));
    EXPECT_EQ(GIF, ReadWholeFile(Destination() + "/m-" + stamp + "5.png"));
    // The package holds the paths instead of the URLs; the backup holds the old bytes.
    std::string text = DecodePackageFile(PackagePath());
    for (const std::string& url : desktop) EXPECT_EQ(std::string::npos, text.find(url));
    EXPECT_NE(std::string::npos, text.find("<img>" + Destination() + "/m-" + stamp + "4.png</img>"));
    EXPECT_NE(std::string::npos, text.find("src=\"\"" + Destination() + "/" + stamp + "1.png\"\""));
    EXPECT_EQ(original, ReadWholeFile(Backup(1)));

    EXPECT_EQ(ITEM_STATE_DONE, Item(0)->state);
    EXPECT_EQ(nullptr, FailedDesktopUrls(Item(0)));
    EXPECT_EQ(nullptr, FailedMobileUrls(Item(0)));
    ASSERT_EQ(1u, frontEnd.messages.size());
    EXPECT_EQ(Gbk("图片搬家已完成，数据包(shop.csv)已更新。"), frontEnd.messages[0].text);
    EXPECT_EQ(Gbk("完成"), frontEnd.messages[0].caption);
    EXPECT_EQ(0, lastOutcome.endsProgram);
    EXPECT_EQ(0, coreState.running.load());
    EXPECT_EQ(nullptr, coreState.packageText);

    // The window's messages, in their order.
    // clang-format off
    std::vector<std::string> expected = {"start 0", "text 0 1 搬家中", "text 0 1 完成", "pos 1",
                                         "progress 搬家进度(宝贝数:1, 已搬家宝贝数:1)",
                                         "progress 搬家进度(宝贝数:1, 已搬家宝贝数:1), 正在更新csv文件..."};
    // clang-format on
    ASSERT_GE(view.calls.size(), expected.size() + 2);
    EXPECT_EQ(expected, std::vector<std::string>(view.calls.begin(), view.calls.begin() + 6));
    EXPECT_EQ("progress 搬家进度(宝贝数:1, 已搬家宝贝数:1)", view.calls[view.calls.size() - 2]);
    EXPECT_EQ("finished", view.calls.back());
    EXPECT_TRUE(view.Called("progress 搬家进度(宝贝数:1, 已搬家宝贝数:1), 正在更新csv文件...(100%)"));
}

TEST_F(RunTest, OptionsChooseWhichImagesMove) {
    std::string space = Image("s.png", true), outside = Image("o.png"), mobile = Image("m.png");
    for (const std::string& url : {space, outside, mobile}) Serve(url, PNG);
    PackageLayout layout;
    layout.items.push_back(
        MakeItem(Gbk("a"), "<img src=\"" + space + "\"><img src=\"" + outside + "\">", "<img>" + mobile + "</img>"));
    LoadPackage(layout);

    RecordingView view;
    view.options.relocateImageSpace = 0;  // also leaves every mobile image alone
    Run(&view);
    EXPECT_EQ(1u, Files().size());
    EXPECT_EQ(0, Requests(space));
    EXPECT_EQ(0, Requests(mobile));
    std::string text = DecodePackageFile(PackagePath());
    EXPECT_NE(std::string::npos, text.find(space));
    EXPECT_NE(std::string::npos, text.find(mobile));
    EXPECT_EQ(std::string::npos, text.find(outside));
}

TEST_F(RunTest, EachUrlIsDownloadedOnceAndFailuresAreListedPerItem) {
    std::string shared = Image("shared.png"), missing = Image("missing.png"), other = Image("other.png");
    Serve(shared, PNG);
    Serve(other, PNG);
    PackageLayout layout;
    for (int i = 0; i < 7; ++i)
        layout.items.push_back(MakeItem(Gbk("item") + std::to_string(i), "<p>no images</p>", ""));
    layout.items[0].description = "<img src=\"" + shared + "\"><img src=\"" + missing + "\">";
    layout.items[3].mobileDetail = "<img>" + missing + "</img>";
    layout.items[6].description = "<img src=\"" + shared + "\"><img src=\"" + other + "\">";
    LoadPackage(layout);

    RecordingView view;
    view.selectedRows = {0, 3};
    Run(&view);

    EXPECT_EQ(1, Requests(shared));
    EXPECT_EQ(2, Requests(missing));  // the keep-alive try and its HTTP/1.0 repeat, in item 1 only
    std::string text = DecodePackageFile(PackagePath());
    std::string sharedPath = Destination() + "/" + Stamp() + "1.png";
    size_t first = text.find(sharedPath);
    ASSERT_NE(std::string::npos, first);
    EXPECT_NE(std::string::npos, text.find(sharedPath, first + 1));  // item 7 points at the same file
    EXPECT_NE(std::string::npos, text.find(missing));                // failed: kept for the next run

    ASSERT_NE(nullptr, FailedDesktopUrls(Item(0)));
    EXPECT_EQ(1, FailedDesktopUrls(Item(0))->count);
    ASSERT_NE(nullptr, FailedMobileUrls(Item(3)));
    EXPECT_EQ(1, FailedMobileUrls(Item(3))->count);
    EXPECT_EQ(nullptr, FailedDesktopUrls(Item(3)));
    EXPECT_EQ(1, lastOutcome.failureCount);
    EXPECT_TRUE(view.Called("text 0 2 1"));
    EXPECT_TRUE(view.Called("text 3 3 1"));
    // Selected rows with failures are told about it, after their state is final.
    EXPECT_TRUE(view.Called("notify 0"));
    EXPECT_TRUE(view.Called("notify 3"));
    EXPECT_FALSE(view.Called("notify 6"));
    EXPECT_EQ(2, view.statesSeenAtNotify);

    // Logged once, with the download's message.
    std::string log = ReadAppLog(dir.File("app.log"));
    const std::string runLine =
        Gbk("搬家失败：") + missing + Gbk("，返回的错误信息：") + LOGGED_BREAK + "404 Not Found";
    size_t logged = log.find(runLine);
    ASSERT_NE(std::string::npos, logged) << Utf8(log);
    EXPECT_EQ(std::string::npos, log.find(runLine, logged + 1));
    ASSERT_EQ(1u, frontEnd.messages.size());
    EXPECT_EQ(0u, frontEnd.messages[0].text.find(
                      Gbk("图片搬家已完成，数据包(shop.csv)已更新。\n\n注意：有部分图片搬家失败！")));
    EXPECT_EQ(Gbk("提示"), frontEnd.messages[0].caption);
}

TEST_F(RunTest, AddressWithLineBreaksFailsWithoutARequest) {
    std::string good = Image("good.png");
    Serve(good, PNG);
    const std::string injected =
        Image("a.jpg") + " HTTP/1.1\r\nHost: victim\r\nX-Injected: yes\r\n\r\nGET /smuggled.jpg";
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("a"), "<img src=\"" + injected + "\"><img src=\"" + good + "\">", ""));
    LoadPackage(layout);
    ASSERT_EQ(2, DesktopUrls(Item(0))->count);
    ASSERT_EQ(injected, static_cast<const char*>(DesktopUrls(Item(0))->items[0]));

    RecordingView view;
    Run(&view);
    EXPECT_EQ(std::vector<std::string>{"/album/good.png"}, server.RequestedPaths());
    ASSERT_NE(nullptr, FailedDesktopUrls(Item(0)));
    ASSERT_EQ(1, FailedDesktopUrls(Item(0))->count);
    EXPECT_EQ(injected, static_cast<const char*>(FailedDesktopUrls(Item(0))->items[0]));
    std::string log = ReadAppLog(dir.File("app.log"));
    EXPECT_NE(std::string::npos, log.find(Gbk("，返回的错误信息：") + LOGGED_BREAK +
                                          Gbk("图片地址含有控制字符 (not a valid address)\r\n")))
        << Utf8(log);
    // The address stays in the package as written.
    EXPECT_NE(std::string::npos, DecodePackageFile(PackagePath()).find(injected));
    EXPECT_EQ(1u, Files().size());
}

TEST_F(RunTest, NothingToRelocateLeavesThePackageAlone) {
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("a"), "<p>text</p>", ""));
    LoadPackage(layout);
    const std::string original = ReadWholeFile(PackagePath());
    RecordingView view;
    Run(&view);
    EXPECT_EQ(original, ReadWholeFile(PackagePath()));
    EXPECT_EQ(original, ReadWholeFile(Backup(1)));  // the backup is made all the same
    ASSERT_EQ(1u, frontEnd.messages.size());
    EXPECT_EQ(Gbk("没有找到需要搬家的图片。"), frontEnd.messages[0].text);

    // No items at all.
    LoadPackage(PackageLayout{});
    frontEnd.messages.clear();
    RecordingView empty;
    Run(&empty);
    ASSERT_EQ(1u, frontEnd.messages.size());
    EXPECT_EQ(Gbk("没有找到需要搬家的图片。"), frontEnd.messages[0].text);
    EXPECT_TRUE(PathExists(Backup(2)));
}

TEST_F(RunTest, AllFailedWithAndWithoutTheBlankImage) {
    std::string gone = Image("gone.png");
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("a"), "<img src=\"" + gone + "\">", "<img>" + gone + "</img><txt>x</txt>"));
    LoadPackage(layout);
    const std::string original = ReadWholeFile(PackagePath());

    RecordingView kept;
    Run(&kept);
    EXPECT_EQ(original, ReadWholeFile(PackagePath()));
    ASSERT_EQ(1u, frontEnd.messages.size());
    EXPECT_EQ(Gbk("图片搬家失败，没有找到搬家成功的图片。"), frontEnd.messages[0].text);
    EXPECT_TRUE(Files().empty());  // no partial file of a failed image

    LoadPackage(layout);
    frontEnd.messages.clear();
    RecordingView blanked;
    blanked.options.blankFailedImages = 1;
    Run(&blanked);
    std::string text = DecodePackageFile(PackagePath());
    EXPECT_EQ(std::string::npos, text.find(gone));
    EXPECT_NE(std::string::npos, text.find(std::string("src=\"\"") + BLANK_IMAGE_URL + "\"\""));
    EXPECT_NE(std::string::npos, text.find("\"<txt>x</txt>\""));  // the mobile element is gone
    ASSERT_EQ(1u, frontEnd.messages.size());
    EXPECT_EQ(Gbk("图片搬家已完成，数据包(shop.csv)已更新。"), frontEnd.messages[0].text);
}

TEST_F(RunTest, FileThatCannotBeCreatedStopsAfterOneRetry) {
    std::string first = Image("first.png"), second = Image("second.png");
    Serve(first, PNG);
    Serve(second, PNG);
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("a"), "<img src=\"" + first + "\">", ""));
    layout.items.push_back(MakeItem(Gbk("b"), "<img src=\"" + second + "\">", ""));
    LoadPackage(layout);

    RecordingView view;
    view.options.jobs = view.options.streams = 1;  // nothing fetched ahead of the fault
    view.afterImage = [&](const std::string&) {
        // From the second image on, no file can be created in the destination.
        static FileFault fault = {FILE_FAULT_OPEN_WRITE, ".png", 1};
        SetFileFaultInjection(&fault);
    };
    Run(&view);
    SetFileFaultInjection(nullptr);

    ASSERT_EQ(1u, frontEnd.messages.size());
    EXPECT_EQ(0u, frontEnd.messages[0].text.find(Gbk("图片搬家中断：无法创建新文件。")));
    EXPECT_EQ(Gbk("错误"), frontEnd.messages[0].caption);
    ExpectProgramEnds();
    EXPECT_EQ(3, imageCounter - 1);  // the name of the retry was taken too
    // What was done is written back; the second URL stays for the next run.
    std::string text = DecodePackageFile(PackagePath());
    EXPECT_EQ(std::string::npos, text.find(first));
    EXPECT_NE(std::string::npos, text.find(second));
    EXPECT_EQ(nullptr, FailedDesktopUrls(Item(1)));
    EXPECT_EQ(0u, Item(1)->state);
}

TEST_F(RunTest, WriteErrorStopsWithTheDownloadsMessage) {
    std::string first = Image("first.png");
    Serve(first, PNG);
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("a"), "<img src=\"" + first + "\">", ""));
    LoadPackage(layout);
    FileFault fault = {FILE_FAULT_WRITE, ".png", 1};
    SetFileFaultInjection(&fault);
    RecordingView view;
    Run(&view);
    SetFileFaultInjection(nullptr);
    ASSERT_EQ(1u, frontEnd.messages.size());
    EXPECT_EQ(Gbk("写入文件时出错，请检查硬盘可用空间是否已不足。"), frontEnd.messages[0].text);
    ExpectProgramEnds();
    EXPECT_TRUE(Files().empty());
    EXPECT_NE(std::string::npos, DecodePackageFile(PackagePath()).find(first));
}

TEST_F(RunTest, StoppedRunWritesBackAndTheNextRunContinues) {
    PackageLayout layout;
    std::vector<std::string> urls;
    for (int i = 0; i < 10; ++i) {
        std::string a = Image("i" + std::to_string(i) + "a.png"), b = Image("i" + std::to_string(i) + "b.png");
        Serve(a, PNG);
        Serve(b, PNG);
        urls.push_back(a);
        urls.push_back(b);
        layout.items.push_back(
            MakeItem(Gbk("item") + std::to_string(i), "<img src=\"" + a + "\"><img src=\"" + b + "\">", ""));
    }
    LoadPackage(layout);

    RecordingView view;
    view.options.jobs = view.options.streams = 1;  // one at a time: the stop leaves off right after the image in hand
    view.afterImage = [&](const std::string& url) {
        if (url == urls[8]) coreState.stopRequested = 1;  // during the fifth item's first image
    };
    Run(&view);
    ExpectProgramEnds();
    EXPECT_TRUE(frontEnd.messages.empty());  // no final message after a stop
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ITEM_STATE_DONE, Item(i)->state);
    EXPECT_EQ(0u, Item(4)->state);
    EXPECT_FALSE(view.Called("text 4 1 完成"));
    EXPECT_EQ(9u, Files().size());
    std::string text = DecodePackageFile(PackagePath());
    EXPECT_EQ(std::string::npos, text.find(urls[8]));  // the image in hand finished and counts
    EXPECT_NE(std::string::npos, text.find(urls[9]));

    // The next run reads the package again and fetches only what is left.
    coreState.stopRequested = 0;
    std::vector<std::string> before = server.RequestedPaths();
    ClearItemRecords(coreState.items);
    ASSERT_EQ(PACKAGE_READ_OK, ReadPackage(coreState.packagePath, coreState.items, &coreState.packageText));
    RecordingView again;
    Run(&again);
    EXPECT_EQ(11u, server.RequestedPaths().size() - before.size());
    EXPECT_EQ(20u, Files().size());
    text = DecodePackageFile(PackagePath());
    for (const std::string& url : urls) EXPECT_EQ(std::string::npos, text.find(url));
    EXPECT_TRUE(PathExists(Backup(2)));
    ASSERT_EQ(1u, frontEnd.messages.size());
    EXPECT_EQ(Gbk("图片搬家已完成，数据包(shop.csv)已更新。"), frontEnd.messages[0].text);
}

// A run told to stop before it began (a close, or an update that must be
// taken, while its thread was starting) ends at once: no backup, nothing
// fetched, nothing written.
TEST_F(RunTest, StopBeforeTheStartEndsWithoutABackup) {
    std::string first = Image("first.png");
    Serve(first, PNG);
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("a"), "<img src=\"" + first + "\">", ""));
    LoadPackage(layout);
    const std::string original = ReadWholeFile(PackagePath());
    coreState.stopRequested = 1;
    RecordingView view;
    Run(&view);
    ExpectProgramEnds();
    EXPECT_FALSE(PathExists(dir.File("bak")));
    EXPECT_TRUE(server.RequestedPaths().empty());
    EXPECT_EQ(original, ReadWholeFile(PackagePath()));
    EXPECT_TRUE(frontEnd.messages.empty());
    EXPECT_EQ(0, coreState.running.load());
}

// Another program holds the package from the first image on: checkpoints
// leave it alone, the end tries again, then keeps the rewritten package
// beside it and says where instead of the final message; a stopped run
// says so before the process ends.
TEST_F(RunTest, PackageHeldAtTheEndIsKeptBesideIt) {
    const std::vector<std::string> urls = {Image("a.png"), Image("gone.png"), Image("b.png")};
    Serve(urls[0], PNG);
    Serve(urls[2], PNG);
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("a"), "<img src=\"" + urls[0] + "\"><img src=\"" + urls[1] + "\">", ""));
    layout.items.push_back(MakeItem(Gbk("b"), "<img src=\"" + urls[2] + "\">", ""));
    SetPackageReplaceWait(2, 0);
    SetCheckpointInterval(0);
    for (bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stopped" : "finished");
        LoadPackage(layout);
        const std::string original = ReadWholeFile(PackagePath());
        frontEnd.messages.clear();
        coreState.stopRequested = 0;
        RecordingView view;
        view.options.jobs = view.options.streams = 1;
        FileFault held = {FILE_FAULT_HELD, "shop.csv", 1};
        view.afterImage = [&](const std::string& url) {
            SetFileFaultInjection(&held);
            if (stop && url == urls[1]) coreState.stopRequested = 1;
        };
        Run(&view);
        SetFileFaultInjection(nullptr);

        EXPECT_EQ(original, ReadWholeFile(PackagePath()));
        EXPECT_FALSE(PathExists(PackagePath() + PACKAGE_TEMP_SUFFIX));
        const std::string keptName = stop ? "shop(已搬家2).csv" : "shop(已搬家).csv";
        const std::string text = DecodePackageFile(dir.File(keptName));
        EXPECT_EQ(std::string::npos, text.find(urls[0]));
        EXPECT_NE(std::string::npos, text.find(urls[1]));
        EXPECT_EQ(stop, text.find(urls[2]) != std::string::npos);
        ASSERT_EQ(1u, frontEnd.messages.size());
        const std::string& message = frontEnd.messages[0].text;
        EXPECT_EQ(
            0u, message.find(
                    Gbk("数据包(shop.csv)可能正被 Excel 或 WPS 等程序打开，无法更新。\n\n搬家后的数据包已另存为：\n") +
                    dir.File(Gbk(keptName)) + "\n\n"))
            << Utf8(message);
        EXPECT_EQ(!stop, message.find(Gbk("注意：有部分图片搬家失败！")) != std::string::npos);
        EXPECT_EQ(stop ? 1 : 0, lastOutcome.endsProgram);
        EXPECT_EQ(1, lastOutcome.keptBeside);
    }
    SetCheckpointInterval(-1);
    SetPackageReplaceWait(-1, -1);
}

// What a run returns, over its kinds of ending: the counts, the box the
// front end shows last and whether Karvelo.exe ends with it.  The run
// itself shows none of these boxes and never ends the process.
TEST_F(RunTest, OutcomeSaysHowTheRunEnded) {
    const std::string a = Image("a.png"), b = Image("b.png");
    Serve(a, PNG);
    Serve(b, PNG);
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("a"), "<img src=\"" + a + "\"><img src=\"" + b + "\">", ""));
    // clang-format off
    struct Case {
        const char* name;
        FileFault fault;  // operation 0: none
        bool stop;        // after the first image
        int checkpointSeconds;
        RunEnd end;
        RunStep failedStep;
        int relocated, written, kept, endsProgram;
        const char* message;  // how the last box begins ("" for none)
        const char* caption;
    } cases[] = {
        {"finished", {}, false, -1, RUN_FINISHED, RUN_STEP_NONE, 2, 1, 0, 0, "图片搬家已完成，数据包(shop.csv)已更新。",
         "完成"},
        {"stopped", {}, true, -1, RUN_STOPPED, RUN_STEP_NONE, 1, 1, 0, 1, "", ""},
        {"package unreadable", {FILE_FAULT_OPEN_READ, "shop.csv", 1}, false, -1, RUN_FAILED, RUN_STEP_BACKUP, 0, 0,
         0, 1, "备份csv文件时出错：无法打开源csv文件句柄", "错误"},
        {"write-back failing", {FILE_FAULT_WRITE, PACKAGE_TEMP_SUFFIX, 1}, false, -1, RUN_FAILED,
         RUN_STEP_WRITE_BACK, 2, 0, 0, 1, "更新CSV文件失败：写入文件出错。", "错误"},
        {"checkpoint failing", {FILE_FAULT_WRITE, PACKAGE_TEMP_SUFFIX, 1}, false, 0, RUN_FAILED,
         RUN_STEP_CHECKPOINT, 1, 0, 0, 1, "更新CSV文件失败：写入文件出错。", "错误"},
        {"kept beside", {FILE_FAULT_HELD, "shop.csv", 1}, false, -1, RUN_FINISHED, RUN_STEP_NONE, 2, 0, 1, 0,
         "数据包(shop.csv)可能正被 Excel 或 WPS 等程序打开，无法更新。", "提示"},
    };
    // clang-format on
    SetPackageReplaceWait(2, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(Destination());
        std::filesystem::create_directory(Destination());
        LoadPackage(layout);
        const std::string original = ReadWholeFile(PackagePath());
        frontEnd.messages.clear();
        coreState.stopRequested = 0;
        SetCheckpointInterval(c.checkpointSeconds);
        RecordingView view;
        view.options.jobs = view.options.streams = 1;
        std::snprintf(view.options.destination, sizeof view.options.destination, "%s", Destination().c_str());
        view.afterImage = [&](const std::string&) {
            if (c.stop) coreState.stopRequested = 1;
        };
        if (c.fault.operation != 0) SetFileFaultInjection(&c.fault);
        const RunOutcome outcome = RunRelocation(&view.view);
        SetFileFaultInjection(nullptr);

        EXPECT_TRUE(frontEnd.messages.empty());
        EXPECT_FALSE(view.Called("finished"));
        EXPECT_EQ(c.end, outcome.end);
        EXPECT_EQ(c.failedStep, outcome.failedStep);
        EXPECT_EQ(c.failedStep == RUN_STEP_BACKUP ? 0 : 1, outcome.itemCount);  // it ends before reading the items
        EXPECT_EQ(c.relocated, outcome.relocatedCount);
        EXPECT_EQ(0, outcome.failureCount);
        EXPECT_EQ(c.written, outcome.written);
        EXPECT_EQ(c.kept, outcome.keptBeside);
        EXPECT_EQ(c.endsProgram, outcome.endsProgram);
        EXPECT_EQ(0, outcome.exitCode);
        EXPECT_EQ(c.failedStep == RUN_STEP_BACKUP ? "" : Backup(1), outcome.backupPath);
        EXPECT_EQ(c.kept ? dir.File(Gbk("shop(已搬家).csv")) : "", outcome.keptPath);
        EXPECT_EQ(0u, std::string(outcome.message).find(Gbk(c.message))) << Utf8(outcome.message);
        EXPECT_EQ(Gbk(c.caption), outcome.caption);
        EXPECT_EQ(c.written == 1, ReadWholeFile(PackagePath()) != original);

        // The front end's part: the box, then the view told when the program goes on.
        EXPECT_EQ(c.endsProgram, PresentRunOutcome(&view.view, outcome));
        EXPECT_EQ(std::string(c.message).empty() ? 0u : 1u, frontEnd.messages.size());
        EXPECT_EQ(!c.endsProgram, view.Called("finished"));
        EXPECT_EQ(c.endsProgram, coreState.running.load());
        coreState.running = 0;
        std::filesystem::remove_all(dir.File("bak"));
        std::filesystem::remove(dir.File("shop(已搬家).csv"));
    }
    SetCheckpointInterval(-1);
    SetPackageReplaceWait(-1, -1);
}

// The package changes under the run after its first image (checkpoints on):
// a new export renamed over it, saved over it in place, the package
// removed, or a link put in its place.  Nothing is written over what is
// there now; the rewritten package is kept beside it and the message says why.
TEST_F(RunTest, PackageChangedDuringTheRunIsNeverWrittenOver) {
    const std::string a = Image("a.png"), b = Image("b.png"), outside = dir.File("outside.csv");
    Serve(a, PNG);
    Serve(b, PNG);
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("a"), "<img src=\"" + a + "\"><img src=\"" + b + "\">", ""));
    ASSERT_TRUE(WriteWholeFile(outside, "outside"));
    const std::string newExport = "\xFF\xFE" + std::string(1000, 'n');
    enum Change { RENAMED_OVER, SAVED_OVER, REMOVED, LINKED };
    SetCheckpointInterval(0);
    for (Change change : {RENAMED_OVER, SAVED_OVER, REMOVED, LINKED}) {
#ifdef _WIN32
        if (change == LINKED) continue;
#endif
        SCOPED_TRACE(change);
        std::filesystem::remove(dir.File("shop(已搬家).csv"));
        LoadPackage(layout);
        frontEnd.messages.clear();
        RecordingView view;
        view.options.jobs = view.options.streams = 1;
        view.afterImage = [&](const std::string& url) {
            if (url != a) return;
            WriteWholeFile(change == RENAMED_OVER ? dir.File("export.csv") : PackagePath(), newExport);
            if (change == RENAMED_OVER) std::filesystem::rename(dir.File("export.csv"), PackagePath());
            if (change >= REMOVED) std::filesystem::remove(PackagePath());
            if (change == LINKED) std::filesystem::create_symlink(outside, PackagePath());
        };
        Run(&view);
        EXPECT_EQ(change == REMOVED ? "" : change == LINKED ? "outside" : newExport, ReadWholeFile(PackagePath()));
        EXPECT_EQ("outside", ReadWholeFile(outside));
        const std::string kept = DecodePackageFile(dir.File("shop(已搬家).csv"));
        EXPECT_EQ(std::string::npos, kept.find(a));
        EXPECT_EQ(std::string::npos, kept.find(b));
        ASSERT_EQ(1u, frontEnd.messages.size());
        EXPECT_EQ(0u, frontEnd.messages[0].text.find(Gbk("数据包(shop.csv)在搬家期间被替换、移走或删除了")))
            << Utf8(frontEnd.messages[0].text);
        EXPECT_EQ(1, lastOutcome.keptBeside);
    }
    SetCheckpointInterval(-1);
}

// The destination emptied, or removed, during the run: the package never
// names a file that is not there; those addresses stay remote and the
// final message counts them.  Removed for good, the next image cannot be
// created and the run stops.
TEST_F(RunTest, ImagesGoneFromTheDestinationStayRemote) {
    std::vector<std::string> urls;
    PackageLayout layout;
    for (int i = 0; i < 4; ++i) {
        urls.push_back(Image("v" + std::to_string(i) + ".png"));
        Serve(urls.back(), PNG);
        layout.items.push_back(MakeItem(Gbk("item"), "<img src=\"" + urls.back() + "\">", ""));
    }
    for (bool recreated : {true, false}) {
        SCOPED_TRACE(recreated ? "emptied" : "removed");
        std::filesystem::create_directories(Destination());
        LoadPackage(layout);
        frontEnd.messages.clear();
        coreState.stopRequested = 0;
        RecordingView view;
        view.options.jobs = view.options.streams = 1;
        view.afterImage = [&](const std::string& url) {
            if (url != urls[1]) return;
            std::filesystem::remove_all(Destination());
            if (recreated) std::filesystem::create_directory(Destination());
        };
        Run(&view);
        const std::string text = DecodePackageFile(PackagePath());
        for (int i = 0; i < 4; ++i) EXPECT_EQ(i < 2 || !recreated, text.find(urls[i]) != std::string::npos) << i;
        EXPECT_EQ(2, lastOutcome.vanishedCount);
        ASSERT_EQ(1u, frontEnd.messages.size());
        EXPECT_EQ(recreated ? Gbk("图片搬家已完成，数据包(shop.csv)"
                                  "已更新。\n\n2张图片在保存前已从目标文件夹中消失，地址保持不变，下次搬家会重新下载。")
                            : std::string(MESSAGE_CANNOT_CREATE_FILE),
                  frontEnd.messages[0].text);
    }
}

// What a destination already holds answers addresses without a request, in
// the walk's order and whatever the number of workers: a known file, an
// earlier package's failure, another process's download (brought, or left
// to this run), and a download whose bytes the destination has in another
// file, which is used instead of the new copy.
struct FakeKnownImages {
    KnownImages known = {};
    std::map<std::string, std::pair<int, std::string>> answers;  // url -> answer, file or failure message
    std::map<std::string, std::string> awaited;                  // url -> file the other process brings ("" none)
    std::map<std::string, std::string> sameBytes;                // sha256 -> file the destination holds
    std::vector<std::string> stored, failed, storedBeforeDurable;
    int durable = 0;
    bool storedFilesWereThere = true;

    FakeKnownImages() {
        known.context = this;
        known.wantsHashes = 1;
        known.lookUp = [](void* c, const char* url, KnownFile* out) {
            auto found = Self(c)->answers.find(url);
            if (found == Self(c)->answers.end()) return static_cast<int>(KNOWN_NONE);
            Fill(found->second.second, out);
            if (found->second.first == KNOWN_FAILED) SetFailureReason(&out->reason, FAILURE_HTTP_STATUS, nullptr, 410);
            return found->second.first;
        };
        known.await = [](void* c, const char* url, const std::atomic<int>*, KnownFile* out) {
            const std::string file = Self(c)->awaited.at(url);
            if (file.empty()) return static_cast<int>(KNOWN_NONE);
            Fill(file, out);
            return static_cast<int>(KNOWN_FILE);
        };
        known.stored = [](void* c, const char* url, const StoredFile* file, KnownFile* existing) {
            FakeKnownImages* self = Self(c);
            char sha256[SHA256_HEX_SIZE];
            long long size = -1;
            EXPECT_EQ(1, HashFileSha256(file->file, sha256, &size));
            EXPECT_EQ(size, file->size);
            EXPECT_STREQ(sha256, file->sha256);
            self->stored.push_back(url);
            auto same = self->sameBytes.find(file->sha256);
            if (same == self->sameBytes.end()) {
                self->storedBeforeDurable.push_back(file->file);
                return 0;
            }
            Fill(same->second, existing);
            return 1;
        };
        known.failed = [](void* c, const char* url) { Self(c)->failed.push_back(url); };
        known.durable = [](void* c) {
            FakeKnownImages* self = Self(c);
            ++self->durable;
            for (const std::string& file : self->storedBeforeDurable)
                if (!std::filesystem::exists(file)) self->storedFilesWereThere = false;
            self->storedBeforeDurable.clear();
        };
    }
    static void Fill(const std::string& text, KnownFile* out) {
        std::snprintf(out->file, sizeof out->file, "%s", text.c_str());
        out->size = std::filesystem::exists(text) ? static_cast<long long>(std::filesystem::file_size(text)) : 0;
    }
    static FakeKnownImages* Self(void* c) { return static_cast<FakeKnownImages*>(c); }
};

TEST_F(RunTest, KnownImagesAnswerWithoutARequestInTheWalksOrder) {
    const std::string kept = Destination() + "/kept.png", brought = Destination() + "/brought.png",
                      same = Destination() + "/same.png";
    const std::string otherBytes = PNG + "other";
    std::map<std::string, std::string> url;
    for (const char* name : {"known", "failed", "brought", "left", "same", "plain", "missing"})
        url[name] = Image(std::string(name) + ".png");
    for (const char* name : {"known", "failed", "brought", "left", "plain"}) Serve(url[name], PNG);
    Serve(url["same"], otherBytes);
    PackageLayout layout;
    for (const auto& [name, address] : url) {
        layout.items.push_back(MakeItem(Gbk(name), "<img src=\"" + address + "\"><img src=\"" + address + "\">", ""));
    }
    for (int jobs : {1, 8}) {
        SCOPED_TRACE(jobs);
        std::filesystem::remove_all(Destination());
        std::filesystem::create_directories(Destination());
        for (const std::string& file : {kept, brought}) ASSERT_TRUE(WriteWholeFile(file, PNG));
        ASSERT_TRUE(WriteWholeFile(same, otherBytes));
        char sameHash[SHA256_HEX_SIZE];
        long long sameSize;
        ASSERT_EQ(1, HashFileSha256(same.c_str(), sameHash, &sameSize));
        std::map<std::string, int> requestsBefore;
        for (const auto& [name, address] : url) requestsBefore[name] = Requests(address);
        LoadPackage(layout);
        FakeKnownImages fake;
        fake.answers[url["known"]] = {KNOWN_FILE, kept};
        fake.answers[url["failed"]] = {KNOWN_FAILED, "410 Gone"};
        fake.answers[url["brought"]] = {KNOWN_ELSEWHERE, ""};
        fake.answers[url["left"]] = {KNOWN_ELSEWHERE, ""};
        fake.awaited = {{url["brought"], brought}, {url["left"], ""}};
        fake.sameBytes[sameHash] = same;
        RecordingView view;
        view.options.jobs = view.options.streams = jobs;
        Run(&view, &fake.known);

        for (const char* name : {"known", "failed", "brought", "left", "same", "plain"}) {
            const bool fetched =
                std::string(name) == "left" || std::string(name) == "same" || std::string(name) == "plain";
            EXPECT_EQ(fetched ? 1 : 0, Requests(url[name]) - requestsBefore[name]) << name;
        }
        const std::string text = DecodePackageFile(PackagePath());
        for (const std::string& file : {kept, brought, same}) EXPECT_NE(std::string::npos, text.find(file)) << file;
        EXPECT_NE(std::string::npos, text.find(url["failed"]));
        EXPECT_NE(std::string::npos, text.find(url["missing"]));
        // kept, brought and same, and the two files downloaded for "left" and "plain".
        EXPECT_EQ(5u, Files().size());
        EXPECT_EQ(3, lastOutcome.relocatedCount);
        EXPECT_EQ(2, lastOutcome.knownCount);
        EXPECT_EQ(static_cast<long long>(2 * PNG.size()), lastOutcome.knownBytes);
        EXPECT_EQ(1, lastOutcome.sameBytesCount);
        EXPECT_EQ(static_cast<long long>(otherBytes.size()), lastOutcome.sameBytesBytes);
        EXPECT_EQ(2, lastOutcome.failureCount);
        EXPECT_EQ((std::vector<std::string>{url["left"], url["plain"], url["same"]}), fake.stored);
        EXPECT_EQ(std::vector<std::string>{url["missing"]}, fake.failed);
        EXPECT_GE(fake.durable, 1);
        EXPECT_TRUE(fake.storedFilesWereThere);
        // Reported once per address, in the walk's order.
        const std::vector<std::string>& reported = view.images;
        ASSERT_EQ(7u, reported.size());
        EXPECT_EQ("2 " + url["brought"] + " " + brought, reported[0]);
        EXPECT_EQ("0 " + url["failed"] + " 410 Gone", reported[1]);
        EXPECT_EQ("2 " + url["known"] + " " + kept, reported[2]);
        EXPECT_EQ("1 " + url["same"] + " " + same, reported[6]);
        ASSERT_NE(nullptr, FailedDesktopUrls(Item(1)));
        EXPECT_EQ(1, FailedDesktopUrls(Item(1))->count);
        EXPECT_NE(std::string::npos, ReadAppLog(dir.File("app.log")).find(url["failed"] + Gbk("，返回的错误信息：")));
    }
}

#ifndef _WIN32  // symbolic links as a user makes them: POSIX
// Links planted where the run writes, at the temporary file's name, at the
// next image name and at the backup's, are never written through: their
// targets keep their bytes, the image and the backup take the next names,
// and the package is written.
TEST_F(RunTest, PlantedLinksAreNeverWrittenThrough) {
    const std::string a = Image("a.png");
    Serve(a, PNG);
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("a"), "<img src=\"" + a + "\">", ""));
    LoadPackage(layout);
    const std::string target = dir.File("target.txt");
    ASSERT_TRUE(WriteWholeFile(target, "keep me"));
    std::filesystem::create_symlink(target, PackagePath() + PACKAGE_TEMP_SUFFIX);
    std::filesystem::create_symlink(target, Destination() + "/" + Stamp() + "1.png");
    std::filesystem::create_directory(dir.File("bak"));
    std::filesystem::create_symlink(dir.File("nowhere"), Backup(1));  // a name held by a link that leads nowhere
    RecordingView view;
    Run(&view);
    EXPECT_EQ(Backup(2), lastOutcome.backupPath);
    EXPECT_EQ("keep me", ReadWholeFile(target));
    EXPECT_EQ(PNG, ReadWholeFile(Destination() + "/" + Stamp() + "2.png"));
    EXPECT_NE(std::string::npos, DecodePackageFile(PackagePath()).find(Destination() + "/" + Stamp() + "2.png"));
    EXPECT_FALSE(PathExists(PackagePath() + PACKAGE_TEMP_SUFFIX));
    EXPECT_TRUE(std::filesystem::is_symlink(Destination() + "/" + Stamp() + "1.png"));
}
#endif

// A checkpoint writes, byte for byte, what a run stopped at that point
// writes: when each image arrives, the package on disk is the package of a
// run stopped after the image before it (failed images blanked).  The end
// of the run is the same with or without checkpoints, and the package is
// backed up once per run.
TEST_F(RunTest, CheckpointsWriteWhatAStopThereWouldWrite) {
    std::vector<std::string> urls = {Image("a.png"), Image("b.png", true), Image("gone.png"),
                                     Image("c.png"), Image("m.png", true), Image("d.png")};
    for (const std::string& url : urls) {
        if (url.find("gone") == std::string::npos) Serve(url, PNG + url);
    }
    auto tag = [](const std::string& url) { return "<img src=\"" + url + "\">"; };
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("a"), tag(urls[0]) + tag(urls[1]), "<img>" + urls[4] + "</img>"));
    layout.items.push_back(
        MakeItem(Gbk("b"), tag(urls[2]) + tag(urls[0]) + tag(urls[3]), "<img>" + urls[2] + "</img>"));
    layout.items.push_back(MakeItem(Gbk("c"), tag(urls[5]), ""));
    SetClockForTests(1800000000);
    // The package after a run that stops after image `stopAfter` (-1: none);
    // `seen` gets the package on disk as each image arrives.
    auto runOnce = [&](int stopAfter, std::vector<std::string>* seen) {
        std::filesystem::remove_all(Destination());
        std::filesystem::create_directory(Destination());
        LoadPackage(layout);
        imageCounter = 1;
        coreState.stopRequested = 0;
        RecordingView view;
        view.options.jobs = view.options.streams = 1;
        view.options.blankFailedImages = 1;
        int images = 0;
        view.afterImage = [&](const std::string&) {
            if (seen != nullptr) seen->push_back(ReadWholeFile(PackagePath()));
            if (images++ == stopAfter) coreState.stopRequested = 1;
        };
        Run(&view);
        return ReadWholeFile(PackagePath());
    };
    SetCheckpointInterval(0);
    std::vector<std::string> seen;
    const std::string checkpointed = runOnce(-1, &seen);
    EXPECT_FALSE(PathExists(Backup(2)));  // one backup, before the first write
    SetCheckpointInterval(MAX_CHECKPOINT_SECONDS);
    EXPECT_EQ(checkpointed, runOnce(-1, nullptr));
    SetCheckpointInterval(-1);
    ASSERT_EQ(urls.size(), seen.size());
    for (size_t k = 1; k < seen.size(); ++k) EXPECT_EQ(runOnce(static_cast<int>(k) - 1, nullptr), seen[k]) << k;
    EXPECT_NE(seen[0], seen[1]);  // the first image was written back before the second arrived
    SetClockForTests(0);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(std::string::npos, entry.path().string().find(PACKAGE_TEMP_SUFFIX));
    }
}

TEST_F(RunTest, RunPastMidnightKeepsItsStartDateInEveryName) {
    std::string first = Image("first.png"), second = Image("second.png");
    Serve(first, PNG);
    Serve(second, PNG);
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("a"), "<img src=\"" + first + "\"><img src=\"" + second + "\">", ""));
    LoadPackage(layout);
    std::tm lateEvening = {};
    lateEvening.tm_year = 2026 - 1900;
    lateEvening.tm_mon = 11;
    lateEvening.tm_mday = 31;
    lateEvening.tm_hour = 23;
    lateEvening.tm_min = 59;
    lateEvening.tm_isdst = -1;
    std::time_t start = std::mktime(&lateEvening);
    SetClockForTests(start);
    RecordingView view;
    view.afterImage = [&](const std::string&) { SetClockForTests(start + 120); };  // now past midnight
    Run(&view);
    SetClockForTests(0);
    EXPECT_EQ((std::vector<std::string>{"2026-12-31-23-59-1.png", "2026-12-31-23-59-2.png"}), Files());
}

namespace {

void ReplaceEvery(std::string* text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text->find(from, at)) != std::string::npos; at += to.size())
        text->replace(at, from.size(), to);
}

// Answers after 0-20 ms, so downloads finish in a shuffled order:
// /404/ not found, /bad/ not an image, /moved/ a redirect to /album/,
// anything else an image whose bytes name its path.
LoopbackResponse ShuffledAnswer(const std::string& path, const int* port) {
    static std::atomic<unsigned> calls{0};
    std::this_thread::sleep_for(std::chrono::milliseconds(((calls++ * 2654435761u) >> 20) % 21));
    if (path.find("/404/") != std::string::npos) return LoopbackResponse{};
    if (path.find("/bad/") != std::string::npos) return LoopbackResponse{200, "RIFF0000WEBP" + path, "image/webp", ""};
    if (path.find("/moved/") != std::string::npos) {
        return LoopbackResponse{302, "", "text/html",
                                "http://localhost:" + std::to_string(*port) + "/album/from-" + path.substr(7)};
    }
    return LoopbackResponse{200, PNG + path, "image/png", "", path.find("/drop/") != std::string::npos};
}

// Everything a run leaves that must not depend on how many downloads run at
// once, with its folders and ports written as placeholders.
struct RecordedRun {
    int failureCount = 0;
    std::string package, backup, summary;
    std::map<std::string, std::string> files;
    std::vector<std::string> failed, log, calls, messages;
};

// Relocates `layout` in a fresh `folder` with `jobs` downloads at once and
// records the outcome.  Each placeholder (the key) in the layout's texts
// becomes its address for the run and is put back in what is recorded, with
// {D} for the destination, so runs on other ports compare equal.  Each
// run needs servers of its own: the log tells a new connection from a
// pooled one, and the pool outlives a run.
RecordedRun RelocateAndRecord(const PackageLayout& layout, const std::string& folder, int jobs, bool blankFailed,
                              const std::map<std::string, std::string>& addresses, RecordingFrontEnd* frontEnd) {
    const std::string destination = folder + "/pics", package = folder + "/shop.csv";
    std::filesystem::create_directories(destination);
    PackageLayout concrete = layout;
    for (GeneratedItem& item : concrete.items) {
        for (std::string* text : {&item.description, &item.mobileDetail}) {
            for (const auto& address : addresses) ReplaceEvery(text, address.first, address.second);
        }
    }
    RecordedRun outcome;
    EXPECT_TRUE(WritePackageFile(package, concrete));
    ClearItemRecords(coreState.items);
    std::free(coreState.packageText);
    coreState.packageText = nullptr;
    std::snprintf(coreState.packagePath, sizeof coreState.packagePath, "%s", package.c_str());
    std::snprintf(coreState.stateFolder, sizeof coreState.stateFolder, "%s", folder.c_str());
    EXPECT_EQ(PACKAGE_READ_OK, ReadPackage(coreState.packagePath, coreState.items, &coreState.packageText));
    EXPECT_EQ(1, OpenAppLog(folder.c_str()));
    frontEnd->messages.clear();
    imageCounter = 1;
    SetClockForTests(1800000000);

    RecordingView view;
    view.options.jobs = view.options.streams = jobs;
    view.options.blankFailedImages = blankFailed;
    view.selectedRows = {0, 3, 5, 8};
    std::snprintf(view.options.destination, sizeof view.options.destination, "%s", destination.c_str());
    const RunOutcome s = RunRelocation(&view.view);
    PresentRunOutcome(&view.view, s);
    coreState.running = 0;
    SetClockForTests(0);

    auto placeholders = [&](std::string text) {
        ReplaceEvery(&text, destination, "{D}");
        for (const auto& address : addresses) ReplaceEvery(&text, address.second, address.first);
        return text;
    };
    outcome.package = placeholders(DecodePackageFile(package));
    outcome.backup = placeholders(DecodePackageFile(folder + "/bak/shop(1).csv"));
    for (const auto& entry : std::filesystem::directory_iterator(destination)) {
        outcome.files[entry.path().filename().string()] = placeholders(ReadWholeFile(entry.path().string()));
    }
    for (int i = 0; i < coreState.items->count; ++i) {
        const ItemRecord* item = static_cast<ItemRecord*>(VectorGet(coreState.items, i));
        std::string failed = std::to_string(i) + ":" + std::to_string(item->state);
        for (const Vector* list : {FailedDesktopUrls(item), FailedMobileUrls(item)}) {
            failed += "|";
            for (int j = 0; list != nullptr && j < list->count; ++j) {
                failed += placeholders(static_cast<const char*>(list->items[j])) + " ";
            }
        }
        outcome.failed.push_back(failed);
    }
    outcome.failureCount = s.failureCount;
    outcome.summary = std::to_string(s.itemCount) + " " + std::to_string(s.processedCount) + " " +
                      std::to_string(s.relocatedCount) + " " + std::to_string(s.failureCount) + " " +
                      std::to_string(s.textChanged) + " " + std::to_string(s.end == RUN_STOPPED);
    for (const RecordedMessage& message : frontEnd->messages)
        outcome.messages.push_back(message.text + message.caption);
    outcome.calls = view.calls;
    // The log in records ("HH:MM:SS " starts one), without the times;
    // the refusing host's error texts depend on which connect came first.
    std::string log = placeholders(ReadAppLog(folder + "/app.log"));
    for (size_t at = 0, end; at < log.size(); at = end + 2) {
        end = log.find("\r\n", at);
        std::string line = log.substr(at, end - at);
        bool starts = line.size() > 9 && line[2] == ':' && line[5] == ':' && line[8] == ' ';
        if (starts) {
            outcome.log.push_back(line.substr(9));
        } else if (!outcome.log.empty() && outcome.log.back().find("{R}") != std::string::npos) {
            outcome.log.back() += "|refused";
        } else if (!outcome.log.empty()) {
            outcome.log.back() += "|" + line;
        }
    }
    return outcome;
}

void ExpectSameOutcome(const RecordedRun& one, const RecordedRun& eight) {
    EXPECT_EQ(Utf8(one.package), Utf8(eight.package));
    EXPECT_EQ(one.backup, eight.backup);
    EXPECT_EQ(one.files, eight.files);
    EXPECT_EQ(one.failed, eight.failed);
    EXPECT_EQ(one.summary, eight.summary);
    EXPECT_EQ(one.messages, eight.messages);
    EXPECT_EQ(one.calls, eight.calls);
    ASSERT_EQ(one.log.size(), eight.log.size());
    for (size_t i = 0; i < one.log.size(); ++i) EXPECT_EQ(Utf8(one.log[i]), Utf8(eight.log[i])) << i;
}

}  // namespace

// Generated packages (repeats inside and across items, 404s, bad images,
// redirects, a refusing host, a host that drops kept-alive connections
// silently, both kinds, the blank option off and on) give
// the same outcome with one download at a time and with eight.
TEST_F(RunTest, ParallelRunsGiveTheSameOutcomeAsOneAtATime) {
    const RefusingLoopbackPort refusing;
    ASSERT_NE(0, refusing.port());
    SetNetworkTimeoutForTests(1000);  // bounds the connect wait a refusal may end in
    std::vector<std::unique_ptr<int>> ports;
    std::vector<std::unique_ptr<LoopbackImageServer>> servers;  // all kept, so no port is used twice
    std::vector<std::string> pool;
    for (int k = 0; k < 14; ++k) pool.push_back("http://{H}/album/g" + std::to_string(k) + ".png");
    for (int k = 0; k < 6; ++k) pool.push_back("http://{H}/x.alicdn.com/s" + std::to_string(k) + ".jpg");
    for (int k = 0; k < 3; ++k) pool.push_back("http://{H}/404/m" + std::to_string(k) + ".jpg");
    for (int k = 0; k < 2; ++k) pool.push_back("http://{H}/bad/b" + std::to_string(k) + ".gif");
    for (int k = 0; k < 3; ++k) pool.push_back("http://{H}/moved/r" + std::to_string(k) + ".png");
    for (int k = 0; k < 6; ++k) pool.push_back("http://{R}/album/q" + std::to_string(k) + ".png");
    // Answered, then the kept-alive connection is closed without a word.
    for (int k = 0; k < 5; ++k) pool.push_back("http://{H}/drop/d" + std::to_string(k) + ".png");

    for (unsigned seed = 1; seed <= 2; ++seed) {
        std::mt19937 random(seed);
        auto pick = [&] { return pool[random() % pool.size()]; };
        PackageLayout layout;
        for (int i = 0; i < 12; ++i) {
            std::string description = "<p>item " + std::to_string(i) + "</p>", mobile = "<wapDesc>";
            for (int n = random() % 7; n > 0; --n) description += "<img src=\"" + pick() + "\">";
            for (int n = random() % 4; n > 0; --n) mobile += "<img>" + pick() + "</img>";
            layout.items.push_back(MakeItem(Gbk("宝贝") + std::to_string(i), description, mobile + "</wapDesc>"));
        }
        RecordedRun outcomes[2];
        for (int round = 0; round < 2; ++round) {
            ports.push_back(std::make_unique<int>(0));
            const int* port = ports.back().get();
            servers.push_back(std::make_unique<LoopbackImageServer>(
                [port](const std::string& path) { return ShuffledAnswer(path, port); }));
            ASSERT_TRUE(servers.back()->Start());
            *ports.back() = servers.back()->port();
            const std::string host = "localhost:" + std::to_string(*port),
                              refused = "localhost:" + std::to_string(refusing.port());
            outcomes[round] =
                RelocateAndRecord(layout, dir.File("run" + std::to_string(seed) + std::to_string(round)),
                                  round == 0 ? 1 : 8, seed == 2, {{"{H}", host}, {"{R}", refused}}, &frontEnd);
        }
        SCOPED_TRACE(seed);
        ExpectSameOutcome(outcomes[0], outcomes[1]);
        const RecordedRun& one = outcomes[0];
        // The packages did exercise every kind of outcome.
        EXPECT_GT(one.files.size(), 5u);
        EXPECT_GT(outcomes[1].failureCount, 3);
    }
}

// A refusing host meets its cut-off where one download at a time meets it,
// however many of its images are handed out at once: more than there are
// workers, and reached straight or through a redirect between answered
// images.
TEST_F(RunTest, ARefusingHostReachesItsCutOffInTheRunsOrder) {
    const RefusingLoopbackPort refusing;
    ASSERT_NE(0, refusing.port());
    SetNetworkTimeoutForTests(1000);
    const std::string refused = "localhost:" + std::to_string(refusing.port());
    struct Case {
        const char* name;
        std::vector<std::string> images;  // of the one item
        int jobs;
    } cases[] = {
        {"refused only", std::vector<std::string>(20, "http://{R}/album/x"), 8},
        {"redirected, between answered", {"http://{H}/album/a", "http://{H}/to-r/", "http://{H}/album/b"}, 16},
    };
    cases[1].images.resize(24, "http://{H}/to-r/");
    std::vector<std::unique_ptr<LoopbackImageServer>> servers;  // all kept, so no port is used twice
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PackageLayout layout;
        std::string description;
        for (size_t i = 0; i < c.images.size(); ++i) {
            description += "<img src=\"" + c.images[i] + std::to_string(i) + ".png\">";
        }
        layout.items.push_back(MakeItem(Gbk("宝贝"), description));
        RecordedRun outcomes[2];
        for (int round = 0; round < 2; ++round) {
            servers.push_back(std::make_unique<LoopbackImageServer>([refused](const std::string& path) {
                if (path.find("/to-r/") == std::string::npos) return LoopbackResponse{200, PNG + path, "image/png", ""};
                return LoopbackResponse{302, "", "text/html", "http://" + refused + "/album/" + path.substr(6)};
            }));
            ASSERT_TRUE(servers.back()->Start());
            const std::string host = "localhost:" + std::to_string(servers.back()->port());
            outcomes[round] =
                RelocateAndRecord(layout, dir.File(std::string("cut") + c.name[0] + std::to_string(round)),
                                  round == 0 ? 1 : c.jobs, false, {{"{H}", host}, {"{R}", refused}}, &frontEnd);
        }
        ExpectSameOutcome(outcomes[0], outcomes[1]);
        std::string log;
        for (const std::string& line : outcomes[0].log) log += line;
        EXPECT_NE(std::string::npos, log.find(Gbk("连接失败已连续发生5次+")));
    }
}

// The same with https images beside http ones: nginx over TLS, a 404 there,
// and a server whose certificate expired.
TEST_F(RunTest, ParallelHttpsRunsGiveTheSameOutcomeAsOneAtATime) {
    if (!NginxAvailable()) GTEST_SKIP() << NGINX_PROGRAM << " is missing: install nginx-light";
    std::string error;
    ASSERT_TRUE(TrustTestAuthority(&error)) << error;
    const TestCertificates* certificates = TestCertificatesMade(&error);
    ASSERT_NE(nullptr, certificates) << error;
    const std::string www = dir.File("www");
    std::filesystem::create_directories(www + "/img");
    std::vector<std::string> names = GenerateImageFiles(www + "/img", 8, 7);
    ASSERT_EQ(8u, names.size());
    std::vector<std::string> pool;
    for (const std::string& name : names) pool.push_back("https://{S}/img/" + name);
    for (int k = 0; k < 2; ++k) pool.push_back("https://{S}/img/gone" + std::to_string(k) + ".png");
    for (int k = 0; k < 2; ++k) pool.push_back("https://{E}/img/" + names[k]);
    for (int k = 0; k < 6; ++k) pool.push_back("http://{H}/album/g" + std::to_string(k) + ".png");
    pool.push_back("http://{H}/404/m.jpg");
    std::mt19937 random(3);
    PackageLayout layout;
    for (int i = 0; i < 10; ++i) {
        std::string description = "<p>item " + std::to_string(i) + "</p>";
        for (int n = 1 + random() % 6; n > 0; --n) description += "<img src=\"" + pool[random() % pool.size()] + "\">";
        layout.items.push_back(MakeItem(Gbk("宝贝") + std::to_string(i), description));
    }
    RecordedRun outcomes[2];
    for (int round = 0; round < 2; ++round) {
        NginxServer tls(www), expired(www);
        tls.UseTls(certificates->loopback.certificate, certificates->loopback.key);
        expired.UseTls(certificates->expired.certificate, certificates->expired.key);
        ASSERT_TRUE(tls.Start()) << tls.error();
        ASSERT_TRUE(expired.Start()) << expired.error();
        int port = 0;
        LoopbackImageServer plain([&port](const std::string& path) { return ShuffledAnswer(path, &port); });
        ASSERT_TRUE(plain.Start());
        port = plain.port();
        // clang-format off
        const std::map<std::string, std::string> addresses = {{"{S}", "127.0.0.1:" + std::to_string(tls.port())},
                                                              {"{E}", "127.0.0.1:" + std::to_string(expired.port())},
                                                              {"{H}", "localhost:" + std::to_string(port)}};
        // clang-format on
        outcomes[round] = RelocateAndRecord(layout, dir.File("https" + std::to_string(round)), round == 0 ? 1 : 8,
                                            false, addresses, &frontEnd);
    }
    const RecordedRun &one = outcomes[0], &eight = outcomes[1];
    ExpectSameOutcome(one, eight);
    // Both kinds arrived, and each kind of https failure was met.
    std::string stored;
    for (const auto& file : one.files) stored += file.second;
    EXPECT_NE(std::string::npos, stored.find(ReadWholeFile(www + "/img/" + names[2])));
    EXPECT_NE(std::string::npos, stored.find(PNG + "/album/"));
    std::string failed;
    for (const std::string& item : one.failed) failed += item;
    EXPECT_NE(std::string::npos, failed.find("https://{E}/img/"));
    EXPECT_NE(std::string::npos, failed.find("https://{S}/img/gone"));
}

// A stop while eight downloads run: what had not started never starts, every
// image that arrived is in the package, no file is left that the package does
// not name, and the next run fetches only the rest.
TEST_F(RunTest, StopDuringParallelDownloadsKeepsEveryArrivedImage) {
    PackageLayout layout;
    std::vector<std::string> urls;
    for (int i = 0; i < 30; ++i) {
        std::string a = Image("p" + std::to_string(i) + "a.png"), b = Image("p" + std::to_string(i) + "b.png", true);
        Serve(a, PNG);
        Serve(b, PNG);
        urls.push_back(a);
        urls.push_back(b);
        layout.items.push_back(
            MakeItem(Gbk("item") + std::to_string(i), "<img src=\"" + a + "\">", "<img>" + b + "</img>"));
    }
    LoadPackage(layout);
    delayMilliseconds = 5;
    holdAfterRequests = 10;
    RecordingView view;
    view.options.jobs = 8;
    int finished = 0;
    view.afterImage = [&](const std::string&) {
        if (++finished == 5) coreState.stopRequested = 1;
    };
    Run(&view);
    ExpectProgramEnds();
    EXPECT_EQ(0u, Item(2)->state);  // the item in hand when the stop came
    EXPECT_EQ(ITEM_STATE_DONE, Item(1)->state);

    std::string text = DecodePackageFile(PackagePath());
    size_t relocated = 0;
    for (const std::string& url : urls) relocated += text.find(url) == std::string::npos;
    std::vector<std::string> files = Files();
    EXPECT_EQ(relocated, files.size());
    EXPECT_GT(relocated, 5u);   // images in flight at the stop were kept
    EXPECT_LT(relocated, 60u);  // and what had not started did not start
    for (const std::string& name : files) {
        EXPECT_NE(std::string::npos, text.find(Destination() + "/" + name)) << name;
        EXPECT_EQ(PNG, ReadWholeFile(Destination() + "/" + name));
    }

    coreState.stopRequested = 0;
    delayMilliseconds = 0;
    holdAfterRequests = -1;
    size_t before = server.RequestedPaths().size();
    ClearItemRecords(coreState.items);
    ASSERT_EQ(PACKAGE_READ_OK, ReadPackage(coreState.packagePath, coreState.items, &coreState.packageText));
    RecordingView again;
    Run(&again);
    EXPECT_EQ(60 - relocated, server.RequestedPaths().size() - before);
    EXPECT_EQ(60u, Files().size());
    text = DecodePackageFile(PackagePath());
    for (const std::string& url : urls) EXPECT_EQ(std::string::npos, text.find(url));
}

// Forty images on a host that refuses connections, spread over eight
// workers: each fails once, and after five failed connects (and the few that
// raced them) the host is refused without connecting.
TEST_F(RunTest, RefusingHostIsGivenUpAfterFiveFailedConnects) {
    const RefusingLoopbackPort refusing;
    ASSERT_NE(0, refusing.port());
    SetNetworkTimeoutForTests(1000);  // bounds the connect wait a refusal may end in
    const std::string host = "http://127.0.0.1:" + std::to_string(refusing.port());
    PackageLayout layout;
    for (int i = 0; i < 10; ++i) {
        std::string description;
        for (int k = 0; k < 4; ++k) description += "<img src=\"" + host + "/r" + std::to_string(i * 4 + k) + ".png\">";
        layout.items.push_back(MakeItem(Gbk("item") + std::to_string(i), description, ""));
    }
    LoadPackage(layout);
    RecordingView view;
    view.options.jobs = 8;
    Run(&view);

    EXPECT_EQ(40, lastOutcome.failureCount);
    for (int i = 0; i < 10; ++i) {
        ASSERT_NE(nullptr, FailedDesktopUrls(Item(i)));
        EXPECT_EQ(4, FailedDesktopUrls(Item(i))->count);
    }
    std::string log = ReadAppLog(dir.File("app.log"));
    auto count = [&](const std::string& text) {
        int n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(40, count(Gbk("，返回的错误信息：") + LOGGED_BREAK) -
                      count(Gbk("(useKeepAlive:1)，返回的错误信息：") + LOGGED_BREAK));
    const int connects = count(Gbk("使用非阻塞方式连接失败，错误码:"));
    EXPECT_GE(connects, 5);
    EXPECT_LE(connects, 5 + 7);  // each other worker may have been connecting at the fifth failure
    EXPECT_EQ(80 - connects, count(Gbk("连接失败已连续发生5次+")));
    ASSERT_EQ(1u, frontEnd.messages.size());
    EXPECT_EQ(Gbk("图片搬家失败，没有找到搬家成功的图片。"), frontEnd.messages[0].text);
}

#ifndef _WIN32
namespace {

int OpenDescriptors() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

}  // namespace
#endif

// Images over many spellings of one address (127.0.00.001, ...) with eight
// workers: each spelling is a host of its own to the pools, which keep only
// their most recently used connections, so the run stores every image with
// far fewer descriptors than one per spelling.
TEST_F(RunTest, ManySpellingsOfOneHostStayWithinTheDescriptors) {
#ifdef _WIN32
    const int images = 200;  // no descriptor limit to lower; the pools are bounded alike
#else
    const int images = 1100;
#endif
    PackageLayout layout;
    std::string description;
    int made = 0;
    for (int a = 1; a <= 11 && made < images; ++a) {
        for (int b = 1; b <= 11 && made < images; ++b) {
            for (int c = 0; c < 10 && made < images; ++c, ++made) {
                // A leading zero reads as octal, so only the 0 and the 1 grow.
                std::string host =
                    "127." + std::string(a, '0') + "." + std::string(b, '0') + "." + std::string(c, '0') + "1";
                std::string url =
                    "http://" + host + ":" + std::to_string(server.port()) + "/album/s" + std::to_string(made) + ".png";
                Serve(url, PNG);
                description += "<img src=\"" + url + "\">";
                if (made % 10 == 9) {
                    layout.items.push_back(MakeItem(Gbk("item") + std::to_string(made / 10), description, ""));
                    description.clear();
                }
            }
        }
    }
    LoadPackage(layout);
    RecordingView view;
    view.options.jobs = 8;
#ifndef _WIN32
    // Room for the pools' connections and the server's ends of them, far
    // below a socket per spelling on either side.
    const int before = OpenDescriptors();
    rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(before + 400);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &lowered));
    Run(&view);
    const int after = OpenDescriptors();
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_LE(after - before, 2 * 8 * POOL_CONNECTION_LIMIT + 8);
#else
    Run(&view);
#endif
    EXPECT_EQ(images, lastOutcome.relocatedCount);
    EXPECT_EQ(0, lastOutcome.failureCount);
    EXPECT_EQ(static_cast<size_t>(images), Files().size());
}

// A stop while an image trickles in gives that image up at once: its
// partial file goes, it is no failure, and it stays remote for the next run.
TEST_F(RunTest, StopGivesUpTheImageInFlight) {
    SetNetworkTimeoutForTests(20000);  // far longer than a stop may take
    std::vector<std::string> trickle = {"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + PNG};
    trickle.resize(300, "p");
    ScriptedServer slow({::Serve(ReplyInPieces(trickle, 100))});
    const std::string first = Image("first.png"), stalled = slow.Url("/album/stalled.png"), last = Image("last.png");
    Serve(first, PNG);
    Serve(last, PNG);
    PackageLayout layout;
    for (const std::string& url : {first, stalled, last}) {
        layout.items.push_back(MakeItem(Gbk("item"), "<img src=\"" + url + "\">", ""));
    }
    LoadPackage(layout);
    RecordingView view;
    view.options.jobs = view.options.streams = 1;
    std::thread stopper([&] {
        // Once the stalled image's file has bytes in it.
        for (int i = 0; i < 500 && Files().size() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        coreState.stopRequested = 1;
    });
    Run(&view);
    stopper.join();
    ExpectProgramEnds();
    EXPECT_EQ(1u, Files().size());  // the partial file is gone
    EXPECT_EQ(0, lastOutcome.failureCount);
    EXPECT_EQ(1, lastOutcome.relocatedCount);
    std::string text = DecodePackageFile(PackagePath());
    EXPECT_EQ(std::string::npos, text.find(first));
    EXPECT_NE(std::string::npos, text.find(stalled));
    EXPECT_NE(std::string::npos, text.find(last));
    EXPECT_EQ(std::string::npos, ReadAppLog(dir.File("app.log")).find("stalled"));
}
