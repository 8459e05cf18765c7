#include "platform/net.h"  // Winsock before <windows.h>

#include "win/gui_driver.h"

#include <commctrl.h>
#include <shlobj.h>
#include <gdiplus.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/charset.h"
#include "ui/wide_text.h"
#include "util/charset.h"

namespace {

const DWORD POLL_MS = 50;
const char KARVELO_CLASS[] = "CodeBlocksWindowsApp";
const char DIALOG_CLASS[] = "#32770";

void MakeFolders(const std::string& path) {
    // Each level in turn; existing ones are fine.
    for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1)) {
        CreateDirectoryW(Wide(path.substr(0, at)).c_str(), nullptr);
    }
    CreateDirectoryW(Wide(path).c_str(), nullptr);
}

struct WindowsOfProcess {
    DWORD process;
    std::vector<HWND>* windows;
};

BOOL CALLBACK CollectWindowOfProcess(HWND window, LPARAM parameter) {
    WindowsOfProcess* collect = reinterpret_cast<WindowsOfProcess*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (collect->process == 0 || owner == collect->process) collect->windows->push_back(window);
    return TRUE;
}

BOOL CALLBACK CollectChild(HWND window, LPARAM parameter) {
    reinterpret_cast<std::vector<HWND>*>(parameter)->push_back(window);
    return TRUE;
}

}  // namespace

std::wstring Wide(const std::string& text) { return WideText(text.c_str()).get(); }

std::string CoreText(const wchar_t* wide, size_t units) {
    std::string text(units * 4 + 1, '\0');
    int written = 0;
    ConvertCharset(ENCODING_UTF16LE, CORE_CHARSET, reinterpret_cast<const char*>(wide), static_cast<int>(units * 2),
                   &text[0], static_cast<int>(text.size()), &written);
    text.resize(static_cast<size_t>(written));
    return text;
}

bool WaitUntil(const std::function<bool()>& condition) {
    for (DWORD waited = 0; waited < WAIT_LIMIT_MS; waited += POLL_MS) {
        if (condition()) return true;
        Sleep(POLL_MS);
    }
    return condition();
}

std::string DriverFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* cut = std::wcsrchr(path, L'\\');
    if (cut != nullptr) *cut = L'\0';
    return CoreText(path, std::wcslen(path));
}

std::string FreshWorkFolder(const std::string& name) {
    std::string folder = DriverFolder() + "\\gui-work\\" + name;
    RemoveTree(folder);
    MakeFolders(folder);
    return folder;
}

std::string InstallKarvelo(const std::string& folder) {
    MakeFolders(folder);
    std::string program = folder + "\\Karvelo.exe";
    CopyFileW(Wide(DriverFolder() + "\\Karvelo.exe").c_str(), Wide(program).c_str(), FALSE);
    return program;
}

std::string DesktopFolder() {
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, path);
    return CoreText(path, std::wcslen(path));
}

std::string DesktopShortcutPath() { return DesktopFolder() + "\\Tessavo.lnk"; }

