#include "ui/shell_utilities.h"

#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>

#include "platform/fs.h"
#include "ui/ui_texts.h"
#include "util/strings.h"

namespace {

const char BROWSER_PROBE_NAME[] = "temp.html";
const char BROWSER_FALLBACK[] = "iexplore.exe";
const char PROGRAM_CHOOSER[] = "OpenWith.exe";
const int DEFAULT_FONT_WEIGHT = 400;
const int BROWSE_INITIAL_PATH_BYTES = 1024;
// ShellExecuteA and FindExecutableA report success with a value above this.
const INT_PTR SHELL_SUCCESS_ABOVE = 32;

HFONT defaultFont = nullptr;
char* browseInitialPath = nullptr;

bool ShellSucceeded(HINSTANCE result) { return reinterpret_cast<INT_PTR>(result) > SHELL_SUCCESS_ABOVE; }

HINSTANCE ShellOpen(const char* file, const char* parameters) {
    return ShellExecuteA(nullptr, "open", file, parameters, nullptr, SW_SHOW);
}

// "%s\\temp.html" in the folder of the log (ChooseStateFolder), worked out
// once.  The file only exists so the shell can be asked which program opens
// .html files.
const char* BrowserProbePath() {
    static char path[MAX_PATH_BYTES] = {};
    if (path[0] == '\0') {
        char program[MAX_PATH_BYTES], folder[MAX_PATH_BYTES];
        if (GetProgramFolder(program, sizeof program)) {
            ChooseStateFolder(program, 1, folder, sizeof folder);
            std::snprintf(path, sizeof path, "%s\\%s", folder, BROWSER_PROBE_NAME);
        } else {
            std::snprintf(path, sizeof path, "%s", BROWSER_PROBE_NAME);
        }
    }
    return path;
}

LOGFONTA StockGuiFont() {
    LOGFONTA font;
    std::memset(&font, 0, sizeof font);
    GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
    return font;
}

void CopyFaceName(LOGFONTA* font, const char* face) {
    std::snprintf(font->lfFaceName, sizeof font->lfFaceName, "%s", face);
}

}  // namespace

void OpenInBrowser(const char* address) {
    FILE* probe = OpenFileByPath(BrowserProbePath(), "a");
    if (probe != nullptr) CloseFile(probe);

    char browser[MAX_PATH] = {};
    HINSTANCE found = FindExecutableA(BrowserProbePath(), nullptr, browser);
    if (!ShellSucceeded(found) || EndsWithNoCase(browser, PROGRAM_CHOOSER)) {
        // No browser of its own: let the shell handle the address.
        if (ShellSucceeded(ShellOpen(address, nullptr))) return;
        ShellOpen(BROWSER_FALLBACK, address);
        return;
    }
    if (ShellSucceeded(ShellOpen(browser, address))) return;
    if (!EndsWithNoCase(browser, BROWSER_FALLBACK)) {
        ShellOpen(BROWSER_FALLBACK, address);
    } else {
        ShellOpen(address, nullptr);
    }
}

void OpenSitePage(const char* path) {
    char address[MAX_PATH_BYTES];
    std::snprintf(address, sizeof address, "http://%s%s", SITE_HOST, path);
    OpenInBrowser(address);
}

HRESULT CreateShortcut(const char* target, const char* arguments, const char* shortcutPath,
                       const char* description, int showCommand, const char* workingDirectory,
                       const char* iconPath, int iconIndex) {
    if (target == nullptr || target[0] == '\0' || arguments == nullptr || shortcutPath == nullptr ||
        shortcutPath[0] == '\0' || description == nullptr || showCommand < 0 || workingDirectory == nullptr ||
        iconPath == nullptr || iconIndex < 0) {
        return E_INVALIDARG;
    }
    IShellLinkA* link = nullptr;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                      reinterpret_cast<void**>(&link));
    if (FAILED(result)) return result;

    link->SetPath(target);
    link->SetArguments(arguments);
    if (description[0] != '\0') link->SetDescription(description);
    if (showCommand != 0) link->SetShowCmd(showCommand);
    if (workingDirectory[0] != '\0') link->SetWorkingDirectory(workingDirectory);
    if (iconPath[0] != '\0') link->SetIconLocation(iconPath, iconIndex);

    IPersistFile* file = nullptr;
    result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    if (SUCCEEDED(result)) {
        WCHAR widePath[MAX_PATH] = {};
        MultiByteToWideChar(CP_ACP, 0, shortcutPath, -1, widePath, MAX_PATH);
        result = file->Save(widePath, TRUE);
        file->Release();
    }
    link->Release();
    return result;
}

