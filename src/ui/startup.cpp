#include "platform/net.h"  // Winsock before <windows.h>

#include "ui/startup.h"

#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fs.h"
#include "ui/application_state.h"
#include "ui/main_window.h"
#include "ui/message_boxes.h"
#include "ui/shell_utilities.h"
#include "texts/texts.h"
#include "ui/wide_text.h"
#include "update/update_check.h"
#include "util/app_log.h"
#include "util/files.h"
#include "util/front_end.h"
#include "base/memory.h"

const char SHORTCUT_NAME[] = "Tessavo";
const char SHORTCUT_MARKER_NAME[] = "no_shortcut.txt";

namespace {

const WORD WINSOCK_VERSION_WANTED = MAKEWORD(2, 2);
const char ARCHIVE_FOLDER_MARK[] = "\\Temp\\";
// SetDefaultDllDirectories: Windows 8 on, and 7 and Vista with KB2533623.
const DWORD SEARCH_SYSTEM32_ONLY = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);

HHOOK shortcutPromptHook = nullptr;

void EndWithError(const char* text) {
    ShowMessage(text, CAPTION_ERROR, MESSAGE_OK | MESSAGE_ICON_ERROR);
    EndProgram(EXIT_START_FAILED);
}

// Out of memory: the box says so and the program ends with its own code.
void EndForLackOfMemory(size_t bytes) {
    char text[256];
    FormatOutOfMemoryMessage(bytes, text, sizeof text);
    ShowMessage(text, CAPTION_ERROR, MESSAGE_OK | MESSAGE_ICON_ERROR);
    EndProgram(EXIT_OUT_OF_MEMORY);
}

}  // namespace

void EndProgram(int code) { std::exit(code); }

void RestrictDllSearch() {
    FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (found == nullptr) return;
    reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)(void)>(found))(SEARCH_SYSTEM32_ONLY);
}

void StartComOnThisThread() {
    // The shell's dialogs and ShellExecuteEx want a single-threaded apartment.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
}

void ComputeProgramFolder(char* folder, int size) {
    int found = GetProgramFolder(folder, size);
    if (found == 1) return;
    if (found < 0) {
        // Working in another folder than the program's would put the log
        // and the backups where nobody looks for them.
        ShowMessage(MESSAGE_PROGRAM_FOLDER_UNUSABLE, CAPTION_ERROR, MESSAGE_OK | MESSAGE_ICON_ERROR);
        EndProgram(EXIT_START_FAILED);
        return;
    }
    wchar_t current[MAX_PATH_BYTES * 2];
    DWORD length = GetCurrentDirectoryW(sizeof current / sizeof current[0], current);
    if (length == 0 || length >= sizeof current / sizeof current[0] ||
        CorePathFromSystem(current, folder, size) != SYSTEM_PATH_OK) {
        ShowMessage(MESSAGE_PROGRAM_FOLDER_UNUSABLE, CAPTION_ERROR, MESSAGE_OK | MESSAGE_ICON_ERROR);
        EndProgram(EXIT_START_FAILED);
    }
}

int IsArchiveTempFolder(const char* folder) {
    return std::strchr(folder, '$') != nullptr && std::strstr(folder, ARCHIVE_FOLDER_MARK) != nullptr;
}

void InstallWindowsFrontEnd() {
    static const FrontEnd windows = {ShowMessageBox, nullptr};
    SetUserInterfaceThread();
    SetFrontEnd(&windows);
    SetOutOfMemoryHandler(EndForLackOfMemory);
}

