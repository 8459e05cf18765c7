// File queries by path in the core's form.  Each opens and closes what it needs and keeps
// nothing; failures map onto the ordinary results.
#pragma once

#include <cstdint>

// 1 when the file can be opened for reading; 0 for a folder, a missing file
// or one that cannot be opened.
int FileExists(const char* path);
// 1 when the path's status reads as a directory.
int IsDirectory(const char* path);
// The size in bytes, or -1 when the file cannot be opened.  Files of 2 GiB
// and more also give -1 rather than a wrapped size.
int32_t GetFileSize(const char* path);
// The part after the last PATH_SEPARATOR; the whole path without one.
// Points into `path`.
const char* FileNameOfPath(const char* path);
