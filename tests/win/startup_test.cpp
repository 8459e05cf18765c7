// Start-up and shutdown of Karvelo.exe, each test with the program in a
// folder of its own: the desktop-shortcut question, the archive-folder
// refusal, the log's size rule, a program at a drive root, and closing.
//
// Literals are GBK (this target is compiled with -fexec-charset=GBK).
#include "win/gui_driver.h"

#include <objbase.h>
#include <shlobj.h>
#include <gtest/gtest.h>

namespace {

const char QUESTION_CAPTION[] = "询问";
const char NOTICE_CAPTION[] = "提示";
const DWORD EXIT_REFUSED = 0xFFFFFFFF;  // exit(-1)

std::string ButtonText(HWND box, int id) { return WindowText(GetDlgItem(box, id)); }

// Starts the program in `folder` and returns once its window is up (the
// shortcut question, if any, is open then).
HWND StartAndWait(KarveloProcess* karvelo, const std::string& folder) {
    if (!karvelo->Start(InstallKarvelo(folder), folder)) return nullptr;
    return karvelo->WaitForMainWindow();
}

// The program in `folder` starts and asks nothing.
void ExpectNoQuestion(const std::string& folder) {
    KarveloProcess karvelo;
    HWND window = StartAndWait(&karvelo, folder);
    ASSERT_NE(nullptr, window);
    EXPECT_TRUE(karvelo.MessageBoxes().empty());
    EXPECT_TRUE(IsWindowEnabled(window));
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo.WaitForExit());
}

class ShortcutTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The question is only asked while the desktop has no shortcut.
        RemoveTree(DesktopShortcutPath());
        ASSERT_FALSE(FileExistsAt(DesktopShortcutPath()));
    }
    void TearDown() override { RemoveTree(DesktopShortcutPath()); }
};

TEST_F(ShortcutTest, NoAsksAgainAndDontAskAgainStopsTheQuestion) {
    std::string folder = FreshWorkFolder("shortcut-no");
    std::string marker = folder + "\\no_shortcut.txt";
    {
        KarveloProcess karvelo;
        ASSERT_NE(nullptr, StartAndWait(&karvelo, folder));
        HWND box = karvelo.WaitForMessageBox(QUESTION_CAPTION);
        ASSERT_NE(nullptr, box);
        EXPECT_EQ("需要在桌面上创建一个软件打开的快捷方式吗？", MessageBoxText(box));
        // Yes keeps the system's label; the hook renames the other two.
        EXPECT_NE("", ButtonText(box, IDYES));
        EXPECT_EQ("不用再提示", ButtonText(box, IDNO));
        EXPECT_EQ("否(&N)", ButtonText(box, IDCANCEL));
        // Owned by the main window, which waits for the answer.
        HWND window = GetWindow(box, GW_OWNER);
        EXPECT_EQ("CodeBlocksWindowsApp", WindowClass(window));
        EXPECT_FALSE(IsWindowEnabled(window));
        AnswerMessageBox(box, IDCANCEL);
        EXPECT_TRUE(WaitUntil([&] { return karvelo.MessageBoxes().empty(); }));
        PostMessageA(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(0u, karvelo.WaitForExit());
        EXPECT_FALSE(FileExistsAt(marker));
        EXPECT_FALSE(FileExistsAt(DesktopShortcutPath()));
    }
    {
        // "否(&N)" left nothing behind, so the question comes again.
        KarveloProcess karvelo;
        ASSERT_NE(nullptr, StartAndWait(&karvelo, folder));
        HWND box = karvelo.WaitForMessageBox(QUESTION_CAPTION);
        ASSERT_NE(nullptr, box);
        HWND window = GetWindow(box, GW_OWNER);
        AnswerMessageBox(box, IDNO);
        EXPECT_TRUE(WaitUntil([&] { return FileExistsAt(marker); }));
        EXPECT_TRUE(WaitUntil([&] { return karvelo.MessageBoxes().empty(); }));
        PostMessageA(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(0u, karvelo.WaitForExit());
    }
    // "不用再提示" left the empty marker, and the question is gone for good.
    EXPECT_EQ(0, FileSizeAt(marker));
    EXPECT_FALSE(FileExistsAt(DesktopShortcutPath()));
    ExpectNoQuestion(folder);
    ExpectNoQuestion(folder);
}

// Reads a shell link back: its target, arguments, working folder and icon.
struct LinkContents {
    std::string target, arguments, folder, icon;
    int iconIndex = -1;
    int showCommand = -1;
};

bool ReadLink(const std::string& path, LinkContents* contents) {
    CoInitialize(nullptr);
    bool read = false;
    IShellLinkA* link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   reinterpret_cast<void**>(&link)))) {
        IPersistFile* file = nullptr;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            WCHAR wide[MAX_PATH] = {};
            MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
            if (SUCCEEDED(file->Load(wide, STGM_READ))) {
                char text[MAX_PATH] = {};
                link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
                contents->target = text;
                text[0] = '\0';
                link->GetArguments(text, MAX_PATH);
                contents->arguments = text;
                text[0] = '\0';
                link->GetWorkingDirectory(text, MAX_PATH);
                contents->folder = text;
                text[0] = '\0';
                link->GetIconLocation(text, MAX_PATH, &contents->iconIndex);
                contents->icon = text;
                link->GetShowCmd(&contents->showCommand);
                read = true;
            }
            file->Release();
        }
        link->Release();
    }
    CoUninitialize();
    return read;
}

