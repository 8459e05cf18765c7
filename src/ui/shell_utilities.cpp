#include "ui/shell_utilities.h"

#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/fs.h"
#include "platform/win32/wide_path.h"
#include "texts/texts.h"
#include "ui/wide_text.h"
#include "util/files.h"
#include "base/memory.h"

namespace {

const char BROWSER_PROBE_NAME[] = "temp.html";
const wchar_t BROWSER_FALLBACK[] = L"iexplore.exe";
const wchar_t PROGRAM_CHOOSER[] = L"OpenWith.exe";
const int DEFAULT_FONT_WEIGHT = 400;
const int BROWSE_INITIAL_PATH_UNITS = 1024;
// ShellExecuteEx and FindExecutable report success with a value above this.
const INT_PTR SHELL_SUCCESS_ABOVE = 32;
// The open-file dialog's buffer holds the longest path Windows has.
const DWORD FILE_DIALOG_UNITS = 32768;

HFONT defaultFont = nullptr;
wchar_t* browseInitialPath = nullptr;

bool ShellSucceeded(HINSTANCE result) { return reinterpret_cast<INT_PTR>(result) > SHELL_SUCCESS_ABOVE; }

bool EndsWithNoCase(const wchar_t* text, const wchar_t* end) {
    size_t length = std::wcslen(text), endLength = std::wcslen(end);
    return length >= endLength && _wcsicmp(text + length - endLength, end) == 0;
}

// The shell's "open"; true on success.  It has finished when it returns
// (SEE_MASK_NOASYNC), so a process that ends right after it, as after the
// "must" update notice, still gets its browser.  Failures stay silent: the
// caller tries the next way.
bool ShellOpen(const wchar_t* file, const wchar_t* parameters) {
    SHELLEXECUTEINFOW execute;
    std::memset(&execute, 0, sizeof execute);
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    execute.lpVerb = L"open";
    execute.lpFile = file;
    execute.lpParameters = parameters;
    execute.nShow = SW_SHOW;
    return ShellExecuteExW(&execute) && ShellSucceeded(execute.hInstApp);
}

// "%s\\temp.html" in the folder of the log (ChooseStateFolder), worked out
// once.  The file only exists so the shell can be asked which program opens
// .html files.
const char* BrowserProbePath() {
    static char path[MAX_PATH_BYTES] = {};
    if (path[0] == '\0') {
        char program[MAX_PATH_BYTES], folder[MAX_PATH_BYTES];
        if (GetProgramFolder(program, sizeof program) == 1) {
            ChooseStateFolder(program, 1, folder, sizeof folder);
            std::snprintf(path, sizeof path, "%s\\%s", folder, BROWSER_PROBE_NAME);
        } else {
            std::snprintf(path, sizeof path, "%s", BROWSER_PROBE_NAME);
        }
    }
    return path;
}

LOGFONTW StockGuiFont() {
    LOGFONTW font;
    std::memset(&font, 0, sizeof font);
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
    return font;
}

void CopyFaceName(LOGFONTW* font, const char* face) {
    WideText wide(face);
    std::wcsncpy(font->lfFaceName, wide.get(), LF_FACESIZE - 1);
    font->lfFaceName[LF_FACESIZE - 1] = L'\0';
}

// A dialog filter (label, pattern, ..., then an empty text) as UTF-16.
wchar_t* WideFilter(const char* filter) {
    size_t bytes = 0;
    while (filter[bytes] != '\0') bytes += std::strlen(filter + bytes) + 1;
    wchar_t* wide = static_cast<wchar_t*>(Allocate((bytes + 1) * sizeof(wchar_t)));
    size_t at = 0;
    for (const char* piece = filter; *piece != '\0'; piece += std::strlen(piece) + 1) {
        WideText text(piece);
        size_t units = std::wcslen(text.get());
        std::memcpy(wide + at, text.get(), (units + 1) * sizeof(wchar_t));
        at += units + 1;
    }
    wide[at] = L'\0';
    return wide;
}

}  // namespace

