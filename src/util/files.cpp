#include "util/files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fs.h"
#include "platform/sha256.h"
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

int MakeFolderWithParents(const char* path) {
    if (IsDirectory(path)) return 1;
    const size_t length = std::strlen(path);
    char* prefix = CopyString(path);
    // Each level from the top, the root (or the drive) left as it is; a
    // level made by someone else in the meantime is as good as made.
    int made = 1;
    for (size_t at = 1; made && at <= length; ++at) {
        if (at < length && prefix[at] != PATH_SEPARATOR) continue;
        prefix[at] = '\0';
        if (prefix[at - 1] != PATH_SEPARATOR && prefix[at - 1] != ':' && !IsDirectory(prefix)) {
            MakeDirectory(prefix);
            const int error = errno;
            made = IsDirectory(prefix);
            // A file in the way of a level above: the next level says so
            // (ENOTDIR), as `mkdir -p` does.
            if (!made && error == EEXIST && at < length) made = 1;
            errno = error;
        }
        prefix[at] = at < length ? PATH_SEPARATOR : '\0';
    }
    std::free(prefix);
    return made;
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

int HashFileSha256(const char* path, char sha256[SHA256_HEX_SIZE], long long* size) {
    FILE* file = OpenFileByPath(path, "rb");
    if (file == nullptr) {
        return 0;
    }
    Sha256Hasher* hasher = NewSha256();
    unsigned char buffer[65536];
    long long total = 0;
    bool ok = hasher != nullptr;
    for (size_t got; ok && (got = ReadFileBytes(file, buffer, sizeof buffer)) > 0;
         total += static_cast<long long>(got)) {
        ok = UpdateSha256(hasher, buffer, got) == 1;
    }
    ok = ok && ferror(file) == 0;
    CloseFile(file);
    unsigned char digest[SHA256_DIGEST_BYTES];
    ok = ok && FinalSha256(hasher, digest) == 1;
    FreeSha256(hasher);
    if (ok) {
        Sha256Hex(digest, sha256);
        *size = total;
    }
    return ok ? 1 : 0;
}