int GetSpecialFolderPath(int folderId, char* buffer) {
    LPITEMIDLIST list = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, folderId, &list))) return 0;
    BOOL converted = SHGetPathFromIDListA(list, buffer);
    CoTaskMemFree(list);
    return converted;
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
        LOGFONTA font = StockGuiFont();
        CopyFaceName(&font, FONT_FACE_SONG);
        font.lfWeight = DEFAULT_FONT_WEIGHT;
        HDC screen = GetDC(GetDesktopWindow());
        int dpi = GetDeviceCaps(screen, LOGPIXELSX);
        ReleaseDC(GetDesktopWindow(), screen);
        font.lfHeight = ScaleFontHeightForDpi(font.lfHeight, dpi);
        defaultFont = CreateFontIndirectA(&font);
    }
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(defaultFont), TRUE);
}

void SetControlFont(HWND control, const char* face, int height, int weight, int underline, int italic) {
    LOGFONTA font = StockGuiFont();
    CopyFaceName(&font, face);
    font.lfHeight = height;
    font.lfWeight = weight;
    font.lfUnderline = static_cast<BYTE>(underline != 0);
    font.lfItalic = static_cast<BYTE>(italic != 0);
    HFONT made = CreateFontIndirectA(&font);
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(made), TRUE);
}

int ChooseFile(HINSTANCE instance, HWND owner, const char* title, const char* filter, char* folder,
               char* file) {
    OPENFILENAMEA dialog;
    std::memset(&dialog, 0, sizeof dialog);
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.hInstance = instance;
    dialog.lpstrFile = file;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrTitle = title;
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 1;
    dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
    if (folder != nullptr && folder[0] != '\0') dialog.lpstrInitialDir = folder;
    if (!GetOpenFileNameA(&dialog)) return 0;
    if (folder != nullptr) {
        // Up to the backslash before the file name: "C:" for a file at a
        // drive root.
        size_t length = dialog.nFileOffset > 0 ? dialog.nFileOffset - 1 : 0;
        std::memcpy(folder, file, length);
        folder[length] = '\0';
    }
    return 1;
}

int ChooseFolder(HWND owner, const char* title, char* path, int newFolderButton) {
    if (browseInitialPath == nullptr) {
        browseInitialPath = new char[BROWSE_INITIAL_PATH_BYTES]();
    }
    std::snprintf(browseInitialPath, BROWSE_INITIAL_PATH_BYTES, "%s", path);

    BROWSEINFOA browse;
    std::memset(&browse, 0, sizeof browse);
    browse.hwndOwner = owner;
    browse.pszDisplayName = path;
    browse.lpszTitle = title;
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    if (!newFolderButton) browse.ulFlags |= BIF_NONEWFOLDERBUTTON;
    browse.lpfn = BrowseCallback;
    LPITEMIDLIST chosen = SHBrowseForFolderA(&browse);
    if (chosen == nullptr) return 0;
    SHGetPathFromIDListA(chosen, path);
    CoTaskMemFree(chosen);
    return 1;
}

int CALLBACK BrowseCallback(HWND dialog, UINT message, LPARAM parameter, LPARAM data) {
    if (message == BFFM_INITIALIZED) {
        SendMessageA(dialog, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(browseInitialPath));
    } else if (message == BFFM_SELCHANGED) {
        char selected[MAX_PATH] = {};
        BOOL isFolder = SHGetPathFromIDListA(reinterpret_cast<LPITEMIDLIST>(parameter), selected);
        PostMessageA(dialog, BFFM_ENABLEOK, 0, isFolder ? 1 : 0);
    }
    return 0;
}

void SetWindowIcon(HINSTANCE instance, HWND window, int id) {
    HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(id));
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
}