bool FileExistsAt(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

long long FileSizeAt(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool WriteFileOfSize(const std::string& path, size_t size) { return WriteBytesAt(path, std::string(size, 'x')); }

bool WriteBytesAt(const std::string& path, const std::string& bytes) {
    FILE* file = _wfopen(Wide(path).c_str(), L"wb");
    if (file == nullptr) return false;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

std::string ReadBytesAt(const std::string& path) {
    std::string bytes;
    FILE* file = _wfopen(Wide(path).c_str(), L"rb");
    if (file == nullptr) return bytes;
    char buffer[65536];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, got);
    std::fclose(file);
    return bytes;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(Wide(folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0) {
            names.push_back(CoreText(found.cFileName, std::wcslen(found.cFileName)));
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

void RemoveTree(const std::string& path) {
    DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(Wide(path).c_str());
        return;
    }
    for (const std::string& name : FolderEntries(path)) RemoveTree(path + "\\" + name);
    RemoveDirectoryW(Wide(path).c_str());
}

bool IsShown(HWND window) {
    for (HWND at = window; at != nullptr; at = GetAncestor(at, GA_PARENT)) {
        if (at == GetDesktopWindow()) break;
        if ((GetWindowLongA(at, GWL_STYLE) & WS_VISIBLE) == 0) return false;
    }
    return window != nullptr;
}

std::string WindowText(HWND window) {
    wchar_t text[4096] = {};
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, sizeof text / sizeof text[0], reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                        WAIT_LIMIT_MS, &copied);
    return CoreText(text, copied);
}

void SetWindowTextTo(HWND window, const std::string& text) {
    std::wstring wide = Wide(text);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()), SMTO_NORMAL, WAIT_LIMIT_MS,
                        &ignored);
}

std::string WindowClass(HWND window) {
    char name[256] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

RECT RectInParent(HWND window) {
    RECT rect;
    GetWindowRect(window, &rect);
    HWND parent = (GetWindowLongA(window, GWL_STYLE) & WS_CHILD) ? GetParent(window) : nullptr;
    if (parent != nullptr) MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

std::vector<HWND> ChildrenOf(HWND parent) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    return children;
}

KarveloProcess::~KarveloProcess() {
    if (process_ != nullptr) {
        if (Running()) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, WAIT_LIMIT_MS);
        }
        CloseHandle(process_);
    }
    if (explorer_ != nullptr) CloseHandle(explorer_);
}

bool KarveloProcess::Start(const std::string& program, const std::string& folder, int showCommand) {
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (showCommand >= 0) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = static_cast<WORD>(showCommand);
    }
    PROCESS_INFORMATION started;
    std::wstring commandLine = L"\"" + Wide(program) + L"\"";
    if (!CreateProcessW(Wide(program).c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        Wide(folder).c_str(), &startup, &started)) {
        return false;
    }
    CloseHandle(started.hThread);
    process_ = started.hProcess;
    id_ = started.dwProcessId;
    return true;
}

bool KarveloProcess::StartInVirtualDesktop(const std::string& program, const std::string& desktop, int width,
                                           int height) {
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    char commandLine[1024];
    std::snprintf(commandLine, sizeof commandLine, "explorer.exe /desktop=%s,%dx%d \"%s\"", desktop.c_str(), width,
                  height, program.c_str());
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        return false;
    }
    CloseHandle(started.hThread);
    explorer_ = started.hProcess;
    desktop_ = desktop;
    // The program's own process is known once its window shows.
    return true;
}

std::vector<HWND> KarveloProcess::TopLevelWindows() {
    std::vector<HWND> windows;
    WindowsOfProcess collect = {id_, &windows};
    if (desktop_.empty()) {
        EnumWindows(CollectWindowOfProcess, reinterpret_cast<LPARAM>(&collect));
    } else {
        HDESK desktop = OpenDesktopA(desktop_.c_str(), 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE);
        if (desktop != nullptr) {
            EnumDesktopWindows(desktop, CollectWindowOfProcess, reinterpret_cast<LPARAM>(&collect));
            CloseDesktop(desktop);
        }
    }
    return windows;
}

bool KarveloProcess::Settle(HWND window) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, WAIT_LIMIT_MS, &result) != 0;
}

bool KarveloProcess::SettlePosted(HWND progressBar) {
    const WPARAM marker = 37;
    if (!PostMessageA(progressBar, PBM_SETPOS, marker, 0)) return false;
    for (DWORD waited = 0; waited < WAIT_LIMIT_MS; waited += POLL_MS) {
        DWORD_PTR position = 0;
        if (!SendMessageTimeoutA(progressBar, PBM_GETPOS, 0, 0, SMTO_NORMAL, WAIT_LIMIT_MS, &position)) return false;
        if (position == marker) {
            return SendMessageTimeoutA(progressBar, PBM_SETPOS, 0, 0, SMTO_NORMAL, WAIT_LIMIT_MS, &position) != 0;
        }
        Sleep(POLL_MS);
    }
    return false;
}

