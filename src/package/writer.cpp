#include "package/writer.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fs.h"
#include "ui/application_state.h"
#include "util/charset.h"
#include "util/files.h"
#include "util/front_end.h"

namespace {

const char MESSAGE_BAK_FOLDER_FAILED[] =
    "\xb4\xb4\xbd\xa8 [bak] \xce\xc4\xbc\xfe\xbc\xd0\xca\xa7\xb0\xdc";  // 创建 [bak] 文件夹失败
const char MESSAGE_BACKUP_SOURCE_FAILED[] =
    "\xb1\xb8\xb7\xdd" "csv\xce\xc4\xbc\xfe\xca\xb1\xb3\xf6\xb4\xed\xa3\xba\xce\xde\xb7\xa8\xb4\xf2\xbf\xaa\xd4\xb4"
    "csv\xce\xc4\xbc\xfe\xbe\xe4\xb1\xfa";  // 备份csv文件时出错：无法打开源csv文件句柄
const char MESSAGE_BACKUP_CREATE_FAILED[] =
    "\xb1\xb8\xb7\xdd" "csv\xce\xc4\xbc\xfe\xca\xb1\xb3\xf6\xb4\xed\xa3\xba\xce\xde\xb7\xa8\xb4\xb4\xbd\xa8\xb1\xb8"
    "\xb7\xdd\xce\xc4\xbc\xfe";  // 备份csv文件时出错：无法创建备份文件
const char MESSAGE_BACKUP_WRITE_FAILED[] =
    "\xb1\xb8\xb7\xdd" "csv\xce\xc4\xbc\xfe\xca\xb1\xb3\xf6\xb4\xed\xa3\xba\xd0\xb4\xc8\xeb\xce\xc4\xbc\xfe\xca\xa7"
    "\xb0\xdc";  // 备份csv文件时出错：写入文件失败
const char MESSAGE_BACKUP_READ_FAILED[] =
    "\xb1\xb8\xb7\xdd" "csv\xce\xc4\xbc\xfe\xca\xb1\xb3\xf6\xb4\xed\xa3\xba\xce\xc4\xbc\xfe\xb6\xc1\xc8\xa1\xb2\xbb"
    "\xcd\xea\xd5\xfb";  // 备份csv文件时出错：文件读取不完整
const char MESSAGE_CONVERSION_FAILED[] =
    "\xb8\xfc\xd0\xc2" "CSV\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc\xa3\xbaiconv()\xd7\xaa\xc2\xeb\xb3\xf6\xb4\xed\xc1\xcb"
    "\xa1\xa3";  // 更新CSV文件失败：iconv()转码出错了。
const char MESSAGE_OPEN_FAILED[] =
    "\xb8\xfc\xd0\xc2" "CSV\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc\xa3\xba\xce\xc4\xbc\xfe\xbe\xe4\xb1\xfa\xce\xde\xb7\xa8"
    "\xb4\xf2\xbf\xaa\xa1\xa3";  // 更新CSV文件失败：文件句柄无法打开。
const char MESSAGE_WRITE_FAILED[] =
    "\xb8\xfc\xd0\xc2" "CSV\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc\xa3\xba\xd0\xb4\xc8\xeb\xce\xc4\xbc\xfe\xb3\xf6\xb4\xed"
    "\xa1\xa3";  // 更新CSV文件失败：写入文件出错。

const unsigned char UTF16LE_MARK[2] = {0xFF, 0xFE};

// Error box and the end of the process.  Callers clean up first: in the
// real program EndProcess does not return.
int Fail(const char* message) {
    ShowErrorAndEnd(message);
    return 0;
}

// Formats a path into MAX_PATH_BYTES; 0 when it would not fit, so that a
// long path is refused rather than cut into one that names another file.
int FormatPath(char* path, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(path, MAX_PATH_BYTES, format, arguments);
    va_end(arguments);
    return length >= 0 && length < MAX_PATH_BYTES ? 1 : 0;
}

// A name is taken by anything at all: FileExists alone misses a folder or an
// unreadable file of that name, which "wb" would then clobber or trip over.
int PathTaken(const char* path) { return FileExists(path) || FileModeOfPath(path) >= 0 ? 1 : 0; }

// The first free "<stem>(n)<extension>" in `folder`; 0 when none fits.
int PickBackupPath(const char* folder, const char* name, char* path) {
    // '.' is never part of a multi-byte character, so a byte search finds
    // the real last dot.
    const char* dot = std::strrchr(name, '.');
    int stemLength = static_cast<int>(dot != nullptr ? dot - name : std::strlen(name));
    const char* extension = dot != nullptr ? dot : "";
    for (int number = 1; number < INT_MAX; ++number) {
        if (!FormatPath(path, "%s%s%.*s(%d)%s", folder, PATH_SEPARATOR_TEXT, stemLength, name, number, extension)) {
            return 0;
        }
        if (!PathTaken(path)) return 1;
    }
    return 0;
}

// Streams the package into the backup file; the failure message, or null.
const char* CopyBlocks(FILE* source, FILE* backup) {
    char block[BACKUP_BLOCK_BYTES];
    for (;;) {
        size_t got = ReadFileBytes(source, block, sizeof block);
        if (got == 0) break;
        // A short write is a lost block just as much as an empty one.
        if (WriteFileBytes(backup, block, got) != got) return MESSAGE_BACKUP_WRITE_FAILED;
    }
    return std::ferror(source) || !std::feof(source) ? MESSAGE_BACKUP_READ_FAILED : nullptr;
}

// Writes mark and text to the temporary file and moves it over the package.
// Returns the failure message, or null; the package is untouched on failure
// and the temporary file is gone either way.
const char* ReplacePackage(const char* packagePath, const char* converted, size_t convertedLength) {
    // A package that is a symbolic link is replaced where the link leads, so
    // the link stays a link: the temporary file is written beside that file
    // and moved over it.  A link that leads nowhere is not replaced at all.
    char target[MAX_PATH_BYTES];
    if (!ResolveLinkedFile(packagePath, target, sizeof target)) return MESSAGE_OPEN_FAILED;
    char tempPath[MAX_PATH_BYTES];
    if (!FormatPath(tempPath, "%s%s", target, PACKAGE_TEMP_SUFFIX)) return MESSAGE_OPEN_FAILED;
    // The package is replaced, not rewritten in place, which would succeed on
    // a read-only package; so ask first whether it could be opened for writing.
    if (PathTaken(target)) {
        FILE* probe = OpenFileByPath(target, "r+b");
        if (probe == nullptr) return MESSAGE_OPEN_FAILED;
        CloseFile(probe);
    }
    FILE* file = OpenFileByPath(tempPath, "wb");
    if (file == nullptr) return MESSAGE_OPEN_FAILED;

    bool ok = WriteFileBytes(file, UTF16LE_MARK, sizeof UTF16LE_MARK) == sizeof UTF16LE_MARK;
    if (ok && convertedLength > 0) ok = WriteFileBytes(file, converted, convertedLength) == convertedLength;
    // The bytes reach the disk before the name points at them, so a crash
    // at any instant leaves the old package or the whole new one.
    if (ok) ok = SyncFile(file) == 1;
    // Buffered bytes meet a full disk only here, so the close counts too.
    if (!CloseFile(file)) ok = false;
    if (ok) ok = ReplaceFileByPath(tempPath, target) == 1;
    if (!ok) {
        RemoveFileByPath(tempPath);
        return MESSAGE_WRITE_FAILED;
    }
    // The new name is made durable too.  The package is replaced already, so
    // a folder that cannot be synced is no failure of the write.
    size_t folderLength = static_cast<size_t>(FileNameOfPath(target) - target);
    if (folderLength > 1) {
        target[folderLength - 1] = '\0';
        SyncFolder(target);
    }
    return nullptr;
}

}  // namespace

