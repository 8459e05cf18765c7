// The wizard end to end: Karvelo.exe loads a generated package, checks the
// inputs, relocates its images from a loopback image server and shows what
// happened, driven from outside as a person would drive it.
//
// Literals are GBK (this target is compiled with -fexec-charset=GBK).
#include "platform/net.h"  // Winsock before <windows.h>

#include "win/gui_driver.h"
#include "win/file_holder.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "http/failure_reason.h"
#include "platform/charset.h"
#include "util/charset.h"
#include "demo/loopback_server.h"
#include "support/package_generator.h"
#include "support/temp_dir.h"
#include "support/tls_test_peers.h"

namespace {

const char NOTICE_CAPTION[] = "提示";
const char CONFIRM_CAPTION[] = "确认";
const char NOT_LOADED[] = "(the package was not loaded)";
const char DESKTOP_FAILURES[] = "[宝贝描述]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：";
const char MOBILE_FAILURES[] = "[无线详情]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：";

// A small valid PNG signature and some bytes: the client checks the
// signature only.
std::string PngBytes(int seed) {
    std::string png("\x89PNG\r\n\x1a\n", 8);
    png += std::string(200 + seed, static_cast<char>('a' + seed % 26));
    return png;
}

// The controls the tests use, found by id and class as a person finds them
// by sight.
struct Wizard {
    HWND window = nullptr;
    HWND packagePanel = nullptr, optionsPanel = nullptr;
    HWND packagePathEdit = nullptr, choosePackageButton = nullptr;
    HWND imageSpaceCheck = nullptr, thirdPartyCheck = nullptr, blankFailedCheck = nullptr;
    HWND destinationEdit = nullptr, chooseDestinationButton = nullptr;
    HWND itemList = nullptr, failureText = nullptr, progressBar = nullptr, progressText = nullptr;
    HWND previousButton = nullptr, nextButton = nullptr, closeButton = nullptr;

    explicit Wizard(HWND main) : window(main) {
        std::vector<HWND> children = ChildrenOf(main);
        for (HWND child : children) {
            if (GetDlgCtrlID(child) != 36100) continue;
            (packagePanel == nullptr ? packagePanel : optionsPanel) = child;
        }
        packagePathEdit = GetDlgItem(packagePanel, 36102);
        choosePackageButton = GetDlgItem(packagePanel, 36103);
        imageSpaceCheck = GetDlgItem(optionsPanel, 36106);
        thirdPartyCheck = GetDlgItem(optionsPanel, 36107);
        blankFailedCheck = GetDlgItem(optionsPanel, 36108);
        destinationEdit = GetDlgItem(optionsPanel, 36109);
        chooseDestinationButton = GetDlgItem(optionsPanel, 36110);
        failureText = GetDlgItem(optionsPanel, 36111);
        itemList = FindWindowExA(optionsPanel, nullptr, "SysListView32", nullptr);
        progressBar = FindWindowExA(optionsPanel, nullptr, "msctls_progress32", nullptr);
        progressText = GetWindow(progressBar, GW_HWNDNEXT);
        previousButton = GetDlgItem(main, 36115);
        nextButton = GetDlgItem(main, 36116);
        closeButton = GetDlgItem(main, 36117);
    }

    // A click on a button, as its parent hears it.  Posted: a handler that
    // shows a message box would otherwise hold the test up.
    void Press(HWND button) const {
        PostMessageA(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                     reinterpret_cast<LPARAM>(button));
    }
    void SetText(HWND control, const std::string& text) const { SetWindowTextTo(control, text); }
    void Check(HWND box, bool on) const { SendMessageA(box, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0); }
    bool Checked(HWND box) const { return SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED; }
    int Rows() const { return static_cast<int>(SendMessageA(itemList, LVM_GETITEMCOUNT, 0, 0)); }
    bool OnPageTwo() const { return IsShown(optionsPanel) && !IsShown(packagePanel); }
    bool AcceptsDrops() const { return (GetWindowLongPtrA(window, GWL_EXSTYLE) & WS_EX_ACCEPTFILES) != 0; }
    HWND Focus() const {
        GUITHREADINFO info;
        std::memset(&info, 0, sizeof info);
        info.cbSize = sizeof info;
        GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
        return info.hwndFocus;
    }
};

class WizardTest : public ::testing::Test {
protected:
    void SetUp() override {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = FreshWorkFolder(std::string("wizard-") + test->name());
        WriteFileOfSize(folder_ + "\\no_shortcut.txt", 0);
        package_ = folder_ + "\\data\\items.csv";
        images_ = folder_ + "\\images";
        CreateDirectoryA((folder_ + "\\data").c_str(), nullptr);
        CreateDirectoryA(images_.c_str(), nullptr);
    }

    // Starts Karvelo.exe in the work folder and finds its controls.
    Wizard Start(KarveloProcess* karvelo) {
        HWND window = nullptr;
        if (karvelo->Start(InstallKarvelo(folder_), folder_)) window = karvelo->WaitForMainWindow();
        return Wizard(window);
    }

    // Presses a button and answers the message box it brings up with OK;
    // the box's text, or "(no box)".  Every box, the run's too, is the
    // window's: shown by its thread and owned by it.
    std::string PressAndAnswer(KarveloProcess* karvelo, const Wizard& wizard, HWND button,
                               const char* caption = NOTICE_CAPTION, int answer = IDOK) {
        wizard.Press(button);
        HWND box = karvelo->WaitForMessageBox(caption);
        if (box == nullptr) return "(no box)";
        EXPECT_EQ(wizard.window, GetWindow(box, GW_OWNER));
        EXPECT_EQ(GetWindowThreadProcessId(wizard.window, nullptr), GetWindowThreadProcessId(box, nullptr));
        std::string text = MessageBoxText(box);
        AnswerMessageBox(box, answer);
        WaitUntil([&] { return karvelo->MessageBoxes().empty(); });
        karvelo->Settle(wizard.window);
        return text;
    }

