// The file system at the operating system's edge.
//
// Every path the core handles is in its own form, GB18030 (CORE_CHARSET in
// platform/charset.h).  Just before the system call the path is converted:
// to UTF-16 for the wide API on Windows, to UTF-8 on POSIX, so a name with
// any character (Chinese, an emoji, Hangul) is the same name on both.  A path
// that does not convert fails the call rather than naming another file.
#pragma once

#include <climits>
#include <cstdio>

#include "platform/charset.h"

#ifdef _WIN32
const char PATH_SEPARATOR = '\\';
#define PATH_SEPARATOR_TEXT "\\"
#else
const char PATH_SEPARATOR = '/';
#define PATH_SEPARATOR_TEXT "/"
#endif

// Longest path the core builds, terminator included: the wizard keeps
// Windows' MAX_PATH; POSIX takes the system's PATH_MAX.
#ifdef _WIN32
const int MAX_PATH_BYTES = 260;
#else
const int MAX_PATH_BYTES = PATH_MAX;
#endif

// Converts the `length` bytes of a path between charsets, strictly: a
// character the target lacks, bad input, or a result larger than `size`
// bytes fails (false) rather than naming another file.  *written gets the
// bytes produced; no terminator is added.  The file layers' one conversion.
bool ConvertPathBytes(TextEncoding toCharset, TextEncoding fromCharset, const char* input, size_t length, char* output,
                      size_t size, size_t* written);

// fopen(3) by path.  Opening a directory for reading fails on both
// systems (POSIX would otherwise hand out a stream that cannot be read),
// and on POSIX so does opening a FIFO or a socket for reading, which would
// wait for a writer.
FILE* OpenFileByPath(const char* path, const char* mode);

// Creates a new, empty file at `path` and opens it for writing ("wb"),
// exclusively: nothing already at `path` is opened or replaced, whether a
// file, a folder or a symbolic link (even one that leads nowhere), so two
// processes never get the same file and a planted link is never followed.
// POSIX: open(2) with O_CREAT | O_EXCL (never through a link), by fopen's
// "x".  Win32: CreateFileW with CREATE_NEW.  The stream is the file's
// writer: keeping it spares a second open of the name.  Null on failure; *taken (may be null) is then 1 when
// the name was in use, 0 when the file could not be made for another reason
// (a missing folder, no permission).
FILE* CreateNewFileByPath(const char* path, int* taken);

// Opens for writing, emptied, the regular file at `path` that the caller
// made with CreateNewFileByPath: never through a symbolic link, never
// creating a file anew.  Null when `path` is missing or is anything else
// now (a link, a folder, a pipe).  POSIX: O_NOFOLLOW | O_NONBLOCK, then
// fstat(2).  Win32: FILE_FLAG_OPEN_REPARSE_POINT, then the attributes.
FILE* OpenCreatedFileByPath(const char* path);

// What tells one file from another that took its name: the file itself
// (device and inode; Win32 the volume serial number and the file index of
// GetFileInformationByHandle), its size and its modification time.
struct FileIdentity {
    unsigned long long volume;
    unsigned long long file;
    long long size;
    long long modified;  // in the system's own units
};

// The identity of the regular file at `path` itself, never following a
// symbolic link: 1 when `path` is a regular file, 0 when it is missing, a
// link or anything else (`identity` is then zeroed).
int IdentifyFileByPath(const char* path, FileIdentity* identity);
// Whether `path` is a regular file itself, as IdentifyFileByPath answers,
// for a caller that needs no identity.  Win32: the attributes alone, without
// opening the file or asking for its volume's serial number.
int IsPlainFileByPath(const char* path);
// The same for an open stream; 1 on success.
int IdentifyOpenFile(FILE* file, FileIdentity* identity);
// Whether two identities name the same file, unchanged.
bool SameFileIdentity(const FileIdentity& a, const FileIdentity& b);
// Whether they name the same file, changed or not.
bool SameFile(const FileIdentity& a, const FileIdentity& b);

// The st_mode of the path in the runtime's stat terms, or -1 when the status
// cannot be read.  Type bits follow the common layout (0x4000 directory,
// 0x8000 regular file, 0x1000 FIFO, 0x2000 character device; POSIX also
// 0x6000 block device, 0xC000 socket).  A link is followed.
long FileModeOfPath(const char* path);