void OpenInBrowser(const char* address) {
    FILE* probe = OpenFileByPath(BrowserProbePath(), "a");
    if (probe != nullptr) CloseFile(probe);

    WideText wideAddress(address);
    WidePath probePath(BrowserProbePath());
    wchar_t browser[MAX_PATH] = {};
    HINSTANCE found = probePath.ok ? FindExecutableW(probePath.text, nullptr, browser) : nullptr;
    if (!ShellSucceeded(found) || EndsWithNoCase(browser, PROGRAM_CHOOSER)) {
        // No browser of its own: let the shell handle the address.
        if (ShellOpen(wideAddress.get(), nullptr)) return;
        ShellOpen(BROWSER_FALLBACK, wideAddress.get());
        return;
    }
    if (ShellOpen(browser, wideAddress.get())) return;
    if (!EndsWithNoCase(browser, BROWSER_FALLBACK)) {
        ShellOpen(BROWSER_FALLBACK, wideAddress.get());
    } else {
        ShellOpen(wideAddress.get(), nullptr);
    }
}

void OpenSitePage(const char* path) {
    char address[MAX_PATH_BYTES];
    std::snprintf(address, sizeof address, "http://%s%s", SITE_HOST, path);
    OpenInBrowser(address);
}

HRESULT CreateShortcut(const char* target, const char* arguments, const char* shortcutPath, const char* description,
                       int showCommand, const char* workingDirectory, const char* iconPath, int iconIndex) {
    if (target == nullptr || target[0] == '\0' || arguments == nullptr || shortcutPath == nullptr ||
        shortcutPath[0] == '\0' || description == nullptr || showCommand < 0 || workingDirectory == nullptr ||
        iconPath == nullptr || iconIndex < 0) {
        return E_INVALIDARG;
    }
    // Paths strictly: a link must not lead to a look-alike file.
    WidePath wideTarget(target), wideShortcut(shortcutPath), wideFolder(workingDirectory), wideIcon(iconPath);
    if (!wideTarget.ok || !wideShortcut.ok || !wideFolder.ok || !wideIcon.ok) return E_INVALIDARG;
    WideText wideArguments(arguments), wideDescription(description);
    IShellLinkW* link = nullptr;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                      reinterpret_cast<void**>(&link));
    if (FAILED(result)) return result;

    link->SetPath(wideTarget.text);
    link->SetArguments(wideArguments.get());
    if (description[0] != '\0') link->SetDescription(wideDescription.get());
    if (showCommand != 0) link->SetShowCmd(showCommand);
    if (workingDirectory[0] != '\0') link->SetWorkingDirectory(wideFolder.text);
    if (iconPath[0] != '\0') link->SetIconLocation(wideIcon.text, iconIndex);

    IPersistFile* file = nullptr;
    result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    if (SUCCEEDED(result)) {
        result = file->Save(wideShortcut.text, TRUE);
        file->Release();
    }
    link->Release();
    return result;
}

int GetSpecialFolderPath(int folderId, char* buffer) {
    LPITEMIDLIST list = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, folderId, &list))) return 0;
    wchar_t wide[MAX_PATH] = {};
    BOOL found = SHGetPathFromIDListW(list, wide);
    CoTaskMemFree(list);
    // A folder the core cannot name is no folder to it.
    return found && CorePathFromSystem(wide, buffer, MAX_PATH_BYTES) == SYSTEM_PATH_OK ? 1 : 0;
}

void FitWindowToCaption(HWND window, int width, int height) {
    int difference = GetSystemMetrics(SM_CYCAPTION) - LAYOUT_CAPTION_HEIGHT;
    SetWindowPos(window, nullptr, 0, 0, width, height + difference, SWP_NOMOVE | SWP_NOZORDER);
}

void CenterWindow(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    int clientWidth = client.right - client.left;
    int clientHeight = client.bottom - client.top;
    int x = (GetSystemMetrics(SM_CXSCREEN) - clientWidth) / 2;
    int y = (GetSystemMetrics(SM_CYMAXIMIZED) - clientHeight) / 2 - CENTER_LIFT;
    // No SWP_NOZORDER: the window also comes to the top.
    SetWindowPos(window, HWND_TOP, x, y, 0, 0, SWP_NOSIZE);
}

LONG ScaleFontHeightForDpi(LONG height, int dpi) {
    if (dpi <= BASE_DPI) return height;
    float scale = 1.0f + static_cast<float>(dpi - BASE_DPI) * 1.041666f / 100.0f;
    return static_cast<LONG>(static_cast<float>(height) / scale);
}