    // Loads the package with 下一步 and waits for page 2.
    bool Load(KarveloProcess* karvelo, const Wizard& wizard) {
        wizard.SetText(wizard.packagePathEdit, package_);
        wizard.Press(wizard.nextButton);
        bool loaded = WaitUntil([&] { return wizard.OnPageTwo() || !karvelo->MessageBoxes().empty(); }) &&
                      wizard.OnPageTwo() && karvelo->Settle(wizard.window);
        // Whatever stood in the way, for the failure's report.
        if (!loaded) {
            for (HWND box : karvelo->MessageBoxes()) ADD_FAILURE() << WindowText(box) << ": " << MessageBoxText(box);
        }
        return loaded;
    }

    // Loads the package, selects its first row (so its failures show at the
    // end) and relocates into the images folder: the final message, or
    // NOT_LOADED.
    std::string RelocateShowingTheFirstRow(KarveloProcess* karvelo, const Wizard& wizard) {
        if (wizard.window == nullptr || !Load(karvelo, wizard) || !karvelo->SelectListRow(wizard.itemList, 0)) {
            return NOT_LOADED;
        }
        wizard.SetText(wizard.destinationEdit, images_);
        return PressAndAnswer(karvelo, wizard, wizard.nextButton);
    }

    std::string folder_, package_, images_;
};

// Three items: the first has two good description images, one missing and
// a good mobile image; the second shares a description image with the
// first and has a missing mobile image; the third has no images.
PackageLayout ThreeItems(const LoopbackImageServer& server) {
    PackageLayout layout;
    GeneratedItem first;
    first.title = "棉麻衬衫";
    first.description = "<p><img src=\"" + server.Url("/img/1.png") + "\"><img src=\"" + server.Url("/img/2.png") +
                        "\"></p><img src=\"" + server.Url("/gone/3.png") + "\">";
    first.mobileDetail = "<wapDesc><img>" + server.Url("/img/4.png") + "</img></wapDesc>";
    GeneratedItem second;
    second.title = "帆布包";
    second.description = "<div style=\"background:url(" + server.Url("/img/1.png") + ")\">包</div>";
    second.mobileDetail = "<wapDesc><img>" + server.Url("/gone/5.png") + "</img></wapDesc>";
    GeneratedItem third;
    third.title = "纯文字宝贝";
    third.description = "<p>没有图片</p>";
    layout.items = {first, second, third};
    return layout;
}

// Whether `tip` is the info tip of one failed address: the address, then
// an indented line with a failure's sentence naming `place` ("host:port"),
// whichever kind of failure the download recorded.
bool IsTipOfFailure(const std::string& tip, const std::string& url, const std::string& place) {
    const std::string start = url + "\r\n  ";
    if (tip.compare(0, start.size(), start) != 0) return false;
    const std::string sentence = tip.substr(start.size());
    for (int kind = FAILURE_NONE + 1; kind < FAILURE_KIND_COUNT; ++kind) {
        for (const char* at : {place.c_str(), ""}) {
            for (int status : {0, 404}) {
                FailureReason reason;
                SetFailureReason(&reason, static_cast<FailureKind>(kind), at, status);
                char made[512];
                FormatFailureSentence(&reason, /*english=*/false, made, sizeof made);
                if (sentence == made) return true;
            }
        }
    }
    return false;
}

LoopbackResponse ServeImages(const std::string& path) {
    LoopbackResponse response;
    if (path.rfind("/img/", 0) == 0) {
        response.status = 200;
        response.contentType = "image/png";
        response.body = PngBytes(static_cast<int>(path.size()));
    }
    return response;
}

TEST_F(WizardTest, LoadsChecksRelocatesAndShowsTheFailures) {
    LoopbackImageServer server(ServeImages);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(WritePackageFile(package_, ThreeItems(server)));
    std::string before = DecodePackageFile(package_);

    KarveloProcess karvelo;
    Wizard wizard = Start(&karvelo);
    ASSERT_NE(nullptr, wizard.window);
    ASSERT_NE(nullptr, wizard.itemList);

    // Page 1: the package path is checked before anything is read.
    EXPECT_EQ("请选择一个淘宝数据包(csv)文件", PressAndAnswer(&karvelo, wizard, wizard.nextButton));
    EXPECT_EQ(wizard.choosePackageButton, wizard.Focus());
    wizard.SetText(wizard.packagePathEdit, folder_ + "\\data\\missing.csv");
    EXPECT_EQ("选择的csv文件不存在，请重新选择", PressAndAnswer(&karvelo, wizard, wizard.nextButton));
    EXPECT_EQ(wizard.choosePackageButton, wizard.Focus());
    EXPECT_TRUE(wizard.AcceptsDrops());

    // 下一步: one waiting row per item, page 2, no more drops.
    ASSERT_TRUE(Load(&karvelo, wizard));
    ASSERT_EQ(3, wizard.Rows());
    EXPECT_EQ("棉麻衬衫", karvelo.ListItemText(wizard.itemList, 0, 0));
    EXPECT_EQ("纯文字宝贝", karvelo.ListItemText(wizard.itemList, 2, 0));
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ("等待", karvelo.ListItemText(wizard.itemList, row, 1));
        EXPECT_EQ("", karvelo.ListItemText(wizard.itemList, row, 2));
    }
    EXPECT_EQ("搬家进度(宝贝数:3)", WindowText(wizard.progressText));
    EXPECT_EQ("开始搬家", WindowText(wizard.nextButton));
    EXPECT_TRUE(IsShown(wizard.previousButton));
    EXPECT_FALSE(wizard.AcceptsDrops());
    // The list asks for its tips in UTF-16 (LVN_GETINFOTIPW), and a waiting
    // row has none.
    EXPECT_EQ(NFR_UNICODE, SendMessageW(wizard.itemList, WM_NOTIFYFORMAT, reinterpret_cast<WPARAM>(wizard.optionsPanel),
                                        NF_REQUERY));
    EXPECT_EQ("", karvelo.ListInfoTip(wizard.window, wizard.itemList, 0));

