// The probe: a DLL the GUI test driver loads into Karvelo.exe to read what
// only the owning process can read.  Fonts and cursors are GDI and user
// objects of that process, so another process cannot ask about them; the
// driver runs RunProbe on a thread of Karvelo.exe with a ProbeRequest it
// wrote into that process's memory, then reads the request back.
#pragma once

#include <windows.h>

enum ProbeOperation {
    PROBE_FONT = 1,          // window's WM_GETFONT, described in `font`
    PROBE_CLASS_CURSOR,      // window's class cursor: `value` PROBE_CURSOR_*
    PROBE_WINDOW_PROCEDURE,  // `value` 1 when the window's procedure is its class's
                             // procedure of `other` (a window of another class)
    PROBE_WINDOW_ICON,       // `value` the window's large icon (WM_GETICON), 0 for none;
                             // `other` 1 when it is the program's icon `resource`
    PROBE_CLASS_STYLE,       // `value` the class style, `other` 1 when the class
                             // background is the button-face system brush
    PROBE_CLASS_ICONS,       // `value` and `other` 1 when the class's large and small
                             // icons are the program's icon `resource`
    PROBE_SEND_MESSAGE,      // sends message `resource` (no parameters); `value` the result
    PROBE_DROP_FILES,        // drops the names in `files` on `window` as the shell does
                             // (WM_DROPFILES with a wide DROPFILES block of this process);
                             // `value` the message's result; `resource` 1 posts it instead
    PROBE_LOAD_LIBRARY,      // LoadLibraryW of the name in `files` (then freed); `value`
                             // 1 when it loaded
    PROBE_INFO_TIP,          // asks `window` for the info tip of row `resource` of the list
                             // `otherWindow` as the list does (LVN_GETINFOTIPW, a buffer of
                             // `value` units, at most the length of `files`); the tip in `files`
};

enum ProbeCursor { PROBE_CURSOR_OTHER = 0, PROBE_CURSOR_ARROW = 1, PROBE_CURSOR_HAND = 2 };

struct ProbeRequest {
    int operation;
    HWND window;
    HWND otherWindow;
    int resource;
    int ok;  // 1 when the probe could answer
    LONG_PTR value;
    LONG_PTR other;
    LOGFONTW font;
    wchar_t files[1024];  // PROBE_DROP_FILES: names, each NUL-terminated, then one more NUL;
                          // PROBE_INFO_TIP: the tip's text
};

// Name the driver asks GetProcAddress for.
#define PROBE_ENTRY "RunProbe"
