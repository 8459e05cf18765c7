// The program's texts at the Win32 edge.  Inside, every text and path is in
// the core's form (GB18030, CORE_CHARSET); the window, the dialogs and the
// shell speak UTF-16 through the ...W functions.  The conversions name the
// core's charset, never the system's code page, so a Western or a UTF-8
// Windows shows and uses the same texts and paths as a Chinese one.
#pragma once

#include <windows.h>

#include <cstddef>

// A core text as UTF-16 for one call.  Bytes that are not GB18030 are left
// out rather than failing the whole text: a text shown need not be exact,
// a path must (WidePath, platform/win32/wide_path.h).
class WideText {
public:
    explicit WideText(const char* text);
    ~WideText();
    WideText(const WideText&) = delete;
    WideText& operator=(const WideText&) = delete;
    const wchar_t* get() const { return text_; }

private:
    static const size_t INLINE_UNITS = 256;
    wchar_t inline_[INLINE_UNITS];
    wchar_t* text_;
};

// What became of a path the system handed over.
enum SystemPathResult {
    SYSTEM_PATH_OK = 1,
    SYSTEM_PATH_UNREADABLE = -1,  // a character the core's form lacks (a lone surrogate)
    SYSTEM_PATH_TOO_LONG = -2,    // more bytes in the core's form than the buffer holds
};

// A path from the system in the core's form, into `path` (`size` bytes,
// untouched unless the result is SYSTEM_PATH_OK).  Strict: never a
// best-fit substitute that would name another file.
int CorePathFromSystem(const wchar_t* wide, char* path, int size);

// The warning for a refused path (SYSTEM_PATH_UNREADABLE or _TOO_LONG).
const char* UnusablePathMessage(int result);

// SetWindowTextW with a core text.
void SetWindowCoreText(HWND window, const char* text);

// A window's text (an edit holding a path) as a core path; a
// SystemPathResult.  An empty text is an empty path.
int ReadWindowPath(HWND window, char* path, int size);