    // 开始搬家: every refused input, with the focus where it is mended.
    wizard.Check(wizard.imageSpaceCheck, false);
    wizard.Check(wizard.thirdPartyCheck, false);
    EXPECT_EQ("[搬来自淘宝图片空间里的图片] 与 [搬来自第三方相册里的图片] 至少需选择其中一项",
              PressAndAnswer(&karvelo, wizard, wizard.nextButton));
    EXPECT_EQ(wizard.imageSpaceCheck, wizard.Focus());
    wizard.Check(wizard.imageSpaceCheck, true);
    wizard.Check(wizard.thirdPartyCheck, true);
    EXPECT_EQ("请选择图片搬家后保存到哪一个文件夹中", PressAndAnswer(&karvelo, wizard, wizard.nextButton));
    EXPECT_EQ(wizard.chooseDestinationButton, wizard.Focus());
    wizard.SetText(wizard.destinationEdit, folder_ + "\\no-such-folder");
    EXPECT_EQ("选择的文件夹不存在，请重新选择", PressAndAnswer(&karvelo, wizard, wizard.nextButton));
    EXPECT_EQ(wizard.chooseDestinationButton, wizard.Focus());
    std::string desktop = DesktopFolder();
    CreateDirectoryA(desktop.c_str(), nullptr);
    wizard.SetText(wizard.destinationEdit, desktop);
    EXPECT_EQ(
        "不可以将图片搬家到[桌面]上，因为将图片搬家到桌面上，图片有可能会铺满整个桌面。\n\n请重新选择一个文件夹。",
        PressAndAnswer(&karvelo, wizard, wizard.nextButton));
    EXPECT_EQ(wizard.chooseDestinationButton, wizard.Focus());

    // The run, with the first row selected before it starts: its failures
    // show as soon as it is finished, without a click.
    ASSERT_TRUE(karvelo.SelectListRow(wizard.itemList, 0));
    wizard.SetText(wizard.destinationEdit, images_);
    std::string final = PressAndAnswer(&karvelo, wizard, wizard.nextButton);
    EXPECT_EQ(0u, final.find("图片搬家已完成，数据包(items.csv)已更新。")) << final;
    EXPECT_NE(std::string::npos, final.find("注意：有部分图片搬家失败！")) << final;

    for (int row = 0; row < 3; ++row) EXPECT_EQ("完成", karvelo.ListItemText(wizard.itemList, row, 1));
    EXPECT_EQ("1", karvelo.ListItemText(wizard.itemList, 0, 2));
    EXPECT_EQ("", karvelo.ListItemText(wizard.itemList, 0, 3));
    EXPECT_EQ("", karvelo.ListItemText(wizard.itemList, 1, 2));
    EXPECT_EQ("1", karvelo.ListItemText(wizard.itemList, 1, 3));
    EXPECT_EQ("", karvelo.ListItemText(wizard.itemList, 2, 2));
    EXPECT_EQ("搬家进度(宝贝数:3, 已搬家宝贝数:3)", WindowText(wizard.progressText));
    EXPECT_EQ(3, SendMessageA(wizard.progressBar, PBM_GETPOS, 0, 0));

    EXPECT_EQ(std::string(DESKTOP_FAILURES) + "\r\n" + server.Url("/gone/3.png"), WindowText(wizard.failureText));
    // Hovering a row shows its failed addresses, each with why it failed;
    // a row without failures has no tip, and the failure text stays.
    const std::string place = "127.0.0.1:" + std::to_string(server.port());
    std::string desktopTip = karvelo.ListInfoTip(wizard.window, wizard.itemList, 0);
    EXPECT_TRUE(IsTipOfFailure(desktopTip, server.Url("/gone/3.png"), place)) << desktopTip;
    std::string mobileTip = karvelo.ListInfoTip(wizard.window, wizard.itemList, 1);
    EXPECT_TRUE(IsTipOfFailure(mobileTip, server.Url("/gone/5.png"), place)) << mobileTip;
    EXPECT_EQ("", karvelo.ListInfoTip(wizard.window, wizard.itemList, 2));
    EXPECT_EQ(std::string(DESKTOP_FAILURES) + "\r\n" + server.Url("/gone/3.png"), WindowText(wizard.failureText));
    ASSERT_TRUE(karvelo.SelectListRow(wizard.itemList, 1));
    karvelo.Settle(wizard.window);
    // Only a mobile list: its heading comes first, with no blank lines.
    EXPECT_EQ(std::string(MOBILE_FAILURES) + "\r\n" + server.Url("/gone/5.png"), WindowText(wizard.failureText));
    ASSERT_TRUE(karvelo.SelectListRow(wizard.itemList, 2));
    karvelo.Settle(wizard.window);
    EXPECT_EQ("", WindowText(wizard.failureText));
    ASSERT_TRUE(karvelo.SelectListRow(wizard.itemList, 1));
    ASSERT_TRUE(karvelo.SelectListRow(wizard.itemList, -1));
    karvelo.Settle(wizard.window);
    EXPECT_EQ("", WindowText(wizard.failureText));

    // After the run: back and close work, nothing else.
    EXPECT_TRUE(IsWindowEnabled(wizard.previousButton));
    EXPECT_TRUE(IsWindowEnabled(wizard.closeButton));
    EXPECT_FALSE(IsWindowEnabled(wizard.nextButton));
    EXPECT_FALSE(IsWindowEnabled(wizard.imageSpaceCheck));
    EXPECT_FALSE(IsWindowEnabled(wizard.chooseDestinationButton));

