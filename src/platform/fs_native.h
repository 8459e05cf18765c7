// The system's own file operations, behind the public calls of fs.h: each
// system's file (posix/fs_posix.cpp, win32/fs_win32.cpp) implements them,
// fs.cpp the portable stream calls, and fs.cpp puts them all in the native
// table.  Only the files of src/platform/ include this; everyone else calls
// the public functions, which go through the table in use.
#pragma once

#include <cstdio>

#include "platform/fs.h"

// The files OpenFilesLeftBeside keeps back for the program's own: its log,
// the package and its backup, a checkpoint's temporary file, a library's.
const int OWN_FILES_RESERVED = 32;

FILE* NativeOpenFileByPath(const char* path, const char* mode);
FILE* NativeCreateNewFileByPath(const char* path, int* taken);
FILE* NativeOpenCreatedFileByPath(const char* path);
int NativeReplaceFileByPath(const char* from, const char* to);
int NativeMakeDirectory(const char* path);
int NativeSyncFile(FILE* file);
int NativeProbeReplace(const char* target, const char* temporary);
int NativeIsFolderWritable(const char* folder);