// 1 when the directory was created, 0 otherwise.  Only the last level.
int MakeDirectory(const char* path);

// 1 when the file was removed, 0 otherwise.
int RemoveFileByPath(const char* path);

// Atomically replaces `to` by `from` where the system allows it; 1 on success.
// POSIX: rename(2), with `to`'s permission bits carried over to `from` first.
// Win32: MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH).
int ReplaceFileByPath(const char* from, const char* to);

// Moves `from` to `to` unless something is at `to` already (it is never
// overwritten); 1 on success.  POSIX: renameat2(2) with RENAME_NOREPLACE,
// or where the file system lacks it a check and rename(2).  Win32:
// MoveFileExW without MOVEFILE_REPLACE_EXISTING.
int MoveFileByPath(const char* from, const char* to);

// Whether the file at `target` could be replaced right now by a file
// written at `temporary` beside it, as ReplaceFileByPath replaces it:
// `target` opened for writing with the sharing a replacement needs, and
// `temporary` created (and removed again; null leaves the folder out, as
// when the temporary file is written already).  A missing `target` is no
// obstacle.
//   REPLACE_ALLOWED  both can be done.
//   REPLACE_HELD     another program holds one of them open and shares it
//                    neither for writing nor for deleting (Win32: a sharing
//                    or lock violation, as an open Excel or WPS workbook
//                    causes; POSIX has no such locks).
//   REPLACE_DENIED   the file or its folder may not be written: read-only,
//                    no permission, a read-only file system.
enum ReplaceAccess { REPLACE_ALLOWED = 1, REPLACE_HELD = 2, REPLACE_DENIED = 3 };
int ProbeReplace(const char* target, const char* temporary);

// 1 when the system can name `path` (core form) as it stands: it fits the
// core's MAX_PATH_BYTES, and converted for the system it is within the
// system's limits (POSIX: each name at most NAME_MAX bytes of UTF-8;
// Win32: MAX_PATH units with the terminator, each name at most 255 units).
// A path that does not convert fails as well.
int PathFitsSystem(const char* path);

// The file that replacing `path` must replace, in the core's form, into `resolved`
// (`size` bytes): when `path` is a symbolic link, the file it finally leads
// to (so the link itself survives a replacement); otherwise, and when
// nothing is at `path` yet, `path` as given.  1 on success; 0 when `path` is
// a link that leads nowhere (dangling, a loop) or the file it leads to
// cannot be named in `size` bytes.
// POSIX: lstat(2), then realpath(3).  Win32: GetFinalPathNameByHandleW when
// the file itself is a reparse point (fs_win32.cpp).
int ResolveLinkedFile(const char* path, char* resolved, int size);

// Stream calls for files opened with OpenFileByPath.  They are fwrite(3),
// fread(3) and fclose(3) with plain results, called through the file
// operations in use (below), like the opens.  WriteFileBytes and ReadFileBytes return the bytes
// moved; CloseFile returns 1 when the stream closed cleanly (its buffered
// bytes reached the file), 0 otherwise, and always releases the stream.
size_t WriteFileBytes(FILE* file, const void* bytes, size_t size);
size_t ReadFileBytes(FILE* file, void* buffer, size_t size);
int CloseFile(FILE* file);

// How many files the process may keep open at once beside `sockets` open
// sockets and a few files of its own, for a caller that holds files open
// ahead of their use: POSIX counts sockets among its descriptors, under the
// soft RLIMIT_NOFILE and below FD_SETSIZE (the highest descriptor select
// watches); Windows' C runtime counts its streams apart (_getmaxstdio).
// Never below 0.
int OpenFilesLeftBeside(int sockets);

// Puts what was written to `file` on the disk before the call returns: the
// stream's buffer is flushed, then the system's (POSIX fsync(2); Win32
// _commit, which is FlushFileBuffers).  1 on success.  A file that is then
// renamed over another is complete under its new name even after a power cut.
int SyncFile(FILE* file);

// Puts the names in `folder` on the disk, so a rename inside it survives a
// power cut (POSIX: fsync(2) on the folder).  1 on success; a file system
// that cannot sync a folder counts as success, there is nothing more to do.
// Win32 has no such call and needs none: ReplaceFileByPath moves with
// MOVEFILE_WRITE_THROUGH.
int SyncFolder(const char* folder);