HWND KarveloProcess::WaitForMainWindow() {
    for (DWORD waited = 0; waited < WAIT_LIMIT_MS; waited += POLL_MS) {
        for (HWND window : TopLevelWindows()) {
            if (WindowClass(window) != KARVELO_CLASS) continue;
            if (process_ == nullptr) {
                GetWindowThreadProcessId(window, &id_);
                process_ = OpenProcess(PROCESS_ALL_ACCESS, FALSE, id_);
            }
            // The window is listed while its WM_CREATE still runs.  The
            // large icon is set after creation, centring and showing, just
            // before the shortcut offer; once a sent message finds it set,
            // the start-up is as far as the offer.  (Wine answers WM_GETICON
            // from another process with 0, so the probe asks from inside.)
            for (; waited < WAIT_LIMIT_MS; waited += POLL_MS) {
                ProbeRequest request = {};
                request.operation = PROBE_WINDOW_ICON;
                request.window = window;
                if (Probe(&request) && request.value != 0) return Settle(window) ? window : nullptr;
                if (!Running()) return nullptr;
                Sleep(POLL_MS);
            }
            return nullptr;
        }
        if (process_ != nullptr && !Running()) return nullptr;
        Sleep(POLL_MS);
    }
    return nullptr;
}

std::vector<HWND> KarveloProcess::MessageBoxes() {
    std::vector<HWND> boxes;
    for (HWND window : TopLevelWindows()) {
        if (WindowClass(window) == DIALOG_CLASS) boxes.push_back(window);
    }
    return boxes;
}

HWND KarveloProcess::WaitForMessageBox(const std::string& caption) {
    for (DWORD waited = 0; waited < WAIT_LIMIT_MS; waited += POLL_MS) {
        for (HWND box : MessageBoxes()) {
            // Visible means created, shown and activated (the shortcut
            // question renames its buttons on activation).
            if (IsShown(box) && WindowText(box) == caption && Settle(box)) return box;
        }
        if (process_ != nullptr && !Running()) return nullptr;
        Sleep(POLL_MS);
    }
    return nullptr;
}

DWORD KarveloProcess::WaitForExit() {
    if (process_ == nullptr || WaitForSingleObject(process_, WAIT_LIMIT_MS) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_, &code);
    return code;
}

bool KarveloProcess::Running() { return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

namespace {

// Runs `routine(argument)` on a new thread of `process`; the thread's exit code.
bool RunRemote(HANDLE process, void* routine, void* argument, DWORD* exitCode) {
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(routine), argument,
                                       0, nullptr);
    if (thread == nullptr) return false;
    bool finished = WaitForSingleObject(thread, WAIT_LIMIT_MS) == WAIT_OBJECT_0;
    if (finished) GetExitCodeThread(thread, exitCode);
    CloseHandle(thread);
    return finished;
}

// Where the module named `name` (a file name, any case) is loaded in
// process `id`, or null.  A thread's exit code is 32 bits, so LoadLibrary
// run as a remote thread cannot hand back a 64-bit process's module handle.
void* RemoteModuleBase(DWORD id, const wchar_t* name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, id);
    if (snapshot == INVALID_HANDLE_VALUE) return nullptr;
    void* base = nullptr;
    MODULEENTRY32W module;
    module.dwSize = sizeof module;
    for (BOOL more = Module32FirstW(snapshot, &module); more && base == nullptr;
         more = Module32NextW(snapshot, &module)) {
        if (_wcsicmp(module.szModule, name) == 0) base = module.modBaseAddr;
    }
    CloseHandle(snapshot);
    return base;
}

}  // namespace

