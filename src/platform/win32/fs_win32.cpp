#include "platform/fs.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shlobj.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <cwchar>

#include "platform/charset.h"
#include "platform/fs_native.h"
#include "platform/win32/wide_path.h"

WidePath::WidePath(const char* path) : text(), ok(false) {
    if (path == nullptr) return;
    size_t written = 0;
    ok = ConvertPathBytes(SYSTEM_WIDE_CHARSET, CORE_CHARSET, path, std::strlen(path), reinterpret_cast<char*>(text),
                          (WIDE_PATH_UNITS - 1) * sizeof(wchar_t), &written);
    text[written / sizeof(wchar_t)] = L'\0';
}

bool CorePathFromWide(const wchar_t* wide, size_t units, char* path, int size) {
    size_t written = 0;
    if (size <= 0 || !ConvertPathBytes(CORE_CHARSET, SYSTEM_WIDE_CHARSET, reinterpret_cast<const char*>(wide),
                                       units * sizeof(wchar_t), path, static_cast<size_t>(size) - 1, &written)) {
        return false;
    }
    path[written] = '\0';
    return true;
}

FILE* NativeOpenFileByPath(const char* path, const char* mode) {
    WidePath wide(path);
    wchar_t wideMode[16];
    size_t modeLength = std::strlen(mode);
    if (!wide.ok || modeLength >= sizeof wideMode / sizeof wideMode[0]) return nullptr;
    for (size_t i = 0; i <= modeLength; ++i) wideMode[i] = static_cast<unsigned char>(mode[i]);
    // The runtime refuses to open a directory, as every caller wants.
    return _wfopen(wide.text, wideMode);
}

namespace {

// The stream over a handle this file opened for writing; the handle is the
// stream's from then on.  Null (and the handle closed) on failure.
FILE* StreamForHandle(HANDLE handle) {
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _fdopen(descriptor, "wb");
    if (file == nullptr) _close(descriptor);
    return file;
}

// Sharing as _wfopen gives it.
const DWORD SHARE_LIKE_FOPEN = FILE_SHARE_READ | FILE_SHARE_WRITE;

// What a regular file has none of: a folder, a link, a device.
const DWORD NOT_PLAIN_ATTRIBUTES = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;

}  // namespace

FILE* NativeCreateNewFileByPath(const char* path, int* taken) {
    if (taken != nullptr) *taken = 0;
    WidePath wide(path);
    if (!wide.ok) return nullptr;
    // CREATE_NEW fails on anything at the name, a symbolic link or a
    // junction included, and so never writes through one.
    HANDLE handle = CreateFileW(wide.text, GENERIC_WRITE, SHARE_LIKE_FOPEN, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (taken != nullptr) *taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? 1 : 0;
        return nullptr;
    }
    FILE* file = StreamForHandle(handle);
    if (file == nullptr) {
        DeleteFileW(wide.text);
        return nullptr;
    }
    return file;
}

FILE* NativeOpenCreatedFileByPath(const char* path) {
    WidePath wide(path);
    if (!wide.ok) return nullptr;
    // The reparse point itself is opened, never what it leads to, and then
    // refused below.
    HANDLE handle = CreateFileW(wide.text, GENERIC_WRITE, SHARE_LIKE_FOPEN, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information) || (information.dwFileAttributes & NOT_PLAIN_ATTRIBUTES) != 0 ||
        GetFileType(handle) != FILE_TYPE_DISK || !SetEndOfFile(handle)) {
        CloseHandle(handle);
        return nullptr;
    }
    return StreamForHandle(handle);
}

namespace {

int IdentityFromHandle(HANDLE handle, FileIdentity* identity) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) return 0;
    identity->volume = information.dwVolumeSerialNumber;
    identity->file = (static_cast<unsigned long long>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    identity->size = static_cast<long long>((static_cast<unsigned long long>(information.nFileSizeHigh) << 32) |
                                            information.nFileSizeLow);
    identity->modified =
        static_cast<long long>((static_cast<unsigned long long>(information.ftLastWriteTime.dwHighDateTime) << 32) |
                               information.ftLastWriteTime.dwLowDateTime);
    return (information.dwFileAttributes & NOT_PLAIN_ATTRIBUTES) == 0 ? 1 : 0;
}

}  // namespace

