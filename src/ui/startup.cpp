#include "platform/net.h"  // Winsock before <windows.h>

#include "ui/startup.h"

#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fs.h"
#include "ui/application_state.h"
#include "ui/main_window.h"
#include "ui/shell_utilities.h"
#include "ui/ui_texts.h"
#include "update/update_check.h"
#include "util/app_log.h"
#include "util/files.h"
#include "util/front_end.h"

const char SHORTCUT_NAME[] = "Tessavo";
const char SHORTCUT_MARKER_NAME[] = "no_shortcut.txt";

namespace {

const WORD WINSOCK_VERSION_WANTED = MAKEWORD(2, 2);
const char ARCHIVE_FOLDER_MARK[] = "\\Temp\\";

HHOOK shortcutPromptHook = nullptr;

int ShowMessageBox(const char* text, const char* caption, unsigned style) {
    return MessageBoxA(appState.mainWindow, text, caption, style);
}

void ExitWithCode(int code) { std::exit(code); }

void EndWithError(const char* text) {
    ShowMessage(text, CAPTION_ERROR, MESSAGE_OK | MESSAGE_ICON_ERROR);
    EndProcess(EXIT_START_FAILED);
}

}  // namespace

void ComputeProgramFolder(char* folder, int size) {
    if (!GetProgramFolder(folder, size)) GetCurrentDirectoryA(static_cast<DWORD>(size), folder);
}

int IsArchiveTempFolder(const char* folder) {
    return std::strchr(folder, '$') != nullptr && std::strstr(folder, ARCHIVE_FOLDER_MARK) != nullptr;
}

void InstallWindowsFrontEnd() {
    static const FrontEnd windows = {ShowMessageBox, ExitWithCode, nullptr};
    SetFrontEnd(&windows);
}

void RefuseArchiveFolder() {
    // Before the log is open, so not logged.
    ShowMessage(MESSAGE_UNPACK_FIRST, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_ERROR);
    OpenSitePage(PAGE_UNPACKING);
    EndProcess(EXIT_START_FAILED);
}

void StartWinsock() {
    WSADATA data;
    if (WSAStartup(WINSOCK_VERSION_WANTED, &data) != 0) {
        LogLine(MESSAGE_WINSOCK_FAILED);
        EndWithError(MESSAGE_WINSOCK_FAILED);
        return;
    }
    if (data.wVersion != WINSOCK_VERSION_WANTED) {
        LogLine(MESSAGE_WINSOCK_VERSION);
        WSACleanup();
        EndWithError(MESSAGE_WINSOCK_VERSION);
    }
}

ATOM RegisterMainWindowClass(HINSTANCE instance, HICON icon) {
    WNDCLASSEXA windowClass;
    std::memset(&windowClass, 0, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = icon;
    windowClass.hIconSm = icon;
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    windowClass.lpszClassName = MAIN_WINDOW_CLASS;
    return RegisterClassExA(&windowClass);
}

namespace {

// The update check's window: the notice box on page 1 and the browser.
void SetNoticeText(void*, const char* text) { SetWindowTextA(appState.noticeBox, text); }
void OpenPage(void*, const char* url) { OpenInBrowser(url); }

}  // namespace

unsigned StartupThread(void*) {
    UpdateView view = {nullptr, SetNoticeText, OpenPage};
    UpdateCheck(&view);
    return 0;
}

LRESULT CALLBACK ShortcutPromptHook(int code, WPARAM wParam, LPARAM) {
    if (code == HCBT_ACTIVATE) {
        HWND box = reinterpret_cast<HWND>(wParam);
        SetDlgItemTextA(box, IDNO, TEXT_DONT_ASK_AGAIN);
        SetDlgItemTextA(box, IDCANCEL, TEXT_NO);
        UnhookWindowsHookEx(shortcutPromptHook);
        shortcutPromptHook = nullptr;
    }
    return 0;
}

void OfferDesktopShortcut() {
    char desktop[MAX_PATH] = {};
    GetSpecialFolderPath(CSIDL_DESKTOP, desktop);
    char shortcutPath[MAX_PATH_BYTES];
    std::snprintf(shortcutPath, sizeof shortcutPath, "%s\\%s.lnk", desktop, SHORTCUT_NAME);
    char markerPath[MAX_PATH_BYTES];
    std::snprintf(markerPath, sizeof markerPath, "%s\\%s", appState.programFolder, SHORTCUT_MARKER_NAME);
    if (FileExists(shortcutPath) || FileExists(markerPath)) return;

    shortcutPromptHook = SetWindowsHookExA(WH_CBT, ShortcutPromptHook, nullptr, GetCurrentThreadId());
    int answer = ShowMessage(QUESTION_DESKTOP_SHORTCUT, CAPTION_QUESTION, MESSAGE_YES_NO_CANCEL | MESSAGE_ICON_QUESTION);
    if (answer == IDYES) {
        char program[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, program, sizeof program);
        CoInitialize(nullptr);
        HRESULT result =
            CreateShortcut(program, "", shortcutPath, "", SW_SHOW, appState.programFolder, program, 0);
        if (FAILED(result)) {
            ShowMessage(MESSAGE_SHORTCUT_FAILED, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_ERROR);
        } else {
            ShowMessage(MESSAGE_SHORTCUT_CREATED, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_INFORMATION);
        }
        CoUninitialize();
    } else if (answer == IDNO) {
        // "不用再提示": an empty marker; if it cannot be written the question
        // simply comes again.
        FILE* marker = OpenFileByPath(markerPath, "w");
        if (marker != nullptr) CloseFile(marker);
    }
}

int RunMessageLoop() {
    MSG message;
    // GetMessageA gives -1 only for an invalid window filter, which a null
    // filter is not; stopping there too keeps the loop from spinning.
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        bool onHelp = message.hwnd == appState.helpLink;
        bool onSite = message.hwnd == appState.siteLink;
        if (message.message == WM_MOUSEMOVE) {
            // All static controls share one class cursor: the hand over the
            // links, the arrow everywhere else.
            LPCSTR cursor = onHelp || onSite ? IDC_HAND : IDC_ARROW;
            SetClassLongPtrA(appState.helpLink, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(LoadCursor(nullptr, cursor)));
        } else if (message.message == WM_LBUTTONDOWN && (onHelp || onSite)) {
            OpenSitePage(onHelp ? PAGE_TUTORIAL : PAGE_HOME);
            continue;
        }
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}
