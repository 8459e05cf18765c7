// Runs inside Karvelo.exe (see probe.h).
#include "win/probe/probe.h"

#include <commctrl.h>
#include <shlobj.h>

#include <cstring>
#include <cwchar>

namespace {

// Icons loaded from a module are shared: the same resource gives the same
// handle, so this tells which icon group a handle came from.
HICON ProgramIcon(int resource) { return LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(resource)); }

// A drop as the shell makes it: a DROPFILES header followed by the names,
// in global memory the receiver releases with DragFinish.
HGLOBAL MakeDrop(const wchar_t* names) {
    size_t length = 0;
    while (names[length] != L'\0') length += std::wcslen(names + length) + 1;
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + (length + 1) * sizeof(wchar_t));
    if (memory == nullptr) return nullptr;
    DROPFILES* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    std::memcpy(reinterpret_cast<char*>(drop) + sizeof(DROPFILES), names, (length + 1) * sizeof(wchar_t));
    GlobalUnlock(memory);
    return memory;
}

// Waits on an event nobody sets, for as long as the process lives.  Wine
// starts a remote thread through a thread of the target that waits on its
// server; with none waiting it signals one, and a main thread inside malloc
// (painting) then deadlocks in the handler's own allocation.  This thread
// is always waiting, so the driver's later probes never need that signal.
// Started by the first probe, not on load: a copy of this DLL loaded and
// freed again (a planted one) must leave no thread behind.
DWORD WINAPI Parked(LPVOID event) {
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 0;
}

void ParkAThread() {
    static LONG parked = 0;
    if (InterlockedExchange(&parked, 1) != 0) return;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = event != nullptr ? CreateThread(nullptr, 0, Parked, event, 0, nullptr) : nullptr;
    if (thread != nullptr) CloseHandle(thread);
}

}  // namespace

extern "C" __declspec(dllexport) DWORD WINAPI RunProbe(LPVOID parameter) {
    ParkAThread();
    ProbeRequest* request = static_cast<ProbeRequest*>(parameter);
    request->ok = 0;
    switch (request->operation) {
        case PROBE_FONT: {
            // Sent to the user-interface thread, which owns the control.
            HFONT font = reinterpret_cast<HFONT>(SendMessageW(request->window, WM_GETFONT, 0, 0));
            if (font != nullptr && GetObjectW(font, sizeof request->font, &request->font) == sizeof request->font) {
                request->ok = 1;
            }
            break;
        }
        case PROBE_CLASS_CURSOR: {
            HCURSOR cursor = reinterpret_cast<HCURSOR>(GetClassLongPtrA(request->window, GCLP_HCURSOR));
            request->value = cursor == LoadCursor(nullptr, IDC_ARROW)  ? PROBE_CURSOR_ARROW
                             : cursor == LoadCursor(nullptr, IDC_HAND) ? PROBE_CURSOR_HAND
                                                                       : PROBE_CURSOR_OTHER;
            request->ok = 1;
            break;
        }
        case PROBE_WINDOW_PROCEDURE: {
            LONG_PTR procedure = GetWindowLongPtrA(request->window, GWLP_WNDPROC);
            LONG_PTR classProcedure = GetClassLongPtrA(request->otherWindow, GCLP_WNDPROC);
            request->value = procedure != 0 && procedure == classProcedure;
            request->ok = 1;
            break;
        }
        case PROBE_WINDOW_ICON:
            request->value = static_cast<LONG_PTR>(SendMessageA(request->window, WM_GETICON, ICON_BIG, 0));
            request->other =
                request->value != 0 && reinterpret_cast<HICON>(request->value) == ProgramIcon(request->resource);
            request->ok = 1;
            break;
        case PROBE_CLASS_ICONS:
            request->value = reinterpret_cast<HICON>(GetClassLongPtrA(request->window, GCLP_HICON)) ==
                             ProgramIcon(request->resource);
            request->other = reinterpret_cast<HICON>(GetClassLongPtrA(request->window, GCLP_HICONSM)) ==
                             ProgramIcon(request->resource);
            request->ok = 1;
            break;
        case PROBE_SEND_MESSAGE:
            request->value = static_cast<LONG_PTR>(SendMessageA(request->window, request->resource, 0, 0));
            request->ok = 1;
            break;
        case PROBE_CLASS_STYLE:
            request->value = static_cast<LONG_PTR>(GetClassLongPtrA(request->window, GCL_STYLE));
            request->other = reinterpret_cast<HBRUSH>(GetClassLongPtrA(request->window, GCLP_HBRBACKGROUND)) ==
                             GetSysColorBrush(COLOR_BTNFACE);
            request->ok = 1;
            break;
        case PROBE_DROP_FILES: {
            HGLOBAL drop = MakeDrop(request->files);
            if (drop == nullptr) break;
            // Posted when the drop brings up a message box, which would
            // hold this thread up.
            if (request->resource == 1) {
                request->value = PostMessageW(request->window, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);
            } else {
                request->value = static_cast<LONG_PTR>(
                    SendMessageW(request->window, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0));
            }
            request->ok = 1;
            break;
        }
        case PROBE_LOAD_LIBRARY: {
            HMODULE module = LoadLibraryW(request->files);
            request->value = module != nullptr;
            if (module != nullptr) FreeLibrary(module);
            request->ok = 1;
            break;
        }
        case PROBE_INFO_TIP: {
            const size_t capacity = sizeof request->files / sizeof request->files[0];
            if (request->value <= 0 || static_cast<size_t>(request->value) > capacity) break;
            // What the buffer held before stays when nobody answers.
            NMLVGETINFOTIPW tip;
            std::memset(&tip, 0, sizeof tip);
            tip.hdr.hwndFrom = request->otherWindow;
            tip.hdr.idFrom = static_cast<UINT_PTR>(GetDlgCtrlID(request->otherWindow));
            tip.hdr.code = LVN_GETINFOTIPW;
            tip.dwFlags = LVGIT_UNFOLDED;
            tip.pszText = request->files;
            tip.cchTextMax = static_cast<int>(request->value);
            tip.iItem = request->resource;
            SendMessageW(request->window, WM_NOTIFY, tip.hdr.idFrom, reinterpret_cast<LPARAM>(&tip));
            request->ok = 1;
            break;
        }
        default: break;
    }
    return static_cast<DWORD>(request->ok);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
