#include "platform/fs.h"

#include <windows.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>
#include <cwchar>

#include "platform/file_fault.h"

// The ANSI API and the C runtime take GBK paths as they are: the program
// runs with code page 936, so no path is converted here.

int NativePathFromGbk(const char* path, char* native, int size) {
    if (path == nullptr || size <= 0) return 0;
    size_t length = std::strlen(path);
    if (length + 1 > static_cast<size_t>(size)) return 0;
    std::memcpy(native, path, length + 1);
    return 1;
}

FILE* OpenFileByPath(const char* path, const char* mode) {
    bool writes = std::strpbrk(mode, "wa+") != nullptr;
    if (FileFaultStrikesPath(writes ? FILE_FAULT_OPEN_WRITE : FILE_FAULT_OPEN_READ, path, nullptr)) {
        errno = EACCES;
        return nullptr;
    }
    if (path == nullptr) return nullptr;
    // The runtime refuses to open a directory, as every caller wants.
    FILE* file = std::fopen(path, mode);
    if (file == nullptr) return nullptr;
    FileFaultNoteOpen(file, path);
    return file;
}

long FileModeOfPath(const char* path) {
    if (path == nullptr) return -1;
    struct _stat status;
    if (_stat(path, &status) != 0) return -1;
    return static_cast<long>(status.st_mode);
}

int MakeDirectory(const char* path) {
    if (FileFaultStrikesPath(FILE_FAULT_MKDIR, path, nullptr)) return 0;
    if (path == nullptr) return 0;
    return CreateDirectoryA(path, nullptr) ? 1 : 0;
}

int RemoveFileByPath(const char* path) {
    if (path == nullptr) return 0;
    return DeleteFileA(path) ? 1 : 0;
}

int ReplaceFileByPath(const char* from, const char* to) {
    if (FileFaultStrikesPath(FILE_FAULT_REPLACE, from, to)) return 0;
    if (from == nullptr || to == nullptr) return 0;
    // Write-through: the call returns once the move is on the disk, so a
    // power cut leaves either the old file or the new one.
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}

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
// the file needs no resolution: MoveFileExA replaces the file inside the
// folder the link leads to.
int ResolveLinkedFile(const char* path, char* resolved, int size) {
    if (path == nullptr || size <= 0) return 0;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return CopyPath(path, resolved, size);
    }
    FARPROC found = GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleW");
    if (found == nullptr) return CopyPath(path, resolved, size);
    FinalPathNameFunction finalPathName =
        reinterpret_cast<FinalPathNameFunction>(reinterpret_cast<void (*)(void)>(found));
    // A dangling link or a loop cannot be opened.
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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
    BOOL lossy = FALSE;
    int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, resolved, size, nullptr, &lossy);
    return bytes > 0 && !lossy ? 1 : 0;
}

int GetProgramFolder(char* folder, int size) {
    char module[MAX_PATH_BYTES];
    DWORD length = GetModuleFileNameA(nullptr, module, sizeof module);
    // 0 is a failure; a full buffer means the path was cut.
    if (length == 0 || length >= sizeof module) return 0;
    char* separator = std::strrchr(module, '\\');
    if (separator == nullptr) return 0;
    // At a drive root the folder keeps its backslash ("C:\"), else it drops it.
    if (separator > module && separator[-1] == ':') separator[1] = '\0';
    else *separator = '\0';
    size_t folderLength = std::strlen(module);
    if (size <= 0 || folderLength + 1 > static_cast<size_t>(size)) return 0;
    std::memcpy(folder, module, folderLength + 1);
    return 1;
}