    // Each image was fetched once, the package now names the files, and
    // the backup holds the package as it was.
    std::vector<std::string> paths = server.RequestedPaths();
    EXPECT_EQ(1, std::count(paths.begin(), paths.end(), "/img/1.png"));
    std::string after = DecodePackageFile(package_);
    for (const char* gone : {"/img/1.png", "/img/2.png", "/img/4.png"}) {
        EXPECT_EQ(std::string::npos, after.find(server.Url(gone))) << gone;
    }
    EXPECT_NE(std::string::npos, after.find(server.Url("/gone/3.png")));
    int files = 0;
    std::string imagesWithSlash = images_ + "\\";
    for (const auto& entry : std::filesystem::recursive_directory_iterator(images_)) {
        if (!entry.is_regular_file()) continue;
        ++files;
        std::string local = entry.path().string();
        EXPECT_NE(std::string::npos, after.find(local)) << local;
        EXPECT_EQ(0u, local.find(imagesWithSlash));
    }
    EXPECT_EQ(3, files);
    int backups = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder_ + "\\bak")) {
        if (DecodePackageFile(entry.path().string()) == before) ++backups;
    }
    EXPECT_EQ(1, backups);

    // 上一步 and 下一步 again: the same rows, the options back at their
    // defaults, no destination, everything enabled.
    wizard.Check(wizard.blankFailedCheck, true);
    wizard.Press(wizard.previousButton);
    ASSERT_TRUE(WaitUntil([&] { return !wizard.OnPageTwo(); }));
    EXPECT_EQ("下一步", WindowText(wizard.nextButton));
    EXPECT_FALSE(IsShown(wizard.previousButton));
    EXPECT_TRUE(wizard.AcceptsDrops());
    ASSERT_TRUE(Load(&karvelo, wizard));
    EXPECT_EQ(3, wizard.Rows());
    EXPECT_EQ("等待", karvelo.ListItemText(wizard.itemList, 0, 1));
    EXPECT_TRUE(wizard.Checked(wizard.imageSpaceCheck));
    EXPECT_TRUE(wizard.Checked(wizard.thirdPartyCheck));
    EXPECT_FALSE(wizard.Checked(wizard.blankFailedCheck));
    EXPECT_EQ("", WindowText(wizard.destinationEdit));
    EXPECT_TRUE(IsWindowEnabled(wizard.nextButton));
    EXPECT_TRUE(IsWindowEnabled(wizard.chooseDestinationButton));

    PostMessageA(wizard.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo.WaitForExit());
}

// An https image from the TLS peers of tools/tls-test-peers.sh (make
// test-gui), whose authority the prefix trusts for the test's time, and one
// whose certificate expired, which stays in the failure list.
TEST_F(WizardTest, RelocatesAnHttpsImage) {
    int ports[TLS_PEER_COUNT];
    TlsTestPeersTrust trust(ports);
    if (!trust.held) GTEST_SKIP() << "needs the servers of tools/tls-test-peers.sh";
    const std::string good = "https://127.0.0.1:" + std::to_string(ports[TLS_PEER_GOOD]) + "/png/wizard.png";
    const std::string expired = "https://127.0.0.1:" + std::to_string(ports[TLS_PEER_EXPIRED]) + "/png/old.png";
    PackageLayout layout;
    layout.items = {MakeItem("加密图片", "<img src=\"" + good + "\"><img src=\"" + expired + "\">")};
    ASSERT_TRUE(WritePackageFile(package_, layout));

    KarveloProcess karvelo;
    Wizard wizard = Start(&karvelo);
    std::string final = RelocateShowingTheFirstRow(&karvelo, wizard);
    ASSERT_NE(NOT_LOADED, final);
    EXPECT_NE(std::string::npos, final.find("注意：有部分图片搬家失败！")) << final;
    EXPECT_EQ("1", karvelo.ListItemText(wizard.itemList, 0, 2));
    EXPECT_EQ(std::string(DESKTOP_FAILURES) + "\r\n" + expired, WindowText(wizard.failureText));

    // The one stored image holds the served bytes, and the package names it.
    std::string after = DecodePackageFile(package_);
    EXPECT_EQ(std::string::npos, after.find(good));
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(images_)) {
        if (entry.is_regular_file()) files.push_back(entry.path().string());
    }
    ASSERT_EQ(1u, files.size());
    EXPECT_NE(std::string::npos, after.find(files[0]));
    std::string bytes = ReadWholeFile(files[0]);
    EXPECT_EQ(0u, bytes.find(std::string("\x89PNG\r\n\x1a\n", 8) + "/png/wizard.png connection ")) << bytes;

    PostMessageA(wizard.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo.WaitForExit());
}

// A whole package over HTTP/2: nginx with TLS and h2 from
// tools/tls-test-peers.sh, negotiated through Schannel's ALPN; every image
// arrives, over one connection.
TEST_F(WizardTest, RelocatesOverHttp2) {
    int ports[TLS_PEER_COUNT];
    TlsTestPeersTrust trust(ports);
    const char* h2 = std::getenv("KARVELO_TLS_TEST_H2");
    if (!trust.held || h2 == nullptr || *h2 == '\0') GTEST_SKIP() << "needs the nginx of tools/tls-test-peers.sh";
    std::istringstream peer(h2);
    int port = 0;
    std::string log;
    peer >> port >> log;
    const int IMAGES = 24;
    std::string description;
    for (int n = 1; n <= IMAGES; ++n) {
        description += "<img src=\"https://127.0.0.1:" + std::to_string(port) + "/h2/" + std::to_string(n) + ".png\">";
    }
    PackageLayout layout;
    layout.items = {MakeItem("多路复用", description)};
    ASSERT_TRUE(WritePackageFile(package_, layout));

    KarveloProcess karvelo;
    Wizard wizard = Start(&karvelo);
    ASSERT_TRUE(Load(&karvelo, wizard));
    wizard.SetText(wizard.destinationEdit, images_);
    // Nothing failed: the box is the one that says it is done.
    EXPECT_EQ("图片搬家已完成，数据包(items.csv)已更新。", PressAndAnswer(&karvelo, wizard, wizard.nextButton, "完成"));
    std::set<std::string> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(images_)) {
        if (!entry.is_regular_file()) continue;
        std::string bytes = ReadWholeFile(entry.path().string());
        ASSERT_EQ(0u, bytes.find(std::string("\x89PNG\r\n\x1a\n/h2/", 12))) << entry.path().string();
        paths.insert(bytes.substr(8, bytes.find(".png") - 4));
    }
    EXPECT_EQ(static_cast<size_t>(IMAGES), paths.size());

    // nginx served each image once, over HTTP/2, on one connection.
    std::istringstream served(ReadWholeFile("Z:" + log));
    std::set<std::string> connections;
    int lines = 0;
    for (std::string protocol, connection, uri, status; served >> protocol >> connection >> uri >> status; ++lines) {
        EXPECT_EQ("HTTP/2.0", protocol) << uri;
        EXPECT_EQ("200", status) << uri;
        connections.insert(connection);
    }
    EXPECT_EQ(IMAGES, lines);
    EXPECT_EQ(1u, connections.size());

    PostMessageA(wizard.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo.WaitForExit());
}