// Puts the files written into `folder` on the disk, bytes and names, before
// a package that names them is written.  POSIX: syncfs(2) on the folder's
// file system, one call however many images a run stored.  Win32 has no
// such call for a user, so there every stored image is synced as it is
// stored (FOLDER_SYNC_COVERS_FILES is false) and this has nothing to add.
// 1 on success.
int SyncFolderFiles(const char* folder);
#ifdef _WIN32
const bool FOLDER_SYNC_COVERS_FILES = false;
#else
const bool FOLDER_SYNC_COVERS_FILES = true;
#endif

// The folder that holds the running executable, in GB18030, without a trailing
// separator; 1 on success, 0 when the system cannot say.  Windows returns -1
// when the folder exists but cannot be named in the core's form in `size`
// bytes (a lone surrogate in a folder name, a path too long), so the program
// can refuse it rather than work in another folder.
int GetProgramFolder(char* folder, int size);

// ---- Where the program keeps its own files -------------------------------
// Backups (bak/), app.log and, on Windows, temp.html live in the program's
// own folder when it can be written: the portable use, a folder unpacked
// anywhere or a build tree.  An installed program (/usr/bin, Program Files)
// cannot write there, so they go to the user's state folder instead.

// 1 when `folder` holds installed programs rather than one program of its
// own, so nothing of the program's belongs there even when it can be
// written (root's /usr/bin, a user's ~/.local/bin).  POSIX: a folder named
// "bin" or "sbin", where `make install` and packages put programs.  Win32:
// never; a program there lives in a folder of its own.
int IsSharedProgramFolder(const char* folder);

// 1 when files can be created in `folder`.  POSIX: access(2) for writing
// and searching, which also sees a read-only mount.  Win32: a probe file
// created and deleted at once, since only trying answers for the folder's
// access rules.
int IsFolderWritable(const char* folder);

// The user's state folder for the program, in the core's form; 1 on success.
// POSIX: $XDG_STATE_HOME/karvelo, or $HOME/.local/state/karvelo when the
// variable is unset or not an absolute path.  Win32: %LOCALAPPDATA%\Karvelo
// (SHGetFolderPathW).  With `create` the folder is made when missing, with
// whatever folders above it are missing too (on POSIX for the user alone,
// 0700); 0 when that fails.
int GetUserStateFolder(char* folder, int size, int create);

// The folder for backups and the log: `programFolder` when it can be
// written and is not a shared one, else the user's state folder (made when
// `create` is set).  1 when `folder` is one of those; 0 when neither will
// do (the state folder cannot be found or made), `folder` then holding the
// program's folder, where the writes fail with their own messages.
int ChooseStateFolder(const char* programFolder, int create, char* folder, int size);

// ---- The file operations in use -----------------------------------------
// The calls above that can fail the way a read-only file, a full disk or a
// bad sector fails go through a table of operations.  The system's own table
// is the one in use unless a test puts a wrapping layer in its place, one
// that fails a chosen call and otherwise hands it to the table below (as
// SQLite's test file systems wrap the real one); the product never does.
// The stream operations get the streams their table's opens handed out, and
// never a null one (the public calls answer that themselves).
struct FileOperations {
    FILE* (*openByPath)(const char* path, const char* mode);
    FILE* (*createNew)(const char* path, int* taken);
    FILE* (*openCreated)(const char* path);
    size_t (*write)(FILE* file, const void* bytes, size_t size);
    size_t (*read)(FILE* file, void* buffer, size_t size);
    int (*close)(FILE* file);
    int (*replace)(const char* from, const char* to);
    int (*makeDirectory)(const char* path);
    int (*sync)(FILE* file);
    int (*probeReplace)(const char* target, const char* temporary);
    int (*isFolderWritable)(const char* folder);
};

// The system's own operations, the table in use by default.
const FileOperations* NativeFileOperations();

// Puts `operations` (which must outlive its use) in use for every later call;
// null puts the native table back.  Not thread-safe: change the table only
// while no other thread touches files.
void UseFileOperations(const FileOperations* operations);
