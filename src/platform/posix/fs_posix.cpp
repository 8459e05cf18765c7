#include "platform/fs.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/charset.h"
#include "platform/fs_native.h"

namespace {

// A GB18030 path converts to at most 3 UTF-8 bytes per 2 input bytes (4 per
// 4, and ASCII stays 1:1), so 2x plus the terminator is always enough.
const int NATIVE_PATH_BYTES = MAX_PATH_BYTES * 2 + 8;

// Converts the `length` bytes of `path` into `converted` (`size` bytes with
// the terminator), strictly: a character the target lacks, or a path that
// does not fit, fails the conversion (0) rather than naming another file.
int ConvertPath(TextEncoding toCharset, TextEncoding fromCharset, const char* path, size_t length, char* converted,
                int size) {
    size_t written = 0;
    if (size <= 0 ||
        !ConvertPathBytes(toCharset, fromCharset, path, length, converted, static_cast<size_t>(size) - 1, &written)) {
        return 0;
    }
    converted[written] = '\0';
    return 1;
}

// Converts a path in the core's form for the system call; 1 when it fitted
// into `size` bytes.
int NativePathFromCore(const char* path, char* native, int size) {
    if (path == nullptr || size <= 0) return 0;
    size_t length = std::strlen(path);
    // Plain ASCII needs no conversion; it is the common case for paths.
    bool ascii = true;
    for (size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(path[i]) >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        if (length + 1 > static_cast<size_t>(size)) return 0;
        std::memcpy(native, path, length + 1);
        return 1;
    }
    return ConvertPath(ENCODING_UTF8, CORE_CHARSET, path, length, native, size);
}

// On the heap: PATH_MAX makes it some 8 KB, and a call may hold two.  With
// no memory the path does not convert and the call fails.
struct NativePath {
    char* text;
    bool ok;
    explicit NativePath(const char* path) : text(static_cast<char*>(std::malloc(NATIVE_PATH_BYTES))), ok(false) {
        ok = text != nullptr && NativePathFromCore(path, text, NATIVE_PATH_BYTES) == 1;
    }
    ~NativePath() { std::free(text); }
    NativePath(const NativePath&) = delete;
    NativePath& operator=(const NativePath&) = delete;
};

}  // namespace

FILE* NativeOpenFileByPath(const char* path, const char* mode) {
    bool writes = std::strpbrk(mode, "wa+") != nullptr;
    NativePath native(path);
    if (!native.ok) return nullptr;
    // Opening a FIFO for reading waits for a writer, and a socket cannot be
    // opened at all: neither is a file any caller means.
    struct stat status;
    if (!writes && stat(native.text, &status) == 0 && (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode))) {
        errno = ENXIO;
        return nullptr;
    }
    FILE* file = std::fopen(native.text, mode);
    if (file == nullptr) return nullptr;
    // POSIX lets a directory be opened for reading; Windows does not, and
    // every caller means a regular file.
    if (fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

FILE* NativeCreateNewFileByPath(const char* path, int* taken) {
    if (taken != nullptr) *taken = 0;
    NativePath native(path);
    if (!native.ok) return nullptr;
    // "x" is O_CREAT | O_EXCL, which refuses anything at the name, a link
    // included (POSIX open(2)), and "e" O_CLOEXEC.  fopen opens in one call,
    // where open and fdopen would add an fcntl to read the flags back.
    FILE* file = std::fopen(native.text, "wbxe");
    if (file == nullptr && taken != nullptr) *taken = errno == EEXIST ? 1 : 0;
    return file;
}

FILE* NativeOpenCreatedFileByPath(const char* path) {
    NativePath native(path);
    if (!native.ok) return nullptr;
    // O_NONBLOCK: a FIFO put at the name must not hold the open up.
    int descriptor = open(native.text, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) return nullptr;
    struct stat status;
    FILE* file = nullptr;
    if (fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && ftruncate(descriptor, 0) == 0 &&
        fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK) == 0) {
        file = fdopen(descriptor, "wb");
    }
    if (file == nullptr) {
        close(descriptor);
        errno = EINVAL;
        return nullptr;
    }
    return file;
}

namespace {

void IdentityFromStatus(const struct stat& status, FileIdentity* identity) {
    identity->volume = static_cast<unsigned long long>(status.st_dev);
    identity->file = static_cast<unsigned long long>(status.st_ino);
    identity->size = static_cast<long long>(status.st_size);
    identity->modified = static_cast<long long>(status.st_mtim.tv_sec) * 1000000000LL + status.st_mtim.tv_nsec;
}

}  // namespace

int IdentifyFileByPath(const char* path, FileIdentity* identity) {
    *identity = FileIdentity{};
    NativePath native(path);
    struct stat status;
    if (!native.ok || lstat(native.text, &status) != 0 || !S_ISREG(status.st_mode)) return 0;
    IdentityFromStatus(status, identity);
    return 1;
}

int IsPlainFileByPath(const char* path) {
    FileIdentity identity;
    return IdentifyFileByPath(path, &identity);
}