bool KarveloProcess::Probe(ProbeRequest* request) {
    std::string probePath = DriverFolder() + "\\karvelo_probe.dll";
    HMODULE local = LoadLibraryA(probePath.c_str());
    if (local == nullptr || process_ == nullptr) return false;
    // Wine starts a remote thread by signalling a thread of the program
    // that is not waiting; one inside malloc deadlocks in the handler.  Once
    // idle, the main thread waits in its message loop and takes the request
    // there; from its first probe on, the probe keeps a thread of its own
    // waiting for all later ones.
    if (!probeParked_) WaitForInputIdle(process_, WAIT_LIMIT_MS);
    if (probeModule_ == nullptr) {
        // LoadLibraryA lies at the same address in every process of the
        // prefix (kernel32 is never relocated).
        void* remotePath =
            VirtualAllocEx(process_, nullptr, probePath.size() + 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        WriteProcessMemory(process_, remotePath, probePath.c_str(), probePath.size() + 1, nullptr);
        void* loadLibrary = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "LoadLibraryA"));
        DWORD loaded = 0;
        bool ran = RunRemote(process_, loadLibrary, remotePath, &loaded);
        VirtualFreeEx(process_, remotePath, 0, MEM_RELEASE);
        if (!ran || loaded == 0) return false;
        probeModule_ = RemoteModuleBase(id_, L"karvelo_probe.dll");
        if (probeModule_ == nullptr) return false;
    }
    FARPROC localEntry = GetProcAddress(local, PROBE_ENTRY);
    if (localEntry == nullptr) return false;
    UINT_PTR offset = reinterpret_cast<UINT_PTR>(localEntry) - reinterpret_cast<UINT_PTR>(local);
    void* entry = static_cast<char*>(probeModule_) + offset;

    void* remoteRequest = VirtualAllocEx(process_, nullptr, sizeof *request, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    WriteProcessMemory(process_, remoteRequest, request, sizeof *request, nullptr);
    DWORD ok = 0;
    bool ran = RunRemote(process_, entry, remoteRequest, &ok);
    probeParked_ = probeParked_ || ran;
    if (ran) ReadProcessMemory(process_, remoteRequest, request, sizeof *request, nullptr);
    VirtualFreeEx(process_, remoteRequest, 0, MEM_RELEASE);
    return ran && request->ok == 1;
}

std::string MessageBoxText(HWND box) {
    std::vector<HWND> children;
    EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&children));
    for (HWND child : children) {
        if (WindowClass(child) == "Static") {
            std::string text = WindowText(child);
            if (!text.empty()) return text;
        }
    }
    return std::string();
}

void AnswerMessageBox(HWND box, int id) {
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
}

std::string UnixPath(const std::string& windowsPath) {
    typedef char*(CDECL * UnixFileName)(const WCHAR*);
    UnixFileName convert = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr) return std::string();
    char* unix = convert(Wide(windowsPath).c_str());
    if (unix == nullptr) return std::string();
    std::string result = unix;
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

bool RunUnixProgram(const std::string& commandLine) {
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    std::string command = commandLine;
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        return false;
    }
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return true;
}

bool TakeScreenshot(const std::string& pngPath, Picture* picture) {
    DeleteFileW(Wide(pngPath).c_str());
    std::string unixPng = UnixPath(pngPath);
    if (unixPng.empty()) return false;
    // Wine cannot wait for a Unix process: the picture is written under
    // another name and renamed when whole, and its arrival is the signal.
    std::string part = unixPng + ".part";
    RunUnixProgram("/bin/sh -c \"/usr/bin/import -window root 'PNG:" + part + "' && mv '" + part + "' '" + unixPng +
                   "'\"");
    if (!WaitUntil([&] { return FileExistsAt(pngPath); })) return false;

    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return false;
    bool ok = false;
    {
        Gdiplus::Bitmap bitmap(Wide(pngPath).c_str());
        Gdiplus::Rect all(0, 0, static_cast<INT>(bitmap.GetWidth()), static_cast<INT>(bitmap.GetHeight()));
        Gdiplus::BitmapData data;
        if (bitmap.GetLastStatus() == Gdiplus::Ok && all.Width > 0 &&
            bitmap.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppRGB, &data) == Gdiplus::Ok) {
            picture->width = all.Width;
            picture->height = all.Height;
            picture->pixels.resize(static_cast<size_t>(all.Width) * all.Height);
            for (int y = 0; y < all.Height; ++y) {
                const unsigned int* row = reinterpret_cast<const unsigned int*>(
                    static_cast<const unsigned char*>(data.Scan0) + static_cast<ptrdiff_t>(y) * data.Stride);
                for (int x = 0; x < all.Width; ++x)
                    picture->pixels[static_cast<size_t>(y) * all.Width + x] = row[x] & 0xFFFFFF;
            }
            bitmap.UnlockBits(&data);
            ok = true;
        }
    }
    Gdiplus::GdiplusShutdown(token);
    return ok;
}