// The user's proxy, set in the Internet options' registry values: an image
// on a name only the proxy knows arrives through it, and a name the bypass
// list's <local> matches goes direct.  The loopback server plays the proxy:
// a request through a proxy names the whole address.
TEST_F(WizardTest, FollowsTheSystemProxy) {
    LoopbackImageServer proxy([](const std::string& target) {
        const std::string origin = "http://images.proxied.example";
        return target.rfind(origin, 0) == 0 ? ServeImages(target.substr(origin.size())) : LoopbackResponse();
    });
    ASSERT_TRUE(proxy.Start());
    const std::string proxied = "http://images.proxied.example/img/1.png";
    const std::string bypassed = "http://imagehost/img/2.png";
    PackageLayout layout;
    layout.items = {MakeItem("代理图片", "<img src=\"" + proxied + "\"><img src=\"" + bypassed + "\">")};
    ASSERT_TRUE(WritePackageFile(package_, layout));

    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    struct Settings {
        HKEY key;
        ~Settings() {
            for (const char* name : {"ProxyEnable", "ProxyServer", "ProxyOverride"}) RegDeleteValueA(key, name);
            RegCloseKey(key);
        }
    } settings{key};
    const DWORD enable = 1;
    const std::string server = "127.0.0.1:" + std::to_string(proxy.port());
    RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable), sizeof enable);
    RegSetValueExA(key, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                   static_cast<DWORD>(server.size() + 1));
    RegSetValueExA(key, "ProxyOverride", 0, REG_SZ, reinterpret_cast<const BYTE*>("<local>"), 8);

    KarveloProcess karvelo;
    Wizard wizard = Start(&karvelo);
    std::string final = RelocateShowingTheFirstRow(&karvelo, wizard);
    ASSERT_NE(NOT_LOADED, final);
    EXPECT_NE(std::string::npos, final.find("注意：有部分图片搬家失败！")) << final;
    EXPECT_EQ(std::string(DESKTOP_FAILURES) + "\r\n" + bypassed, WindowText(wizard.failureText));
    EXPECT_EQ(std::vector<std::string>{proxied}, proxy.RequestedPaths());
    std::string after = DecodePackageFile(package_);
    EXPECT_EQ(std::string::npos, after.find(proxied));
    EXPECT_NE(std::string::npos, after.find(bypassed));

    PostMessageA(wizard.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo.WaitForExit());
}

TEST_F(WizardTest, PackagesThatCannotBeUsedStayOnPageOne) {
    KarveloProcess karvelo;
    Wizard wizard = Start(&karvelo);
    ASSERT_NE(nullptr, wizard.window);

    PackageLayout longTitle;
    GeneratedItem item;
    item.title = std::string(256, 'x');
    item.description = "<p>x</p>";
    longTitle.items = {item};
    ASSERT_TRUE(WritePackageFile(package_, longTitle));
    wizard.SetText(wizard.packagePathEdit, package_);
    std::string text = PressAndAnswer(&karvelo, wizard, wizard.nextButton);
    EXPECT_EQ(0u, text.find("[items.csv]数据包中部分宝贝的标题超过255个字符(127个汉字)")) << text;
    EXPECT_EQ(wizard.choosePackageButton, wizard.Focus());
    EXPECT_FALSE(wizard.OnPageTwo());

    WriteFileOfSize(package_, 100);
    text = PressAndAnswer(&karvelo, wizard, wizard.nextButton, NOTICE_CAPTION, IDNO);
    EXPECT_EQ(0u, text.find("[items.csv]数据格式存在问题")) << text;
    EXPECT_EQ(wizard.choosePackageButton, wizard.Focus());
    EXPECT_FALSE(wizard.OnPageTwo());

    PostMessageA(wizard.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo.WaitForExit());
}