int IdentifyOpenFile(FILE* file, FileIdentity* identity) {
    *identity = FileIdentity{};
    struct stat status;
    if (file == nullptr || fstat(fileno(file), &status) != 0) return 0;
    IdentityFromStatus(status, identity);
    return 1;
}

long FileModeOfPath(const char* path) {
    NativePath native(path);
    if (!native.ok) return -1;
    struct stat status;
    if (stat(native.text, &status) != 0) return -1;
    long mode = static_cast<long>(status.st_mode & 07777);
    if (S_ISDIR(status.st_mode))
        mode |= 0x4000;
    else if (S_ISREG(status.st_mode))
        mode |= 0x8000;
    else if (S_ISCHR(status.st_mode))
        mode |= 0x2000;
    else if (S_ISFIFO(status.st_mode))
        mode |= 0x1000;
    else if (S_ISBLK(status.st_mode))
        mode |= 0x6000;
    else if (S_ISSOCK(status.st_mode))
        mode |= 0xC000;
    return mode;
}

int NativeMakeDirectory(const char* path) {
    NativePath native(path);
    if (!native.ok) return 0;
    return mkdir(native.text, 0777) == 0 ? 1 : 0;
}

int RemoveFileByPath(const char* path) {
    NativePath native(path);
    if (!native.ok) return 0;
    return unlink(native.text) == 0 ? 1 : 0;
}

int NativeReplaceFileByPath(const char* from, const char* to) {
    NativePath nativeFrom(from), nativeTo(to);
    if (!nativeFrom.ok || !nativeTo.ok) return 0;
    // The replacement is a new file: give it the old one's permissions, as
    // rewriting in place would have kept them.
    struct stat status;
    if (stat(nativeTo.text, &status) == 0) chmod(nativeFrom.text, status.st_mode & 07777);
    return rename(nativeFrom.text, nativeTo.text) == 0 ? 1 : 0;
}

int MoveFileByPath(const char* from, const char* to) {
    NativePath nativeFrom(from), nativeTo(to);
    if (!nativeFrom.ok || !nativeTo.ok) return 0;
    if (renameat2(AT_FDCWD, nativeFrom.text, AT_FDCWD, nativeTo.text, RENAME_NOREPLACE) == 0) return 1;
    // A file system without RENAME_NOREPLACE: look, then move.
    if (errno != EINVAL && errno != ENOSYS) return 0;
    struct stat status;
    if (lstat(nativeTo.text, &status) == 0) return 0;
    return rename(nativeFrom.text, nativeTo.text) == 0 ? 1 : 0;
}