namespace {

// A block of memory in another process, released with the object.
class RemoteBlock {
public:
    RemoteBlock(HANDLE process, size_t size)
        : process_(process),
          address_(VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {}
    ~RemoteBlock() {
        if (address_ != nullptr) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
    }
    RemoteBlock(const RemoteBlock&) = delete;
    RemoteBlock& operator=(const RemoteBlock&) = delete;
    char* address() const { return static_cast<char*>(address_); }
    bool Write(size_t offset, const void* bytes, size_t size) {
        return WriteProcessMemory(process_, address() + offset, bytes, size, nullptr) != 0;
    }
    bool Read(size_t offset, void* bytes, size_t size) {
        return ReadProcessMemory(process_, address() + offset, bytes, size, nullptr) != 0;
    }

private:
    HANDLE process_;
    void* address_;
};

const size_t LIST_TEXT_UNITS = 1024;

}  // namespace

std::string KarveloProcess::ListItemText(HWND list, int row, int subItem) {
    RemoteBlock block(process_, sizeof(LVITEMW) + LIST_TEXT_UNITS * sizeof(wchar_t));
    if (block.address() == nullptr) return std::string();
    LVITEMW item;
    std::memset(&item, 0, sizeof item);
    item.iSubItem = subItem;
    item.pszText = reinterpret_cast<wchar_t*>(block.address() + sizeof(LVITEMW));
    item.cchTextMax = static_cast<int>(LIST_TEXT_UNITS);
    wchar_t text[LIST_TEXT_UNITS] = {};
    if (!block.Write(0, &item, sizeof item) || !block.Write(sizeof(LVITEMW), text, sizeof text[0])) {
        return std::string();
    }
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(block.address()));
    if (!block.Read(sizeof(LVITEMW), text, sizeof text - sizeof text[0])) return std::string();
    return CoreText(text, std::wcslen(text));
}

bool KarveloProcess::SelectListRow(HWND list, int row) {
    RemoteBlock block(process_, sizeof(LVITEMA));
    if (block.address() == nullptr) return false;
    LVITEMA item;
    std::memset(&item, 0, sizeof item);
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = row >= 0 ? LVIS_SELECTED | LVIS_FOCUSED : 0;
    if (!block.Write(0, &item, sizeof item)) return false;
    // Row -1 addresses every row.
    return SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(block.address())) !=
           0;
}

std::string KarveloProcess::ListInfoTip(HWND window, HWND list, int row, int units) {
    const wchar_t unanswered[] = L"(unanswered)";
    ProbeRequest request = {};
    request.operation = PROBE_INFO_TIP;
    request.window = window;
    request.otherWindow = list;
    request.resource = row;
    request.value = units;
    std::memcpy(request.files, unanswered, sizeof unanswered);
    if (!Probe(&request)) return "(no probe)";
    request.files[sizeof request.files / sizeof request.files[0] - 1] = L'\0';
    return CoreText(request.files, std::wcslen(request.files));
}

namespace {

// Winsock for the test peers that serve Karvelo.exe (image servers, the
// update service), started once for the whole driver.
class WinsockEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    void TearDown() override { WSACleanup(); }
};
::testing::Environment* const winsockEnvironment = ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

}  // namespace
