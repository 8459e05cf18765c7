#include "platform/fs.h"

#include <windows.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>

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