void ApplyDefaultFont(HWND control) {
    if (defaultFont == nullptr) {
        LOGFONTW font = StockGuiFont();
        CopyFaceName(&font, FONT_FACE_SONG);
        font.lfWeight = DEFAULT_FONT_WEIGHT;
        HDC screen = GetDC(GetDesktopWindow());
        int dpi = GetDeviceCaps(screen, LOGPIXELSX);
        ReleaseDC(GetDesktopWindow(), screen);
        font.lfHeight = ScaleFontHeightForDpi(font.lfHeight, dpi);
        defaultFont = CreateFontIndirectW(&font);
    }
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(defaultFont), TRUE);
}

void SetControlFont(HWND control, const char* face, int height, int weight, int underline, int italic) {
    LOGFONTW font = StockGuiFont();
    CopyFaceName(&font, face);
    font.lfHeight = height;
    font.lfWeight = weight;
    font.lfUnderline = static_cast<BYTE>(underline != 0);
    font.lfItalic = static_cast<BYTE>(italic != 0);
    HFONT made = CreateFontIndirectW(&font);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(made), TRUE);
}

int ChooseFile(HINSTANCE instance, HWND owner, const char* title, const char* filter, char* folder, char* file) {
    wchar_t* chosen = static_cast<wchar_t*>(AllocateZeroed(FILE_DIALOG_UNITS, sizeof(wchar_t)));
    wchar_t* wideFilter = WideFilter(filter);
    WideText wideTitle(title);
    WidePath initialFolder(folder != nullptr ? folder : "");
    OPENFILENAMEW dialog;
    std::memset(&dialog, 0, sizeof dialog);
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.hInstance = instance;
    dialog.lpstrFile = chosen;
    dialog.nMaxFile = FILE_DIALOG_UNITS;
    dialog.lpstrTitle = wideTitle.get();
    dialog.lpstrFilter = wideFilter;
    dialog.nFilterIndex = 1;
    dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
    if (folder != nullptr && folder[0] != '\0' && initialFolder.ok) dialog.lpstrInitialDir = initialFolder.text;
    int result = 0;
    if (GetOpenFileNameW(&dialog)) result = CorePathFromSystem(chosen, file, MAX_PATH_BYTES);
    std::free(wideFilter);
    std::free(chosen);
    if (result == SYSTEM_PATH_OK && folder != nullptr) {
        // Up to the separator before the file name: "C:" for a file at a
        // drive root.
        size_t length = static_cast<size_t>(FileNameOfPath(file) - file);
        if (length > 0) --length;
        std::memcpy(folder, file, length);
        folder[length] = '\0';
    }
    return result;
}

int ChooseFolder(HWND owner, const char* title, char* path, int newFolderButton) {
    if (browseInitialPath == nullptr) {
        browseInitialPath = static_cast<wchar_t*>(AllocateZeroed(BROWSE_INITIAL_PATH_UNITS, sizeof(wchar_t)));
    }
    WidePath initial(path);
    std::wcsncpy(browseInitialPath, initial.ok ? initial.text : L"", BROWSE_INITIAL_PATH_UNITS - 1);

    WideText wideTitle(title);
    wchar_t displayName[MAX_PATH] = {};
    BROWSEINFOW browse;
    std::memset(&browse, 0, sizeof browse);
    browse.hwndOwner = owner;
    browse.pszDisplayName = displayName;
    browse.lpszTitle = wideTitle.get();
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    if (!newFolderButton) browse.ulFlags |= BIF_NONEWFOLDERBUTTON;
    browse.lpfn = BrowseCallback;
    LPITEMIDLIST chosen = SHBrowseForFolderW(&browse);
    if (chosen == nullptr) return 0;
    wchar_t folder[MAX_PATH] = {};
    BOOL found = SHGetPathFromIDListW(chosen, folder);
    CoTaskMemFree(chosen);
    // A choice with no file-system path is no choice.
    if (!found) return 0;
    return CorePathFromSystem(folder, path, MAX_PATH_BYTES);
}

int CALLBACK BrowseCallback(HWND dialog, UINT message, LPARAM parameter, LPARAM data) {
    if (message == BFFM_INITIALIZED) {
        SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(browseInitialPath));
    } else if (message == BFFM_SELCHANGED) {
        wchar_t selected[MAX_PATH] = {};
        BOOL isFolder = SHGetPathFromIDListW(reinterpret_cast<LPITEMIDLIST>(parameter), selected);
        PostMessageW(dialog, BFFM_ENABLEOK, 0, isFolder ? 1 : 0);
    }
    return 0;
}

void SetWindowIcon(HINSTANCE instance, HWND window, int id) {
    HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(id));
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
}
