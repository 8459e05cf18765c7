// The main window as the user first sees it: title, size and place, every
// control, the fonts, and the link labels' cursor and clicks.
//
// Literals are GBK (this target is compiled with -fexec-charset=GBK); the
// window's texts are read through the ...W calls and compared in that form.
#include "win/gui_driver.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>

namespace {

enum Parent { MAIN, PAGE1, PAGE2 };

struct ExpectedControl {
    const char* name;
    Parent parent;
    const char* className;
    const char* text;
    DWORD style;          // beyond WS_CHILD | WS_VISIBLE
    DWORD extendedStyle;  // WS_EX_CLIENTEDGE or 0
    int x, y, width, height;
    int id;
};

const DWORD EDGE = WS_EX_CLIENTEDGE;

// clang-format off
const ExpectedControl CONTROLS[] = {
    {"packagePanel", MAIN, "Static", "panel", SS_BITMAP, 0, 0, 0, 680, 483, 36100},
    {"packageHeading", PAGE1, "Static", "第一步：选择淘宝助理导出的数据包(CSV)文件", SS_NOTIFY, 0, 21, 13, 500, 32, 0},
    {"package hint", PAGE1, "Static", "选择淘宝助理(版本:5.x+)导出的CSV文件或别人提供给您的CSV文件。", SS_NOTIFY, 0, 21, 43, 500, 28, 0},
    {"packagePathEdit", PAGE1, "Edit", "", ES_READONLY | ES_AUTOHSCROLL, EDGE, 20, 161, 442, 22, 36102},
    {"choosePackageButton", PAGE1, "Button", "选择CSV文件...", BS_PUSHBUTTON, 0, 471, 160, 100, 24, 36103},
    {"noticeBox", PAGE1, "Edit", "", ES_READONLY | ES_MULTILINE | ES_AUTOVSCROLL, 0, 20, 211, 635, 263, 36104},
    {"optionsPanel", MAIN, "Static", "panel", SS_BITMAP, 0, 0, 0, 680, 483, 36100},
    {"optionsHeading", PAGE2, "Static", "第二步：设置图片搬家选项，准备进行搬家", SS_NOTIFY, 0, 21, 13, 500, 32, 0},
    {"options hint", PAGE2, "Static", "如果搬家开始后中途关闭，再次对这个csv文件搬家时将自动从上次中断的地方继续搬家。", SS_NOTIFY, 0, 21, 43, 500, 28, 0},
    {"imageSpaceCheck", PAGE2, "Button", "搬来自淘宝图片空间里的图片", BS_AUTOCHECKBOX, 0, 17, 90, 182, 21, 36106},
    {"thirdPartyCheck", PAGE2, "Button", "搬来自第三方相册里的图片", BS_AUTOCHECKBOX, 0, 216, 90, 172, 21, 36107},
    {"blankFailedCheck", PAGE2, "Button", "将搬家失败的图片替换为空白图片", BS_AUTOCHECKBOX, 0, 403, 90, 211, 21, 36108},
    {"destination label", PAGE2, "Static", "图片搬家到：", SS_NOTIFY, 0, 16, 129, 78, 20, 0},
    {"destinationEdit", PAGE2, "Edit", "", ES_READONLY | ES_AUTOHSCROLL, EDGE, 93, 125, 475, 22, 36109},
    {"chooseDestinationButton", PAGE2, "Button", "选择...", BS_PUSHBUTTON, 0, 575, 124, 82, 24, 36110},
    {"itemList", PAGE2, "SysListView32", "", LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, EDGE, 16, 167, 640, 144, 0},
    {"failures label", PAGE2, "Static", "搬家失败的图片地址：", SS_NOTIFY, 0, 17, 320, 223, 22, 0},
    {"failureText", PAGE2, "Edit", "", WS_VSCROLL | ES_READONLY | ES_MULTILINE, EDGE, 17, 339, 640, 89, 36111},
    {"progressBar", PAGE2, "msctls_progress32", "", 0, 0, 17, 435, 640, 21, 0},
    {"progressText", PAGE2, "Static", "搬家进度(宝贝数:0)", SS_NOTIFY, 0, 17, 462, 640, 20, 0},
    {"previousButton", MAIN, "Button", "上一步", BS_PUSHBUTTON, 0, 387, 499, 86, 25, 36115},
    {"nextButton", MAIN, "Button", "下一步", BS_PUSHBUTTON, 0, 482, 499, 86, 25, 36116},
    {"closeButton", MAIN, "Button", "关闭", BS_PUSHBUTTON, 0, 577, 499, 86, 25, 36117},
    {"helpLink", MAIN, "Static", "搬家教程与常见问题", SS_NOTIFY, 0, 13, 504, 128, 17, 36112},
    {"siteLink", MAIN, "Static", "官方网站", SS_NOTIFY, 0, 157, 504, 60, 17, 36114},
};
// clang-format on
const int CONTROL_COUNT = sizeof CONTROLS / sizeof CONTROLS[0];

// Indexes into CONTROLS of the ones the tests name.
enum {
    PACKAGE_PANEL = 0,
    PACKAGE_HEADING = 1,
    OPTIONS_PANEL = 6,
    OPTIONS_HEADING = 7,
    IMAGE_SPACE = 9,
    THIRD_PARTY = 10,
    BLANK_FAILED = 11,
    PROGRESS_BAR = 18,
    PREVIOUS = 20,
    NEXT = 21,
    CLOSE = 22,
    HELP_LINK = 23,
    SITE_LINK = 24,
};

// The style bits a control's type is told by (the low word of a static or
// an edit, the type nibble of a button, the list view's view and flags).
DWORD TypeStyle(const ExpectedControl& expected, DWORD style) {
    std::string name = expected.className;
    if (name == "Button") return style & BS_TYPEMASK;
    if (name == "Static") return style & (SS_TYPEMASK | SS_NOTIFY);
    if (name == "Edit") return style & (0xFFFF | WS_VSCROLL | WS_HSCROLL | WS_BORDER);
    if (name == "SysListView32") return style & (LVS_TYPEMASK | LVS_SINGLESEL | LVS_SHOWSELALWAYS);
    return style & (0xFFFF | WS_VSCROLL | WS_HSCROLL | WS_BORDER);
}

// One program for all tests of this file: they only look, except the last
// ones, which move the mouse and click a link.
class MainWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new std::string(FreshWorkFolder("main-window"));
        // No shortcut question in the way.
        WriteFileOfSize(*folder_ + "\\no_shortcut.txt", 0);
        karvelo_ = new KarveloProcess();
        if (karvelo_->Start(InstallKarvelo(*folder_), *folder_)) window_ = karvelo_->WaitForMainWindow();
        if (window_ != nullptr) {
            // Controls in creation order: the main window's children, with
            // each page's children right after its panel.
            for (HWND child : ChildrenOf(window_)) {
                controls_.push_back(child);
                for (HWND grandchild : ChildrenOf(child)) controls_.push_back(grandchild);
            }
        }
    }
    static void TearDownTestSuite() {
        delete karvelo_;
        delete folder_;
        karvelo_ = nullptr;
        controls_.clear();
    }
    void SetUp() override {
        ASSERT_NE(nullptr, window_) << "Karvelo.exe did not show its window";
        ASSERT_EQ(static_cast<size_t>(CONTROL_COUNT), controls_.size());
    }

    static KarveloProcess* karvelo_;
    static std::string* folder_;
    static HWND window_;
    static std::vector<HWND> controls_;
};