int BackupPackage(const char* packagePath, char* backupPathOut) {
    char folder[MAX_PATH_BYTES];
    if (!FormatPath(folder, "%s%s%s", appState.stateFolder, PATH_SEPARATOR_TEXT, BACKUP_FOLDER_NAME) ||
        (!IsDirectory(folder) && !MakeDirectory(folder) && !IsDirectory(folder))) {
        return Fail(MESSAGE_BAK_FOLDER_FAILED);
    }
    char backupPath[MAX_PATH_BYTES];
    int named = PickBackupPath(folder, FileNameOfPath(packagePath), backupPath);

    FILE* source = OpenFileByPath(packagePath, "rb");
    if (source == nullptr) return Fail(MESSAGE_BACKUP_SOURCE_FAILED);
    FILE* backup = named ? OpenFileByPath(backupPath, "wb") : nullptr;
    if (backup == nullptr) {
        CloseFile(source);
        return Fail(MESSAGE_BACKUP_CREATE_FAILED);
    }

    const char* failure = CopyBlocks(source, backup);
    CloseFile(source);
    if (!CloseFile(backup) && failure == nullptr) failure = MESSAGE_BACKUP_WRITE_FAILED;
    if (failure != nullptr) {
        // An incomplete copy must not pass for a good backup in a later run.
        RemoveFileByPath(backupPath);
        return Fail(failure);
    }
    if (backupPathOut != nullptr) std::strcpy(backupPathOut, backupPath);
    return 1;
}

int WritePackage(const char* packagePath, const char* packageText) {
    if (packageText == nullptr) return Fail(MESSAGE_CONVERSION_FAILED);
    size_t length = std::strlen(packageText);
    // One byte becomes one 2-byte unit, two bytes one unit, four bytes one
    // or two units: 2 x L bytes always suffice; the 2 spare keep the empty
    // text from a 0-byte buffer.
    size_t room = length * 2 + 2;
    char* converted = static_cast<char*>(std::malloc(room));
    size_t convertedLength = 0;
    if (converted == nullptr ||
        ConvertCharsetLarge(CORE_CHARSET, PACKAGE_WRITE_CHARSET, packageText, length, converted, room, &convertedLength) == -1) {
        std::free(converted);
        return Fail(MESSAGE_CONVERSION_FAILED);
    }
    const char* failure = ReplacePackage(packagePath, converted, convertedLength);
    std::free(converted);
    if (failure != nullptr) return Fail(failure);
    return 1;
}
