// The file system at the operating system's edge.
//
// Every path the core handles is GBK.  On Windows these calls take it as it
// is (the ANSI API); on POSIX the path is converted to UTF-8 just before the
// system call, so a folder with a Chinese name is the same folder on both.
#pragma once

#include <cstdio>

#ifdef _WIN32
const char PATH_SEPARATOR = '\\';
#define PATH_SEPARATOR_TEXT "\\"
#else
const char PATH_SEPARATOR = '/';
#define PATH_SEPARATOR_TEXT "/"
#endif

// Longest path the system builds, terminator included.
const int MAX_PATH_BYTES = 260;

// fopen(3) by GBK path.  Opening a directory for reading fails on both
// systems (POSIX would otherwise hand out a stream that cannot be read).
FILE* OpenFileByPath(const char* path, const char* mode);

// The st_mode of the path in the runtime's stat terms, or -1 when the status
// cannot be read.  Type bits follow the common layout (0x4000 directory).
long FileModeOfPath(const char* path);

// 1 when the directory was created, 0 otherwise.  Only the last level.
int MakeDirectory(const char* path);

// 1 when the file was removed, 0 otherwise.
int RemoveFileByPath(const char* path);

// Atomically replaces `to` by `from` where the system allows it; 1 on success.
int ReplaceFileByPath(const char* from, const char* to);

// The folder that holds the running executable, in GBK, without a trailing
// separator; 1 on success.
int GetProgramFolder(char* folder, int size);

// Converts a GBK path for the system call; on Windows a plain copy.  Returns
// 1 when it fitted into `size` bytes.
int NativePathFromGbk(const char* path, char* native, int size);