KarveloProcess* MainWindowTest::karvelo_ = nullptr;
std::string* MainWindowTest::folder_ = nullptr;
HWND MainWindowTest::window_ = nullptr;
std::vector<HWND> MainWindowTest::controls_;

TEST_F(MainWindowTest, TitleClassSizeAndPlace) {
    EXPECT_EQ("Karvelo(V7.3)", WindowText(window_));
    EXPECT_EQ("CodeBlocksWindowsApp", WindowClass(window_));

    DWORD style = GetWindowLongA(window_, GWL_STYLE);
    EXPECT_EQ(static_cast<DWORD>(WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX),
              style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME | WS_CHILD));
    DWORD extended = GetWindowLongA(window_, GWL_EXSTYLE);
    EXPECT_EQ(static_cast<DWORD>(WS_EX_APPWINDOW | WS_EX_ACCEPTFILES),
              extended & (WS_EX_APPWINDOW | WS_EX_ACCEPTFILES | WS_EX_TOPMOST));
    EXPECT_EQ(nullptr, GetMenu(window_));
    EXPECT_TRUE(IsWindowVisible(window_));

    // 680 x 560 for a 19-pixel caption; the height follows the caption.
    int expectedHeight = 560 + GetSystemMetrics(SM_CYCAPTION) - 19;
    RECT outer;
    GetWindowRect(window_, &outer);
    EXPECT_EQ(680, outer.right - outer.left);
    EXPECT_EQ(expectedHeight, outer.bottom - outer.top);

    // The client area is what the frame leaves.
    RECT frame = {0, 0, 0, 0};
    AdjustWindowRectEx(&frame, style, FALSE, extended);
    RECT client;
    GetClientRect(window_, &client);
    EXPECT_EQ(680 - (frame.right - frame.left), client.right);
    EXPECT_EQ(expectedHeight - (frame.bottom - frame.top), client.bottom);

    // Centred by the client size, 26 pixels above the middle.
    EXPECT_EQ((GetSystemMetrics(SM_CXSCREEN) - client.right) / 2, outer.left);
    EXPECT_EQ((GetSystemMetrics(SM_CYMAXIMIZED) - client.bottom) / 2 - 26, outer.top);

    // The class's icons are group 101, the window's large icon group 102.
    // (Asked inside the process: Wine answers neither WM_GETICON nor
    // GetClassLongPtr's icons for another process's window.)
    ProbeRequest icons = {};
    icons.operation = PROBE_CLASS_ICONS;
    icons.window = window_;
    icons.resource = 101;
    ASSERT_TRUE(karvelo_->Probe(&icons));
    EXPECT_EQ(1, icons.value);
    EXPECT_EQ(1, icons.other);
    ProbeRequest icon = {};
    icon.operation = PROBE_WINDOW_ICON;
    icon.window = window_;
    icon.resource = 102;
    ASSERT_TRUE(karvelo_->Probe(&icon));
    EXPECT_EQ(1, icon.other);

    ProbeRequest request = {};
    request.operation = PROBE_CLASS_STYLE;
    request.window = window_;
    ASSERT_TRUE(karvelo_->Probe(&request));
    EXPECT_EQ(CS_DBLCLKS, request.value);
    EXPECT_EQ(1, request.other) << "class background is not the button-face brush";
}