// Starts the program in `folder`, answers the shortcut question with Yes
// and returns the text of the box that reports the result (owned by the
// main window).  Start-up then goes on to the message loop, and the window
// closes with code 0.
std::string AnswerYes(const std::string& folder) {
    KarveloProcess karvelo;
    if (StartAndWait(&karvelo, folder) == nullptr) return "(no window)";
    HWND box = karvelo.WaitForMessageBox(QUESTION_CAPTION);
    if (box == nullptr) return "(no question)";
    HWND window = GetWindow(box, GW_OWNER);
    AnswerMessageBox(box, IDYES);
    HWND result = karvelo.WaitForMessageBox(NOTICE_CAPTION);
    if (result == nullptr) return "(no result)";
    std::string text = MessageBoxText(result);
    EXPECT_EQ(window, GetWindow(result, GW_OWNER));
    AnswerMessageBox(result, IDOK);
    EXPECT_TRUE(WaitUntil([&] { return karvelo.MessageBoxes().empty(); }));
    EXPECT_TRUE(karvelo.Running());
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo.WaitForExit());
    return text;
}

TEST_F(ShortcutTest, YesPutsAShortcutOnTheDesktop) {
    std::string folder = FreshWorkFolder("shortcut-yes");
    EXPECT_EQ("在桌面上成功创建了一个快捷方式", AnswerYes(folder));
    LinkContents link;
    ASSERT_TRUE(ReadLink(DesktopShortcutPath(), &link));
    std::string program = folder + "\\Karvelo.exe";
    EXPECT_STRCASEEQ(program.c_str(), link.target.c_str());
    EXPECT_EQ("", link.arguments);
    EXPECT_STRCASEEQ(folder.c_str(), link.folder.c_str());
    EXPECT_STRCASEEQ(program.c_str(), link.icon.c_str());
    EXPECT_EQ(0, link.iconIndex);
    // A shortcut file keeps only normal, maximized and minimized windows:
    // SW_SHOW is stored, and read back, as SW_SHOWNORMAL.
    EXPECT_EQ(SW_SHOWNORMAL, link.showCommand);
    EXPECT_FALSE(FileExistsAt(folder + "\\no_shortcut.txt"));

    // With the shortcut on the desktop no copy asks again, even one
    // without the marker.
    ExpectNoQuestion(FreshWorkFolder("shortcut-exists"));
}

TEST_F(ShortcutTest, AShortcutThatCannotBeWrittenIsReported) {
    // A folder in the shortcut's place: the question comes (it is not a
    // shortcut file) but the link cannot be saved there.
    ASSERT_TRUE(CreateDirectoryA(DesktopShortcutPath().c_str(), nullptr));
    std::string folder = FreshWorkFolder("shortcut-fails");
    EXPECT_EQ("在桌面上创建快捷方式失败", AnswerYes(folder));
    EXPECT_FALSE(FileExistsAt(folder + "\\no_shortcut.txt"));
}

// A prepared program folder: the marker keeps the question away.
std::string QuietFolder(const std::string& name) {
    std::string folder = FreshWorkFolder(name);
    WriteFileOfSize(folder + "\\no_shortcut.txt", 0);
    return folder;
}

