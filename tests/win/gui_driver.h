// Driving Karvelo.exe from outside, the way a person would: start it in a
// folder of its own, find its windows, read and press its controls, answer
// its message boxes, and see how the process ends.
//
// Every wait is bounded (WAIT_LIMIT_MS) only so that a broken program fails
// the test instead of hanging it; no test depends on how long anything takes.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <string>
#include <vector>

#include "win/probe/probe.h"

const DWORD WAIT_LIMIT_MS = 30000;

// Polls `condition` until it holds; false when it never did.
bool WaitUntil(const std::function<bool()>& condition);

// Texts and paths cross to the program and the file system as UTF-16, in
// and out of the core's form (which holds the GBK literals of the tests), so
// the driver works alike whatever the system's code page.
std::wstring Wide(const std::string& text);
std::string CoreText(const wchar_t* wide, size_t units);

// The folder of the test executable; Karvelo.exe and the probe lie there.
std::string DriverFolder();
// A fresh, empty folder "gui-work\<name>" under the driver's folder.
std::string FreshWorkFolder(const std::string& name);
// Copies Karvelo.exe into `folder` (created with its parents); the copy's path.
std::string InstallKarvelo(const std::string& folder);
// The user's desktop folder.
std::string DesktopFolder();
// The desktop shortcut the program offers, "<desktop>\Tessavo.lnk".
std::string DesktopShortcutPath();

bool FileExistsAt(const std::string& path);
// -1 when missing.
long long FileSizeAt(const std::string& path);
bool WriteFileOfSize(const std::string& path, size_t size);
bool WriteBytesAt(const std::string& path, const std::string& bytes);
// The file's bytes; empty when it cannot be read.
std::string ReadBytesAt(const std::string& path);
// The names in a folder (no "." and ".."), in no particular order.
std::vector<std::string> FolderEntries(const std::string& folder);
void RemoveTree(const std::string& path);

// Whether the window and its parents carry WS_VISIBLE.  IsWindowVisible
// also asks the desktop, and a program in a Wine virtual desktop runs on
// another desktop than the driver.
bool IsShown(HWND window);

// WM_GETTEXT and WM_SETTEXT through the ...W calls.
std::string WindowText(HWND window);
void SetWindowTextTo(HWND window, const std::string& text);
std::string WindowClass(HWND window);
// The window's rectangle in its parent's client coordinates (or the screen's
// for a top-level window).
RECT RectInParent(HWND window);
// The children of `parent` in stacking order (first = top).
std::vector<HWND> ChildrenOf(HWND parent);

// A running Karvelo.exe.  The destructor ends it if it still runs.
class KarveloProcess {
public:
    KarveloProcess() = default;
    ~KarveloProcess();
    KarveloProcess(const KarveloProcess&) = delete;
    KarveloProcess& operator=(const KarveloProcess&) = delete;

    // Starts `program` in `folder`, with `showCommand` (SW_...) as the show
    // command its WinMain gets when it is not -1.
    bool Start(const std::string& program, const std::string& folder, int showCommand = -1);
    // Starts the program through `explorer /desktop=NAME,WxH`, so it runs in
    // a Wine virtual desktop of that name (whose windows have captions even
    // without a window manager).
    bool StartInVirtualDesktop(const std::string& program, const std::string& desktop, int width, int height);

    // The main window (class CodeBlocksWindowsApp), once the user-interface
    // thread has finished creating it and is taking messages; null when it
    // does not come.
    HWND WaitForMainWindow();
    // A message box of this process with this caption, or null.
    HWND WaitForMessageBox(const std::string& caption);
    // The message boxes open right now.
    std::vector<HWND> MessageBoxes();
    // Waits for the process to end; its exit code, or STILL_ACTIVE.
    DWORD WaitForExit();
    bool Running();
    // Makes sure that messages sent so far have been handled.
    bool Settle(HWND window);
    // Makes sure that messages posted so far have been handled: posts a
    // position to the (idle) progress bar and waits until it reads back,
    // then puts the bar back to 0.  Posted messages are handled in order,
    // after every sent one, so Settle alone cannot tell.
    bool SettlePosted(HWND progressBar);

    // Runs a probe request inside the process (see probe.h); false when the
    // probe could not run.
    bool Probe(ProbeRequest* request);

    // A list view row's sub-item text, read through this process's memory
    // (a list cannot hand its texts to another process by itself).
    std::string ListItemText(HWND list, int row, int subItem);
    // Selects `row` of a list view (focus and selection), or clears the
    // selection when `row` is -1, the way a click does; its change
    // notifications go to the list's parent as usual.
    bool SelectListRow(HWND list, int row);
    // The info tip `window` gives for `row` of `list`, asked from inside the
    // process as the list asks when the pointer rests on the row, with a
    // buffer of `units` (INFOTIPSIZE, as the list has); "(unanswered)" when
    // the window left the buffer as it was.
    std::string ListInfoTip(HWND window, HWND list, int row, int units = INFOTIPSIZE);

    DWORD id() const { return id_; }

private:
    std::vector<HWND> TopLevelWindows();
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
    std::string desktop_;  // set for a virtual desktop
    HANDLE explorer_ = nullptr;
    void* probeModule_ = nullptr;  // in the target process
    bool probeParked_ = false;     // a probe ran, so the probe's waiting thread is there
};

// The text of a message box (its static text control).
std::string MessageBoxText(HWND box);
// Presses the button `id` of a message box (IDOK, IDYES, ...).
void AnswerMessageBox(HWND box, int id);

// The Unix path of a Windows path (Wine), for Unix tools.
std::string UnixPath(const std::string& windowsPath);
// Starts a Unix program (Wine runs it as a native process).  Wine can
// neither wait for it nor pass its exit status on: callers watch for what
// it makes.
bool RunUnixProgram(const std::string& commandLine);

// A picture of the whole X screen, 32-bit pixels top-down.
struct Picture {
    int width = 0, height = 0;
    std::vector<unsigned int> pixels;  // 0x00RRGGBB
    COLORREF At(int x, int y) const {
        unsigned int p = pixels[static_cast<size_t>(y) * width + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
};

// Takes a picture of the X screen with ImageMagick's `import`, keeps it as
// `pngPath` for people to look at and reads it back with GDI+.
bool TakeScreenshot(const std::string& pngPath, Picture* picture);
