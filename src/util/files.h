// File queries by path in the core's form.  Each opens and closes what it needs and keeps
// nothing; failures map onto the ordinary results.
#pragma once

#include <cstdint>

#include "platform/sha256.h"

// The type bits of FileModeOfPath (platform/fs.h).
const long MODE_TYPE_MASK = 0xF000;
const long MODE_DIRECTORY = 0x4000;
const long MODE_REGULAR = 0x8000;
const long MODE_FIFO = 0x1000;
const long MODE_CHARACTER_DEVICE = 0x2000;
const long MODE_BLOCK_DEVICE = 0x6000;
const long MODE_SOCKET = 0xC000;

// 1 when the path is a regular file (or a link to one) that can be opened
// for reading; 0 for a folder, a FIFO, a device, a missing file or one that
// cannot be opened.  Never waits on a FIFO.
int FileExists(const char* path);
// 1 when the path's status reads as a directory.
int IsDirectory(const char* path);
// Makes `path` (absolute) a folder with every missing folder above it, as
// `mkdir -p` does; 1 when it is a folder then, made or already there.  On
// failure errno tells why (POSIX), from the first level that could not be
// made.
int MakeFolderWithParents(const char* path);
// The size in bytes, or -1 when the file cannot be opened.  Files of 2 GiB
// and more also give -1 rather than a wrapped size.
int32_t GetFileSize(const char* path);
// The part after the last PATH_SEPARATOR; the whole path without one.
// Points into `path`.
const char* FileNameOfPath(const char* path);

// The SHA-256 (hex) and size of the file at `path` (core form); 1 on
// success, 0 when it cannot be read.
int HashFileSha256(const char* path, char sha256[SHA256_HEX_SIZE], long long* size);