// Closing during a run: Cancel keeps it going; OK stops it, giving up the
// images in flight, the package is written back and the process ends with code 0;
// the end of the session does the same without asking; the last run
// continues where the others stopped.
TEST_F(WizardTest, CloseDuringARunStopsItAndTheNextRunContinues) {
    const int IMAGES = 80;  // more than the run fetches at once
    // Slow enough that the run is still going when the close is confirmed:
    // it fetches on (up to 8 at once, over HTTP/1.1) while the confirmation
    // holds up the window, since everything is handed out ahead.
    std::atomic<int> delayMs{1000};
    std::atomic<int> inFlight{0}, mostInFlight{0};
    LoopbackImageServer server([&](const std::string& path) {
        int now = ++inFlight;
        for (int most = mostInFlight.load(); now > most && !mostInFlight.compare_exchange_weak(most, now);) {}
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
        --inFlight;
        return ServeImages(path);
    });
    ASSERT_TRUE(server.Start());
    PackageLayout layout;
    for (int i = 0; i < IMAGES; ++i) {
        GeneratedItem item;
        item.title = "宝贝" + std::to_string(i);
        item.description = "<img src=\"" + server.Url("/img/" + std::to_string(i) + ".png") + "\">";
        layout.items.push_back(item);
    }
    ASSERT_TRUE(WritePackageFile(package_, layout));

    // How many images the package on disk refers to as local files.
    auto relocatedImages = [&] {
        std::string written = DecodePackageFile(package_);
        int relocated = 0;
        for (int i = 0; i < IMAGES; ++i) {
            relocated += written.find(server.Url("/img/" + std::to_string(i) + ".png")) == std::string::npos;
        }
        return relocated;
    };
    // The first run is closed by the user, the second by the end of the
    // session (log-off or shutdown); both write back what they did.
    for (bool endSession : {false, true}) {
        SCOPED_TRACE(endSession ? "session ends" : "closed");
        // Requests the last run gave up are still answered: not this run's.
        ASSERT_TRUE(WaitUntil([&] { return inFlight.load() == 0; }));
        const int servedBefore = server.Served(), relocatedBefore = relocatedImages();
        KarveloProcess karvelo;
        Wizard wizard = Start(&karvelo);
        ASSERT_NE(nullptr, wizard.window);
        ASSERT_TRUE(Load(&karvelo, wizard));
        wizard.SetText(wizard.destinationEdit, images_);
        wizard.Press(wizard.nextButton);
        ASSERT_TRUE(WaitUntil([&] { return server.Served() >= servedBefore + 2; }));

        if (endSession) {
            DWORD_PTR answer = 0;
            ASSERT_TRUE(SendMessageTimeoutA(wizard.window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL,
                                            WAIT_LIMIT_MS, &answer));
            EXPECT_EQ(static_cast<DWORD_PTR>(TRUE), answer);
            EXPECT_FALSE(IsWindowEnabled(wizard.closeButton));
            // Answered only when the process has ended: the run ends it
            // after the write-back.
            SendMessageTimeoutA(wizard.window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, WAIT_LIMIT_MS,
                                &answer);
        } else {
            EXPECT_EQ("正在搬家，确定要关闭吗？",
                      PressAndAnswer(&karvelo, wizard, wizard.closeButton, CONFIRM_CAPTION, IDCANCEL));
            EXPECT_TRUE(karvelo.Running());
            EXPECT_TRUE(IsWindowEnabled(wizard.closeButton));

            PostMessageA(wizard.window, WM_CLOSE, 0, 0);
            HWND box = karvelo.WaitForMessageBox(CONFIRM_CAPTION);
            ASSERT_NE(nullptr, box);
            AnswerMessageBox(box, IDOK);
        }
        EXPECT_EQ(0u, karvelo.WaitForExit());
        EXPECT_GE(relocatedImages(), relocatedBefore + 2);
    }
    // Counted by requests: an image given up at the stop may still be
    // answered after the process has gone.
    const int firstRun = static_cast<int>(server.RequestedPaths().size());
    EXPECT_LT(firstRun, IMAGES);
    EXPECT_GE(mostInFlight.load(), 4);  // the wizard's run downloads several images at once
    int relocated = relocatedImages();
    EXPECT_LT(relocated, IMAGES);

    delayMs = 0;
    KarveloProcess karvelo;
    Wizard wizard = Start(&karvelo);
    ASSERT_NE(nullptr, wizard.window);
    ASSERT_TRUE(Load(&karvelo, wizard));
    wizard.SetText(wizard.destinationEdit, images_);
    std::string final = PressAndAnswer(&karvelo, wizard, wizard.nextButton, "完成");
    EXPECT_EQ("图片搬家已完成，数据包(items.csv)已更新。", final);
    // Only what the runs before left was fetched again.
    EXPECT_EQ(IMAGES - relocated, static_cast<int>(server.RequestedPaths().size()) - firstRun);
    std::string written = DecodePackageFile(package_);
    for (int i = 0; i < IMAGES; ++i) {
        EXPECT_EQ(std::string::npos, written.find(server.Url("/img/" + std::to_string(i) + ".png"))) << i;
    }
    PostMessageA(wizard.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo.WaitForExit());
}

// Pictures of page 2 while a run is going and after it, in a Wine virtual
// desktop, kept in the build folder (screenshots\page2-*.png) for people to
// look at.
TEST_F(WizardTest, PageTwoPicturesDuringAndAfterARun) {
    LoopbackImageServer server([](const std::string& path) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        return ServeImages(path);
    });
    ASSERT_TRUE(server.Start());
    PackageLayout layout = ThreeItems(server);
    for (int i = 0; i < 8; ++i) {
        GeneratedItem item;
        item.title = "夏季新款连衣裙 " + std::to_string(i + 1) + "号";
        item.description = "<img src=\"" + server.Url("/img/more-" + std::to_string(i) + ".png") + "\">";
        layout.items.push_back(item);
    }
    ASSERT_TRUE(WritePackageFile(package_, layout));
    std::string shots = DriverFolder() + "\\screenshots";
    CreateDirectoryA(shots.c_str(), nullptr);

    KarveloProcess karvelo;
    ASSERT_TRUE(karvelo.StartInVirtualDesktop(InstallKarvelo(folder_), "KarveloRun", 1024, 768));
    Wizard wizard(karvelo.WaitForMainWindow());
    ASSERT_NE(nullptr, wizard.window);
    ASSERT_TRUE(Load(&karvelo, wizard));
    wizard.SetText(wizard.destinationEdit, images_);
    wizard.Press(wizard.nextButton);
    ASSERT_TRUE(WaitUntil([&] { return server.Served() >= 4; }));
    Picture running;
    EXPECT_TRUE(TakeScreenshot(shots + "\\page2-running.png", &running));

    HWND box = karvelo.WaitForMessageBox(NOTICE_CAPTION);
    ASSERT_NE(nullptr, box);
    AnswerMessageBox(box, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return karvelo.MessageBoxes().empty(); }));
    ASSERT_TRUE(karvelo.SelectListRow(wizard.itemList, 0));
    karvelo.Settle(wizard.window);
    RedrawWindow(wizard.window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    karvelo.Settle(wizard.window);
    Sleep(500);  // Wine copies the painted pixels to the X server a moment later
    Picture finished;
    EXPECT_TRUE(TakeScreenshot(shots + "\\page2-finished.png", &finished));
    EXPECT_LE(1024, finished.width);

    PostMessageA(wizard.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo.WaitForExit());
}