void RefuseArchiveFolder() {
    // Before the log is open, so not logged.
    ShowMessage(MESSAGE_UNPACK_FIRST, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_ERROR);
    OpenSitePage(PAGE_UNPACKING);
    EndProgram(EXIT_START_FAILED);
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
    WNDCLASSEXW windowClass;
    std::memset(&windowClass, 0, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = icon;
    windowClass.hIconSm = icon;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    windowClass.lpszClassName = MAIN_WINDOW_CLASS;
    return RegisterClassExW(&windowClass);
}

namespace {

// The update check's window: the notice box on page 1 and the browser.
void SetNoticeText(void*, const char* text) { SetWindowCoreText(appState.noticeBox, text); }
void OpenPage(void*, const char* url) { OpenInBrowser(url); }

}  // namespace

unsigned StartupThread(void*) {
    // The browser is started from this thread.
    StartComOnThisThread();
    UpdateView view = {nullptr, SetNoticeText, OpenPage};
    UpdateFinding found = UpdateCheck(&view);
    CoUninitialize();
    if (UpdateEndsProgramNow(found)) EndProgram(0);
    return 0;
}

LRESULT CALLBACK ShortcutPromptHook(int code, WPARAM wParam, LPARAM) {
    if (code == HCBT_ACTIVATE) {
        HWND box = reinterpret_cast<HWND>(wParam);
        SetWindowCoreText(GetDlgItem(box, IDNO), TEXT_DONT_ASK_AGAIN);
        SetWindowCoreText(GetDlgItem(box, IDCANCEL), TEXT_NO);
        UnhookWindowsHookEx(shortcutPromptHook);
        shortcutPromptHook = nullptr;
    }
    return 0;
}

void OfferDesktopShortcut() {
    char desktop[MAX_PATH_BYTES] = {};
    // Without a desktop there is no place for the shortcut.
    if (!GetSpecialFolderPath(CSIDL_DESKTOP, desktop)) return;
    char shortcutPath[MAX_PATH_BYTES];
    std::snprintf(shortcutPath, sizeof shortcutPath, "%s\\%s.lnk", desktop, SHORTCUT_NAME);
    char markerPath[MAX_PATH_BYTES];
    std::snprintf(markerPath, sizeof markerPath, "%s\\%s", coreState.stateFolder, SHORTCUT_MARKER_NAME);
    if (FileExists(shortcutPath) || FileExists(markerPath)) return;

    shortcutPromptHook = SetWindowsHookExW(WH_CBT, ShortcutPromptHook, nullptr, GetCurrentThreadId());
    int answer =
        ShowMessage(QUESTION_DESKTOP_SHORTCUT, CAPTION_QUESTION, MESSAGE_YES_NO_CANCEL | MESSAGE_ICON_QUESTION);
    if (answer == IDYES) {
        // COM has been started on this thread since the start.
        char program[MAX_PATH_BYTES] = {};
        wchar_t module[MAX_PATH_BYTES * 2] = {};
        DWORD length = GetModuleFileNameW(nullptr, module, sizeof module / sizeof module[0]);
        HRESULT result = E_FAIL;
        if (length > 0 && length < sizeof module / sizeof module[0] &&
            CorePathFromSystem(module, program, sizeof program) == SYSTEM_PATH_OK) {
            result = CreateShortcut(program, "", shortcutPath, "", SW_SHOW, coreState.programFolder, program, 0);
        }
        if (FAILED(result)) {
            ShowMessage(MESSAGE_SHORTCUT_FAILED, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_ERROR);
        } else {
            ShowMessage(MESSAGE_SHORTCUT_CREATED, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_INFORMATION);
        }
    } else if (answer == IDNO) {
        // "不用再提示": an empty marker; if it cannot be written the question
        // simply comes again.
        FILE* marker = OpenFileByPath(markerPath, "w");
        if (marker != nullptr) CloseFile(marker);
    }
}

int RunMessageLoop() {
    MSG message;
    // GetMessageW gives -1 only for an invalid window filter, which a null
    // filter is not; stopping there too keeps the loop from spinning.
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        bool onHelp = message.hwnd == appState.helpLink;
        bool onSite = message.hwnd == appState.siteLink;
        if (message.message == WM_MOUSEMOVE) {
            // All static controls share one class cursor: the hand over the
            // links, the arrow everywhere else.
            LPCWSTR cursor = onHelp || onSite ? IDC_HAND : IDC_ARROW;
            SetClassLongPtrW(appState.helpLink, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(LoadCursorW(nullptr, cursor)));
        } else if (message.message == WM_LBUTTONDOWN && (onHelp || onSite)) {
            OpenSitePage(onHelp ? PAGE_TUTORIAL : PAGE_HOME);
            continue;
        }
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