TEST_F(MainWindowTest, EveryControlInCreationOrder) {
    HWND packagePanel = controls_[PACKAGE_PANEL];
    HWND optionsPanel = controls_[OPTIONS_PANEL];
    for (int i = 0; i < CONTROL_COUNT; ++i) {
        const ExpectedControl& expected = CONTROLS[i];
        HWND control = controls_[i];
        SCOPED_TRACE(expected.name);
        EXPECT_STRCASEEQ(expected.className, WindowClass(control).c_str());
        EXPECT_EQ(expected.text, WindowText(control));
        EXPECT_EQ(expected.id, GetDlgCtrlID(control));
        HWND parent = expected.parent == PAGE1 ? packagePanel : expected.parent == PAGE2 ? optionsPanel : window_;
        EXPECT_EQ(parent, GetParent(control));

        RECT place = RectInParent(control);
        EXPECT_EQ(expected.x, place.left);
        EXPECT_EQ(expected.y, place.top);
        EXPECT_EQ(expected.width, place.right - place.left);
        EXPECT_EQ(expected.height, place.bottom - place.top);

        DWORD style = GetWindowLongA(control, GWL_STYLE);
        EXPECT_TRUE(style & WS_CHILD);
        EXPECT_EQ(expected.style, TypeStyle(expected, style));
        EXPECT_EQ(expected.extendedStyle, static_cast<DWORD>(GetWindowLongA(control, GWL_EXSTYLE)) & WS_EX_CLIENTEDGE);
    }
}

