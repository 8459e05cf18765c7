#include "util/files.h"

#include <cstdio>
#include <cstring>

#include "platform/fs.h"
#include "base/strings.h"

int FileExists(const char* path) {
    // Only a regular file: opening a FIFO for reading would wait for a writer.
    long mode = FileModeOfPath(path);
    if (mode >= 0 && (mode & MODE_TYPE_MASK) != MODE_REGULAR) return 0;
    FILE* file = OpenFileByPath(path, "r");
    if (file == nullptr) return 0;
    std::fclose(file);
    return 1;
}

int IsDirectory(const char* path) {
    long mode = FileModeOfPath(path);
    if (mode < 0) return 0;
    return (mode & MODE_TYPE_MASK) == MODE_DIRECTORY ? 1 : 0;
}

int32_t GetFileSize(const char* path) {
    FILE* file = OpenFileByPath(path, "r");
    if (file == nullptr) return -1;
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    std::fclose(file);
    // A size that does not fit the signed 32-bit result is reported as -1.
    if (size < 0 || size > INT32_MAX) return -1;
    return static_cast<int32_t>(size);
}

const char* FileNameOfPath(const char* path) {
    // Walk characters, not bytes: a GBK trail byte can be 0x5C, the
    // backslash, and must not be taken for a separator.
    const char* name = path;
    for (const char* at = path; *at != '\0'; at += CharacterBytes(at)) {
        if (*at == PATH_SEPARATOR) name = at + 1;
    }
    return name;
}