// The same run on any system code page (make test-gui runs it again with a
// Western one): the program, the package and the images each in a folder
// with a Chinese name, the images' also with Hangul and an emoji, which GBK
// lacks; a title with an emoji shows whole.  The package names the real
// files and the final message the package.  A dropped name the program
// cannot represent (a lone surrogate) is refused with a message.
TEST_F(WizardTest, ChineseFoldersOnAnyCodePage) {
    LoopbackImageServer server(ServeImages);
    ASSERT_TRUE(server.Start());
    const std::string programFolder = folder_ + "\\搬家工具";
    const std::string dataFolder = folder_ + "\\数据包";
    const std::string images = folder_ + "\\图片 " + CoreText(L"\uC0AC\uC9C4\U0001F600", 4);
    const std::string package = dataFolder + "\\宝贝.csv";
    ASSERT_TRUE(CreateDirectoryW(Wide(dataFolder).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(Wide(images).c_str(), nullptr));
    InstallKarvelo(programFolder);
    WriteFileOfSize(programFolder + "\\no_shortcut.txt", 0);

    // The emoji goes in where the generator (GBK only) put a marker.
    PackageLayout layout;
    layout.items = {MakeItem(
        "笑脸EMOJI", "<img src=\"" + server.Url("/img/a.png") + "\"><img src=\"" + server.Url("/img/b.png") + "\">")};
    std::string bytes = BuildPackageBytes(layout);
    const std::string marker("E\0M\0O\0J\0I\0", 10);
    ASSERT_NE(std::string::npos, bytes.find(marker));
    bytes.replace(bytes.find(marker), marker.size(), std::string("\x3D\xD8\x00\xDE", 4));
    ASSERT_TRUE(WriteBytesAt(package, bytes));

    KarveloProcess karvelo;
    ASSERT_TRUE(karvelo.Start(programFolder + "\\Karvelo.exe", programFolder));
    Wizard wizard(karvelo.WaitForMainWindow());
    ASSERT_NE(nullptr, wizard.window);

    ProbeRequest drop = {};
    drop.operation = PROBE_DROP_FILES;
    drop.window = wizard.window;
    drop.resource = 1;
    std::memcpy(drop.files, L"C:\\\xD83D.csv", sizeof L"C:\\\xD83D.csv");
    ASSERT_TRUE(karvelo.Probe(&drop));
    HWND box = karvelo.WaitForMessageBox(NOTICE_CAPTION);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ("所选文件或文件夹的路径中含有无法识别的字符，请修改它的名称或换一个位置后重新选择。",
              MessageBoxText(box));
    AnswerMessageBox(box, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return karvelo.MessageBoxes().empty(); }));
    EXPECT_EQ("", WindowText(wizard.packagePathEdit));

    wizard.SetText(wizard.packagePathEdit, package);
    wizard.Press(wizard.nextButton);
    ASSERT_TRUE(WaitUntil([&] { return wizard.OnPageTwo(); }));
    ASSERT_TRUE(karvelo.Settle(wizard.window));
    EXPECT_EQ("笑脸" + CoreText(L"\U0001F600", 2), karvelo.ListItemText(wizard.itemList, 0, 0));
    wizard.SetText(wizard.destinationEdit, images);
    EXPECT_EQ(images, WindowText(wizard.destinationEdit));
    EXPECT_EQ("图片搬家已完成，数据包(宝贝.csv)已更新。", PressAndAnswer(&karvelo, wizard, wizard.nextButton, "完成"));

    std::string after = ReadBytesAt(package);
    ASSERT_GT(after.size(), 2u);
    std::string text(after.size() * 2, '\0');
    size_t written = 0;
    ConvertCharsetLarge(ENCODING_UTF16LE, CORE_CHARSET, after.data() + 2, after.size() - 2, &text[0], text.size(),
                        &written);
    text.resize(written);
    std::vector<std::string> stored = FolderEntries(images);
    ASSERT_EQ(2u, stored.size());
    for (const std::string& name : stored) {
        EXPECT_NE(std::string::npos, text.find(images + "\\" + name)) << name;
        EXPECT_EQ(0u, ReadBytesAt(images + "\\" + name).find("\x89PNG"));
    }
    EXPECT_EQ(std::string::npos, text.find(server.Url("/img/a.png")));
    // The backup and the log are in the program's folder.
    std::vector<std::string> backups = FolderEntries(programFolder + "\\bak");
    ASSERT_EQ(1u, backups.size());
    EXPECT_EQ(bytes, ReadBytesAt(programFolder + "\\bak\\" + backups[0]));
    EXPECT_TRUE(FileExistsAt(programFolder + "\\app.log"));

    PostMessageA(wizard.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo.WaitForExit());
}