TEST(Startup, RefusesToRunFromAnArchiveToolsTemporaryFolder) {
    std::string folder = FreshWorkFolder("archive") + "\\Temp\\Rar$EXa0.123";
    KarveloProcess karvelo;
    ASSERT_TRUE(karvelo.Start(InstallKarvelo(folder), folder));
    HWND box = karvelo.WaitForMessageBox(NOTICE_CAPTION);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ("请先对软件压缩包进行解压缩后再启动软件。\n\n点击[确定]按钮，查看正确的解压缩方式。",
              MessageBoxText(box));
    EXPECT_EQ(nullptr, GetWindow(box, GW_OWNER));
    EXPECT_EQ(nullptr, GetDlgItem(box, IDCANCEL));
    AnswerMessageBox(box, IDOK);
    EXPECT_EQ(EXIT_REFUSED, karvelo.WaitForExit());
    // Refused before the log was opened; the unpacking page was opened
    // through the browser probe file.
    EXPECT_FALSE(FileExistsAt(folder + "\\app.log"));
    EXPECT_TRUE(FileExistsAt(folder + "\\temp.html"));
}

TEST(Startup, OnlyTheExactArchiveFolderPatternIsRefused) {
    // A '$' without "\Temp\", and "\temp\" in lower case, both run.
    for (const char* name : {"dollar\\Rar$EX01", "lower\\temp\\Rar$EX02", "upper\\Temp\\NoDollar"}) {
        SCOPED_TRACE(name);
        std::string folder = QuietFolder(std::string("archive-like\\") + name);
        KarveloProcess karvelo;
        HWND window = StartAndWait(&karvelo, folder);
        ASSERT_NE(nullptr, window);
        EXPECT_TRUE(FileExistsAt(folder + "\\app.log"));
        PostMessageA(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(0u, karvelo.WaitForExit());
    }
}

TEST(Startup, LogOfMoreThanTwoMebibytesIsStartedAfresh) {
    const size_t limit = 2097152;
    for (size_t size : {limit, limit + 1}) {
        SCOPED_TRACE(size);
        std::string folder = QuietFolder(size == limit ? "log-at-limit" : "log-over-limit");
        std::string log = folder + "\\app.log";
        ASSERT_TRUE(WriteFileOfSize(log, size));
        KarveloProcess karvelo;
        HWND window = StartAndWait(&karvelo, folder);
        ASSERT_NE(nullptr, window);
        // At the limit the log is kept (and appended to); one byte more and
        // it is deleted and opened anew.
        EXPECT_EQ(size == limit ? static_cast<long long>(limit) : 0, FileSizeAt(log));
        PostMessageA(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(0u, karvelo.WaitForExit());
    }
}

TEST(Startup, ProgramAtADriveRootKeepsItsFilesThere) {
    // "C:\" as the program's folder: the log and the marker lie at the root.
    std::string program = "C:\\karvelo-root-test.exe";
    const char* files[] = {"C:\\app.log", "C:\\no_shortcut.txt", "C:\\temp.html"};
    for (const char* file : files) RemoveTree(file);
    ASSERT_TRUE(CopyFileA((DriverFolder() + "\\Karvelo.exe").c_str(), program.c_str(), FALSE));
    WriteFileOfSize("C:\\no_shortcut.txt", 0);
    {
        KarveloProcess karvelo;
        ASSERT_TRUE(karvelo.Start(program, "C:\\"));
        HWND window = karvelo.WaitForMainWindow();
        ASSERT_NE(nullptr, window);
        EXPECT_TRUE(karvelo.MessageBoxes().empty()) << "the marker at the root was not found";
        EXPECT_TRUE(FileExistsAt("C:\\app.log"));
        PostMessageA(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(0u, karvelo.WaitForExit());
    }
    for (const char* file : files) RemoveTree(file);
    DeleteFileA(program.c_str());
}

TEST(Shutdown, ClosingWithNoRunEndsTheProcessWithCodeZero) {
    std::string folder = QuietFolder("close");
    {
        // The 关闭 button.
        KarveloProcess karvelo;
        HWND window = StartAndWait(&karvelo, folder);
        ASSERT_NE(nullptr, window);
        HWND closeButton = GetDlgItem(window, 36117);
        ASSERT_EQ("关闭", WindowText(closeButton));
        PostMessageA(closeButton, BM_CLICK, 0, 0);
        EXPECT_EQ(0u, karvelo.WaitForExit());
    }
    {
        // The caption's close box, through the system menu command.
        KarveloProcess karvelo;
        HWND window = StartAndWait(&karvelo, folder);
        ASSERT_NE(nullptr, window);
        PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_EQ(0u, karvelo.WaitForExit());
    }
}

}  // namespace
