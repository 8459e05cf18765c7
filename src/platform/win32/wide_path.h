// Paths between the core's form and the wide (...W) API of Windows.
//
// Paths reach the system as UTF-16, never through the ANSI code page, which
// lacks most of what a GB18030 path can hold.  Both directions are strict:
// a path that does not convert, or does not fit, fails rather than naming
// another file.  The file layer and the Win32 program share these.
#pragma once

#include <cstddef>

#include "platform/fs.h"

// No GB18030 byte gives more than one unit, so the longest path the core
// builds fits with room to spare.
const size_t WIDE_PATH_UNITS = MAX_PATH_BYTES * 2 + 1;

// A core path as UTF-16 for one call; `ok` is false (and `text` holds what
// converted) when it does not convert.
struct WidePath {
    wchar_t text[WIDE_PATH_UNITS];
    bool ok;
    explicit WidePath(const char* path);
};

// The `units` of a wide path back in the core's form, terminated, in
// `size` bytes; false when it does not convert or fit.
bool CorePathFromWide(const wchar_t* wide, size_t units, char* path, int size);