int NativeProbeReplace(const char* target, const char* temporary) {
    NativePath nativeTarget(target);
    if (!nativeTarget.ok) return REPLACE_DENIED;
    // Opened for writing without truncating: the permission a rewrite needs,
    // and on a read-only mount or an immutable file the refusal root gets
    // too.  O_NONBLOCK keeps a FIFO from holding the probe up.
    int descriptor = open(nativeTarget.text, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor >= 0) {
        close(descriptor);
    } else if (errno == ETXTBSY) {
        return REPLACE_HELD;  // a running program's file
    } else if (errno != ENOENT) {
        return REPLACE_DENIED;
    }
    if (temporary == nullptr) return REPLACE_ALLOWED;
    // The folder must take a new file: made and removed again.  One of ours
    // left by an earlier crash is only opened, the write replaces it anyway.
    NativePath nativeTemporary(temporary);
    if (!nativeTemporary.ok) return REPLACE_DENIED;
    descriptor = open(nativeTemporary.text, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600);
    bool created = descriptor >= 0;
    if (!created && errno == EEXIST) {
        descriptor = open(nativeTemporary.text, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        // A link at the name is never written through; the write removes it.
        if (descriptor < 0 && errno == ELOOP) return REPLACE_ALLOWED;
    }
    if (descriptor < 0) return errno == ETXTBSY ? REPLACE_HELD : REPLACE_DENIED;
    close(descriptor);
    if (created) unlink(nativeTemporary.text);
    return REPLACE_ALLOWED;
}

int PathFitsSystem(const char* path) {
    if (path == nullptr || std::strlen(path) >= static_cast<size_t>(MAX_PATH_BYTES)) return 0;
    NativePath native(path);
    if (!native.ok || std::strlen(native.text) >= static_cast<size_t>(PATH_MAX)) return 0;
    for (const char* name = native.text; *name != '\0';) {
        const char* end = std::strchr(name, '/');
        size_t length = end != nullptr ? static_cast<size_t>(end - name) : std::strlen(name);
        if (length > static_cast<size_t>(NAME_MAX)) return 0;
        name += length;
        if (*name == '/') ++name;
    }
    return 1;
}

int NativeSyncFile(FILE* file) {
    if (file == nullptr) return 0;
    if (std::fflush(file) != 0) return 0;
    return fsync(fileno(file)) == 0 ? 1 : 0;
}

int SyncFolder(const char* folder) {
    NativePath native(folder);
    if (!native.ok) return 0;
    int descriptor = open(native.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return 0;
    // EINVAL: a file system that keeps its names durable some other way.
    int ok = fsync(descriptor) == 0 || errno == EINVAL ? 1 : 0;
    close(descriptor);
    return ok;
}

int SyncFolderFiles(const char* folder) {
    NativePath native(folder);
    if (!native.ok) return 0;
    int descriptor = open(native.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return 0;
    int ok = syncfs(descriptor) == 0 ? 1 : 0;
    close(descriptor);
    return ok;
}

int ResolveLinkedFile(const char* path, char* resolved, int size) {
    if (path == nullptr || size <= 0) return 0;
    NativePath native(path);
    if (!native.ok) return 0;
    struct stat status;
    if (lstat(native.text, &status) != 0 || !S_ISLNK(status.st_mode)) {
        // Not a link, or nothing there yet: the path names the file itself.
        size_t length = std::strlen(path);
        if (length + 1 > static_cast<size_t>(size)) return 0;
        std::memcpy(resolved, path, length + 1);
        return 1;
    }
    // realpath fails for a dangling link (ENOENT) and a loop (ELOOP).
    char* target = realpath(native.text, nullptr);
    if (target == nullptr) return 0;
    // Back to the core's form.
    int converted = ConvertPath(CORE_CHARSET, ENCODING_UTF8, target, std::strlen(target), resolved, size);
    std::free(target);
    return converted;
}

int GetProgramFolder(char* folder, int size) {
    char native[4096];
    ssize_t length = readlink("/proc/self/exe", native, sizeof native - 1);
    if (length <= 0) return 0;
    native[length] = '\0';
    char* slash = std::strrchr(native, '/');
    if (slash == nullptr) return 0;
    *slash = '\0';
    if (slash == native) std::strcpy(native, "/");
    // Back to the core's form.
    return ConvertPath(CORE_CHARSET, ENCODING_UTF8, native, std::strlen(native), folder, size);
}

int IsSharedProgramFolder(const char* folder) {
    const char* slash = std::strrchr(folder, '/');
    const char* name = slash != nullptr ? slash + 1 : folder;
    return std::strcmp(name, "bin") == 0 || std::strcmp(name, "sbin") == 0 ? 1 : 0;
}

int NativeIsFolderWritable(const char* folder) {
    NativePath native(folder);
    return native.ok && access(native.text, W_OK | X_OK) == 0 ? 1 : 0;
}

namespace {

const char STATE_FOLDER_NAME[] = "karvelo";
// Where XDG_STATE_HOME points by default, under the home folder.
const char DEFAULT_STATE_HOME[] = ".local/state";

// Makes `path` (native, absolute) a folder, with every missing folder above
// it, each for the user alone; 1 when it is a folder then.
int MakeFolders(char* path) {
    for (char* slash = std::strchr(path + 1, '/');; slash = std::strchr(slash + 1, '/')) {
        if (slash != nullptr) *slash = '\0';
        bool made = mkdir(path, 0700) == 0 || errno == EEXIST;
        if (slash == nullptr) break;
        *slash = '/';
        if (!made) return 0;
    }
    struct stat status;
    return stat(path, &status) == 0 && S_ISDIR(status.st_mode) ? 1 : 0;
}

}  // namespace

int GetUserStateFolder(char* folder, int size, int create) {
    char native[NATIVE_PATH_BYTES];
    int length;
    // The XDG base directory rule: a relative value is ignored.
    const char* stateHome = getenv("XDG_STATE_HOME");
    if (stateHome != nullptr && stateHome[0] == '/') {
        length = std::snprintf(native, sizeof native, "%s/%s", stateHome, STATE_FOLDER_NAME);
    } else {
        const char* home = getenv("HOME");
        if (home == nullptr || home[0] != '/') {
            const struct passwd* user = getpwuid(getuid());
            home = user != nullptr ? user->pw_dir : nullptr;
        }
        if (home == nullptr || home[0] != '/') return 0;
        length = std::snprintf(native, sizeof native, "%s/%s/%s", home, DEFAULT_STATE_HOME, STATE_FOLDER_NAME);
    }
    if (length < 0 || length >= static_cast<int>(sizeof native)) return 0;
    // "/home/u/" gives "/home/u//.local/...": one slash is enough.
    char* to = native;
    for (const char* from = native; *from != '\0'; ++from) {
        if (*from != '/' || to == native || to[-1] != '/') *to++ = *from;
    }
    *to = '\0';
    if (create && !MakeFolders(native)) return 0;
    return ConvertPath(CORE_CHARSET, ENCODING_UTF8, native, std::strlen(native), folder, size);
}

int OpenFilesLeftBeside(int sockets) {
    long allowed = FD_SETSIZE;
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < static_cast<rlim_t>(allowed)) {
        allowed = static_cast<long>(limit.rlim_cur);
    }
    const long left = allowed - sockets - OWN_FILES_RESERVED;
    return left > 0 ? static_cast<int>(left) : 0;
}