int IdentifyFileByPath(const char* path, FileIdentity* identity) {
    *identity = FileIdentity{};
    WidePath wide(path);
    if (!wide.ok) return 0;
    // Attributes only, shared with everyone, the link itself when it is one.
    HANDLE handle =
        CreateFileW(wide.text, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return 0;
    int regular = IdentityFromHandle(handle, identity);
    CloseHandle(handle);
    if (!regular) *identity = FileIdentity{};
    return regular;
}

int IsPlainFileByPath(const char* path) {
    WidePath wide(path);
    if (!wide.ok) return 0;
    // The attributes of the name itself (a link's own, never its target's),
    // read without a handle: GetFileInformationByHandle would also ask the
    // volume for its serial number, which the answer does not need.
    const DWORD attributes = GetFileAttributesW(wide.text);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & NOT_PLAIN_ATTRIBUTES) == 0 ? 1 : 0;
}

int IdentifyOpenFile(FILE* file, FileIdentity* identity) {
    *identity = FileIdentity{};
    if (file == nullptr) return 0;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE) return 0;
    IdentityFromHandle(handle, identity);
    return identity->file != 0 || identity->volume != 0 ? 1 : 0;
}

long FileModeOfPath(const char* path) {
    WidePath wide(path);
    if (!wide.ok) return -1;
    struct _stat status;
    if (_wstat(wide.text, &status) != 0) return -1;
    return static_cast<long>(status.st_mode);
}

int NativeMakeDirectory(const char* path) {
    WidePath wide(path);
    return wide.ok && CreateDirectoryW(wide.text, nullptr) ? 1 : 0;
}

int RemoveFileByPath(const char* path) {
    WidePath wide(path);
    return wide.ok && DeleteFileW(wide.text) ? 1 : 0;
}