TEST_F(MainWindowTest, OpensOnPageOneWithBothSourcesChecked) {
    // Page 1 and its controls show; page 2 is hidden with everything on it,
    // though its controls keep WS_VISIBLE for when the page is shown.
    for (int i = 0; i < CONTROL_COUNT; ++i) {
        SCOPED_TRACE(CONTROLS[i].name);
        bool onPageTwo = i == OPTIONS_PANEL || CONTROLS[i].parent == PAGE2;
        bool shown = !onPageTwo && i != PREVIOUS;
        EXPECT_EQ(shown, IsWindowVisible(controls_[i]) != 0);
        if (onPageTwo && i != OPTIONS_PANEL) {
            EXPECT_TRUE(GetWindowLongA(controls_[i], GWL_STYLE) & WS_VISIBLE);
        }
        EXPECT_TRUE(IsWindowEnabled(controls_[i]));
    }
    EXPECT_FALSE(GetWindowLongA(controls_[PREVIOUS], GWL_STYLE) & WS_VISIBLE);

    auto checkState = [](HWND box) {
        DWORD_PTR state = 0;
        SendMessageTimeoutA(box, BM_GETCHECK, 0, 0, SMTO_NORMAL, WAIT_LIMIT_MS, &state);
        return static_cast<int>(state);
    };
    EXPECT_EQ(BST_CHECKED, checkState(controls_[IMAGE_SPACE]));
    EXPECT_EQ(BST_CHECKED, checkState(controls_[THIRD_PARTY]));
    EXPECT_EQ(BST_UNCHECKED, checkState(controls_[BLANK_FAILED]));
}

TEST_F(MainWindowTest, HeadingsLinksAndTheRestHaveTheirFonts) {
    LOGFONTA stock;
    GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof stock, &stock);
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    ASSERT_EQ(96, dpi) << "the default font's height below is the one for 96 DPI";

    for (int i = 0; i < CONTROL_COUNT; ++i) {
        // The panels draw nothing: their procedure (the window's) keeps no font.
        if (i == PACKAGE_PANEL || i == OPTIONS_PANEL) continue;
        SCOPED_TRACE(CONTROLS[i].name);
        ProbeRequest request = {};
        request.operation = PROBE_FONT;
        request.window = controls_[i];
        ASSERT_TRUE(karvelo_->Probe(&request));
        const LOGFONTW& font = request.font;
        EXPECT_EQ("宋体", CoreText(font.lfFaceName, wcslen(font.lfFaceName)));
        EXPECT_EQ(0, font.lfItalic);
        EXPECT_EQ(stock.lfCharSet, font.lfCharSet);
        if (i == PACKAGE_HEADING || i == OPTIONS_HEADING) {
            EXPECT_EQ(20, font.lfHeight);
            EXPECT_EQ(700, font.lfWeight);
            EXPECT_EQ(1, font.lfUnderline);
        } else if (i == HELP_LINK || i == SITE_LINK) {
            EXPECT_EQ(14, font.lfHeight);
            EXPECT_EQ(0, font.lfWeight);
            EXPECT_EQ(0, font.lfUnderline);
        } else {
            EXPECT_EQ(stock.lfHeight, font.lfHeight);
            EXPECT_EQ(400, font.lfWeight);
            EXPECT_EQ(0, font.lfUnderline);
        }
    }
}

TEST_F(MainWindowTest, PanelsAreServedByTheWindowProcedure) {
    for (int panel : {PACKAGE_PANEL, OPTIONS_PANEL}) {
        ProbeRequest request = {};
        request.operation = PROBE_WINDOW_PROCEDURE;
        request.window = controls_[panel];
        request.otherWindow = window_;
        ASSERT_TRUE(karvelo_->Probe(&request));
        EXPECT_EQ(1, request.value) << CONTROLS[panel].name;
    }
}