// Drops as the shell delivers them: the first ".csv" name in any letter
// case goes into the path box; other files change nothing.  The window
// takes drops on page 1 only.
TEST_F(WizardTest, DroppedPackagesOnPageOneOnly) {
    PackageLayout layout;
    GeneratedItem item;
    item.title = "x";
    item.description = "<p>x</p>";
    layout.items = {item};
    ASSERT_TRUE(WritePackageFile(package_, layout));

    KarveloProcess karvelo;
    Wizard wizard = Start(&karvelo);
    ASSERT_NE(nullptr, wizard.window);
    auto drop = [&](const std::vector<std::string>& names) {
        ProbeRequest request = {};
        request.operation = PROBE_DROP_FILES;
        request.window = wizard.window;
        size_t at = 0;
        for (const std::string& name : names) {
            std::wstring wide = Wide(name);
            std::memcpy(request.files + at, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
            at += wide.size() + 1;
        }
        return karvelo.Probe(&request);
    };

    ASSERT_TRUE(drop({folder_ + "\\notes.txt", folder_ + "\\picture.jpg"}));
    EXPECT_EQ("", WindowText(wizard.packagePathEdit));
    ASSERT_TRUE(drop({folder_ + "\\notes.txt", folder_ + "\\OTHER.CSV", folder_ + "\\third.csv"}));
    EXPECT_EQ(folder_ + "\\OTHER.CSV", WindowText(wizard.packagePathEdit));
    // The window is topmost only while it takes the drop.
    EXPECT_EQ(0, GetWindowLongA(wizard.window, GWL_EXSTYLE) & WS_EX_TOPMOST);

    ASSERT_TRUE(Load(&karvelo, wizard));
    EXPECT_FALSE(wizard.AcceptsDrops());
    PostMessageA(wizard.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo.WaitForExit());
}

// A package another program holds (the helper opens it without sharing, as
// Excel does) is refused at 开始搬家 with nothing done.  Held again only once
// the run is under way, it is tried at the end, and the rewritten package
// is kept beside it and named in the message; the package stays as it was.
TEST_F(WizardTest, PackageHeldByAnotherProgramIsRefusedOrKeptBeside) {
    FileHolder lateHolder;  // used by the server's thread alone until the run ends
    std::atomic<bool> holdAtFirstImage{false};
    std::string package = package_;
    LoopbackImageServer server([&](const std::string& path) {
        if (holdAtFirstImage.exchange(false)) lateHolder.Hold(package);
        return ServeImages(path);
    });
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(WritePackageFile(package_, ThreeItems(server)));
    const std::string before = ReadWholeFile(package_);

    KarveloProcess karvelo;
    Wizard wizard = Start(&karvelo);
    ASSERT_NE(nullptr, wizard.window);
    ASSERT_TRUE(Load(&karvelo, wizard));
    wizard.SetText(wizard.destinationEdit, images_);
    {
        FileHolder holder;
        ASSERT_TRUE(holder.Hold(package_));
        EXPECT_EQ(
            "[items.csv]可能正被 Excel 或 WPS "
            "等程序打开，搬家后无法写回数据包。\n\n请先关闭打开它的程序，然后再开始搬家。",
            PressAndAnswer(&karvelo, wizard, wizard.nextButton));
        EXPECT_EQ(wizard.nextButton, wizard.Focus());
        EXPECT_TRUE(IsWindowEnabled(wizard.nextButton));
        EXPECT_TRUE(IsWindowEnabled(wizard.chooseDestinationButton));
        EXPECT_FALSE(FileExistsAt(folder_ + "\\bak"));
        EXPECT_TRUE(server.RequestedPaths().empty());
    }

    holdAtFirstImage = true;
    std::string message = PressAndAnswer(&karvelo, wizard, wizard.nextButton);
    lateHolder.Release();
    const std::string kept = folder_ + "\\data\\items(已搬家).csv";
    EXPECT_EQ(
        0u, message.find("数据包(items.csv)可能正被 Excel 或 WPS 等程序打开，无法更新。\n\n搬家后的数据包已另存为：\n" +
                         kept + "\n\n"))
        << message;
    EXPECT_EQ(before, ReadWholeFile(package_));
    std::vector<std::string> beside;
    for (const auto& entry : std::filesystem::directory_iterator(folder_ + "\\data")) {
        beside.push_back(entry.path().u8string());
    }
    ASSERT_EQ(2u, beside.size());  // the package and the kept copy, no temporary file
    std::string text = DecodePackageFile(beside[0] == package_ ? beside[1] : beside[0]);
    EXPECT_EQ(std::string::npos, text.find(server.Url("/img/1.png")));
    EXPECT_NE(std::string::npos, text.find(server.Url("/gone/3.png")));
    EXPECT_TRUE(IsWindowEnabled(wizard.previousButton));  // the run ended as any run does

    PostMessageA(wizard.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo.WaitForExit());
}

// Closing right after 开始搬家, before the run's thread is under way: the
// close asks first, as during any run, and OK then stops the run, which
// backs the package up whole or not at all, never in part.  Five times.
TEST_F(WizardTest, CloseRightAfterStartNeverLeavesAPartialBackup) {
    LoopbackImageServer server(ServeImages);
    ASSERT_TRUE(server.Start());
    // Some megabytes, so that the backup takes a while.
    PackageLayout layout = ThreeItems(server);
    for (int i = 0; i < 150; ++i) {
        layout.items.push_back(MakeItem("宝贝" + std::to_string(i), "<p>" + std::string(8000, 'x') + "</p>"));
    }
    ASSERT_TRUE(WritePackageFile(package_, layout));
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        RemoveTree(folder_ + "\\bak");
        const std::string before = ReadWholeFile(package_);
        KarveloProcess karvelo;
        Wizard wizard = Start(&karvelo);
        ASSERT_NE(nullptr, wizard.window);
        ASSERT_TRUE(Load(&karvelo, wizard));
        wizard.SetText(wizard.destinationEdit, images_);
        wizard.Press(wizard.nextButton);
        PostMessageA(wizard.window, WM_CLOSE, 0, 0);
        HWND box = karvelo.WaitForMessageBox(CONFIRM_CAPTION);
        ASSERT_NE(nullptr, box);
        AnswerMessageBox(box, IDOK);
        EXPECT_EQ(0u, karvelo.WaitForExit());
        if (!FileExistsAt(folder_ + "\\bak")) continue;
        for (const auto& entry : std::filesystem::directory_iterator(folder_ + "\\bak")) {
            EXPECT_EQ(before, ReadWholeFile(entry.path().u8string())) << entry.path().u8string();
        }
    }
}

// Paths the run could not form are refused at 开始搬家 with nothing done: a
// destination with no room for the longest image name, and a package whose
// temporary file would pass the system's limit of 260.
TEST_F(WizardTest, PathsTooLongAreRefusedAtTheStart) {
    LoopbackImageServer server(ServeImages);
    ASSERT_TRUE(server.Start());
    const std::string longPackage = folder_ + "\\" + std::string(250 - folder_.size() - 1 - 4, 'p') + ".csv";
    ASSERT_TRUE(WritePackageFile(longPackage, ThreeItems(server)));
    const std::string longFolder = folder_ + "\\" + std::string(230 - folder_.size() - 1, 'd');
    ASSERT_TRUE(CreateDirectoryA(longFolder.c_str(), nullptr));

    KarveloProcess karvelo;
    Wizard wizard = Start(&karvelo);
    ASSERT_NE(nullptr, wizard.window);
    package_ = longPackage;
    ASSERT_TRUE(Load(&karvelo, wizard));
    wizard.SetText(wizard.destinationEdit, longFolder);
    EXPECT_EQ("选择的文件夹路径太长，无法在其中保存图片，请重新选择一个路径较短的文件夹",
              PressAndAnswer(&karvelo, wizard, wizard.nextButton));
    EXPECT_EQ(wizard.chooseDestinationButton, wizard.Focus());
    wizard.SetText(wizard.destinationEdit, images_);
    std::string text = PressAndAnswer(&karvelo, wizard, wizard.nextButton);
    EXPECT_EQ(0u, text.find("[" + longPackage.substr(folder_.size() + 1) + "]数据包的文件名或所在文件夹的路径太长"))
        << text;
    EXPECT_EQ(wizard.nextButton, wizard.Focus());
    EXPECT_FALSE(FileExistsAt(folder_ + "\\bak"));
    EXPECT_TRUE(server.RequestedPaths().empty());

    PostMessageA(wizard.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo.WaitForExit());
}

}  // namespace