int NativeReplaceFileByPath(const char* from, const char* to) {
    WidePath wideFrom(from), wideTo(to);
    if (!wideFrom.ok || !wideTo.ok) return 0;
    // Write-through: the call returns once the move is on the disk, so a
    // power cut leaves either the old file or the new one.
    return MoveFileExW(wideFrom.text, wideTo.text, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}

int MoveFileByPath(const char* from, const char* to) {
    WidePath wideFrom(from), wideTo(to);
    if (!wideFrom.ok || !wideTo.ok) return 0;
    // Without MOVEFILE_REPLACE_EXISTING an existing `to` fails the move.
    return MoveFileExW(wideFrom.text, wideTo.text, MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}

namespace {

// What an open refused by another process's sharing looks like.
bool HeldByAnother(DWORD error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION; }

}  // namespace

int NativeProbeReplace(const char* target, const char* temporary) {
    WidePath wideTarget(target);
    if (!wideTarget.ok) return REPLACE_DENIED;
    // MoveFileExW over the file needs it writable and deletable: a program
    // that opened it without FILE_SHARE_WRITE or FILE_SHARE_DELETE (Excel,
    // WPS) makes this open fail with a sharing violation.  Our own sharing
    // is wide so that only other holders count.
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileW(wideTarget.text, GENERIC_WRITE | DELETE, shareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    } else {
        DWORD error = GetLastError();
        if (HeldByAnother(error)) return REPLACE_HELD;
        if (error != ERROR_FILE_NOT_FOUND) return REPLACE_DENIED;
    }
    if (temporary == nullptr) return REPLACE_ALLOWED;
    // The folder must take the temporary file; it is gone again at the close.
    WidePath wideTemporary(temporary);
    if (!wideTemporary.ok) return REPLACE_DENIED;
    file = CreateFileW(wideTemporary.text, GENERIC_WRITE | DELETE, shareAll, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return HeldByAnother(GetLastError()) ? REPLACE_HELD : REPLACE_DENIED;
    CloseHandle(file);
    return REPLACE_ALLOWED;
}

int PathFitsSystem(const char* path) {
    if (path == nullptr || std::strlen(path) >= static_cast<size_t>(MAX_PATH_BYTES)) return 0;
    WidePath wide(path);
    size_t units = std::wcslen(wide.text);
    // Without the "\\?\" form the system takes MAX_PATH units with the terminator.
    if (!wide.ok || units + 1 > MAX_PATH) return 0;
    const size_t MAX_NAME_UNITS = 255;
    for (const wchar_t* name = wide.text; *name != L'\0';) {
        const wchar_t* end = std::wcspbrk(name, L"\\/");
        size_t length = end != nullptr ? static_cast<size_t>(end - name) : std::wcslen(name);
        if (length > MAX_NAME_UNITS) return 0;
        name += length;
        if (*name != L'\0') ++name;
    }
    return 1;
}

int NativeSyncFile(FILE* file) {
    if (file == nullptr) return 0;
    if (std::fflush(file) != 0) return 0;
    // _commit is FlushFileBuffers on the stream's handle.
    return _commit(_fileno(file)) == 0 ? 1 : 0;
}

// Names are made durable by the write-through move itself.
int SyncFolder(const char*) { return 1; }
int SyncFolderFiles(const char*) { return 1; }

namespace {

int CopyPath(const char* path, char* copy, int size) {
    size_t length = std::strlen(path);
    if (size <= 0 || length + 1 > static_cast<size_t>(size)) return 0;
    std::memcpy(copy, path, length + 1);
    return 1;
}

typedef DWORD(WINAPI* FinalPathNameFunction)(HANDLE, LPWSTR, DWORD, DWORD);

}  // namespace

// Windows: a file that is itself a reparse point (a symbolic link) is
// opened, which follows the link, and GetFinalPathNameByHandleW names the
// file reached.  The function is looked up at run time, as it only exists
// from Vista on; without it (XP, which has no file links) and for every path
// that is not a link the path is taken as given.  A link in a folder above
// the file needs no resolution: MoveFileExW replaces the file inside the
// folder the link leads to.
int ResolveLinkedFile(const char* path, char* resolved, int size) {
    if (path == nullptr || size <= 0) return 0;
    WidePath widePath(path);
    if (!widePath.ok) return 0;
    DWORD attributes = GetFileAttributesW(widePath.text);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return CopyPath(path, resolved, size);
    }
    FARPROC found = GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleW");
    if (found == nullptr) return CopyPath(path, resolved, size);
    FinalPathNameFunction finalPathName =
        reinterpret_cast<FinalPathNameFunction>(reinterpret_cast<void (*)(void)>(found));
    // A dangling link or a loop cannot be opened.
    HANDLE file = CreateFileW(widePath.text, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    const DWORD room = MAX_PATH_BYTES + 16;
    wchar_t wide[MAX_PATH_BYTES + 16];
    DWORD length = finalPathName(file, wide, room, 0);  // FILE_NAME_NORMALIZED | VOLUME_NAME_DOS
    CloseHandle(file);
    if (length == 0 || length >= room) return 0;
    // "\\?\C:\dir\file" -> "C:\dir\file"; "\\?\UNC\server\share\file" -> "\\server\share\file".
    wchar_t plain[MAX_PATH_BYTES + 16];
    const wchar_t* text = wide;
    if (std::wcsncmp(text, L"\\\\?\\UNC\\", 8) == 0) {
        plain[0] = L'\\';
        std::wcscpy(plain + 1, text + 7);
        text = plain;
    } else if (std::wcsncmp(text, L"\\\\?\\", 4) == 0) {
        text += 4;
    }
    return CorePathFromWide(text, std::wcslen(text), resolved, size) ? 1 : 0;
}

int GetProgramFolder(char* folder, int size) {
    wchar_t module[WIDE_PATH_UNITS];
    DWORD length = GetModuleFileNameW(nullptr, module, WIDE_PATH_UNITS);
    if (length == 0) return 0;
    // A full buffer means the path was cut: too long for the core anyway.
    if (length >= WIDE_PATH_UNITS) return -1;
    // The separator is found among the units: in GB18030 a backslash byte
    // can be the second byte of a character.
    wchar_t* separator = std::wcsrchr(module, L'\\');
    if (separator == nullptr) return 0;
    // At a drive root the folder keeps its backslash ("C:\"), else it drops it.
    if (separator > module && separator[-1] == L':') ++separator;
    return CorePathFromWide(module, static_cast<size_t>(separator - module), folder, size) ? 1 : -1;
}

int IsSharedProgramFolder(const char*) { return 0; }

int NativeIsFolderWritable(const char* folder) {
    // A probe of this process alone, gone when its handle closes, even if
    // the process dies first.
    char probe[MAX_PATH_BYTES];
    int length = std::snprintf(probe, sizeof probe, "%s\\karvelo-write-probe-%lu.tmp", folder,
                               static_cast<unsigned long>(GetCurrentProcessId()));
    if (length < 0 || length >= MAX_PATH_BYTES) return 0;
    WidePath wide(probe);
    if (!wide.ok) return 0;
    HANDLE file = CreateFileW(wide.text, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    CloseHandle(file);
    return 1;
}

int GetUserStateFolder(char* folder, int size, int create) {
    static const wchar_t STATE_FOLDER_NAME[] = L"\\Karvelo";
    wchar_t wide[MAX_PATH + 16];
    int flags = CSIDL_LOCAL_APPDATA | (create ? CSIDL_FLAG_CREATE : 0);
    if (FAILED(SHGetFolderPathW(nullptr, flags, nullptr, SHGFP_TYPE_CURRENT, wide))) return 0;
    std::wcscat(wide, STATE_FOLDER_NAME);
    if (create && !CreateDirectoryW(wide, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return 0;
    return CorePathFromWide(wide, std::wcslen(wide), folder, size) ? 1 : 0;
}

int OpenFilesLeftBeside(int) {
    const int left = _getmaxstdio() - OWN_FILES_RESERVED;
    return left > 0 ? left : 0;
}