TEST_F(MainWindowTest, SecondCreateMessageChangesNothing) {
    // Sent from inside: Wine does not carry WM_CREATE across processes.
    ProbeRequest create = {};
    create.operation = PROBE_SEND_MESSAGE;
    create.window = window_;
    create.resource = WM_CREATE;
    create.value = 1;
    ASSERT_TRUE(karvelo_->Probe(&create));
    EXPECT_EQ(0, create.value);
    std::vector<HWND> children;
    for (HWND child : ChildrenOf(window_)) {
        children.push_back(child);
        for (HWND grandchild : ChildrenOf(child)) children.push_back(grandchild);
    }
    EXPECT_EQ(controls_, children);
}

// A DLL planted beside the program (a Downloads folder) is not loaded by
// name: the program asks the system to search its own folder only.
TEST_F(MainWindowTest, PlantedDllsAreNotLoadedByName) {
    ASSERT_TRUE(CopyFileW(Wide(DriverFolder() + "\\karvelo_probe.dll").c_str(),
                          Wide(*folder_ + "\\planted.dll").c_str(), FALSE));
    ProbeRequest request = {};
    request.operation = PROBE_LOAD_LIBRARY;
    std::memcpy(request.files, L"planted.dll", sizeof L"planted.dll");
    ASSERT_TRUE(karvelo_->Probe(&request));
    EXPECT_EQ(0, request.value);
    std::wstring full = Wide(*folder_ + "\\planted.dll");
    std::memcpy(request.files, full.c_str(), (full.size() + 1) * sizeof(wchar_t));
    ASSERT_TRUE(karvelo_->Probe(&request));
    EXPECT_EQ(1, request.value) << "by its full path it loads";
}

TEST_F(MainWindowTest, LinksShowTheHandAndOpenTheirPage) {
    auto classCursor = [](KarveloProcess* karvelo, HWND window) {
        ProbeRequest request = {};
        request.operation = PROBE_CLASS_CURSOR;
        request.window = window;
        return karvelo->Probe(&request) ? static_cast<int>(request.value) : -1;
    };
    HWND help = controls_[HELP_LINK];
    HWND site = controls_[SITE_LINK];
    HWND heading = controls_[PACKAGE_HEADING];
    HWND progressBar = controls_[PROGRESS_BAR];

    // The message loop sets the static class's cursor on every mouse move.
    PostMessageA(help, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    ASSERT_TRUE(karvelo_->SettlePosted(progressBar));
    EXPECT_EQ(PROBE_CURSOR_HAND, classCursor(karvelo_, heading));
    PostMessageA(window_, WM_MOUSEMOVE, 0, MAKELPARAM(300, 300));
    ASSERT_TRUE(karvelo_->SettlePosted(progressBar));
    EXPECT_EQ(PROBE_CURSOR_ARROW, classCursor(karvelo_, heading));
    PostMessageA(site, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    ASSERT_TRUE(karvelo_->SettlePosted(progressBar));
    EXPECT_EQ(PROBE_CURSOR_HAND, classCursor(karvelo_, help));

    // A click on a link opens its page.  Finding the browser leaves the
    // probe file "temp.html" in the program's folder; the window stays.
    std::string probeFile = *folder_ + "\\temp.html";
    ASSERT_FALSE(FileExistsAt(probeFile));
    PostMessageA(help, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    PostMessageA(help, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    ASSERT_TRUE(karvelo_->SettlePosted(progressBar));
    EXPECT_TRUE(FileExistsAt(probeFile));
    EXPECT_EQ(0, FileSizeAt(probeFile));
    PostMessageA(site, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    ASSERT_TRUE(karvelo_->SettlePosted(progressBar));
    EXPECT_EQ(0, FileSizeAt(probeFile));
    EXPECT_TRUE(karvelo_->Running());
    EXPECT_TRUE(karvelo_->MessageBoxes().empty());
}

}  // namespace
