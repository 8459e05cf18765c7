// The portable half of fs.h: the stream calls, the table of file operations
// the public calls go through, and the choice of the folder for backups and
// the log.
#include <cstdio>
#include <cstring>

#include "platform/charset.h"
#include "platform/fs.h"
#include "platform/fs_native.h"

namespace {

size_t NativeWriteFileBytes(FILE* file, const void* bytes, size_t size) { return std::fwrite(bytes, 1, size, file); }

size_t NativeReadFileBytes(FILE* file, void* buffer, size_t size) { return std::fread(buffer, 1, size, file); }

int NativeCloseFile(FILE* file) { return std::fclose(file) == 0 ? 1 : 0; }

const FileOperations NATIVE_FILE_OPERATIONS = {
    NativeOpenFileByPath, NativeCreateNewFileByPath, NativeOpenCreatedFileByPath, NativeWriteFileBytes,
    NativeReadFileBytes,  NativeCloseFile,           NativeReplaceFileByPath,     NativeMakeDirectory,
    NativeSyncFile,       NativeProbeReplace,        NativeIsFolderWritable,
};

// The table every call below goes through; only a test changes it.
const FileOperations* operationsInUse = &NATIVE_FILE_OPERATIONS;

}  // namespace

const FileOperations* NativeFileOperations() { return &NATIVE_FILE_OPERATIONS; }

void UseFileOperations(const FileOperations* operations) {
    operationsInUse = operations != nullptr ? operations : &NATIVE_FILE_OPERATIONS;
}

FILE* OpenFileByPath(const char* path, const char* mode) { return operationsInUse->openByPath(path, mode); }

FILE* CreateNewFileByPath(const char* path, int* taken) { return operationsInUse->createNew(path, taken); }

FILE* OpenCreatedFileByPath(const char* path) { return operationsInUse->openCreated(path); }

size_t WriteFileBytes(FILE* file, const void* bytes, size_t size) {
    if (file == nullptr) return 0;
    return operationsInUse->write(file, bytes, size);
}

size_t ReadFileBytes(FILE* file, void* buffer, size_t size) {
    if (file == nullptr) return 0;
    return operationsInUse->read(file, buffer, size);
}

int CloseFile(FILE* file) {
    if (file == nullptr) return 0;
    return operationsInUse->close(file);
}

int ReplaceFileByPath(const char* from, const char* to) { return operationsInUse->replace(from, to); }

int MakeDirectory(const char* path) { return operationsInUse->makeDirectory(path); }

int SyncFile(FILE* file) {
    if (file == nullptr) return 0;
    return operationsInUse->sync(file);
}

int ProbeReplace(const char* target, const char* temporary) { return operationsInUse->probeReplace(target, temporary); }

int IsFolderWritable(const char* folder) { return operationsInUse->isFolderWritable(folder); }

bool ConvertPathBytes(TextEncoding toCharset, TextEncoding fromCharset, const char* input, size_t length, char* output,
                      size_t size, size_t* written) {
    TextConversion converted;
    bool ok =
        ConvertText(fromCharset, toCharset, MISSING_STOP, input, length, output, size, &converted) == CONVERSION_DONE;
    *written = converted.written;
    return ok;
}

int ChooseStateFolder(const char* programFolder, int create, char* folder, int size) {
    if (folder == nullptr || size <= 0) return 0;
    if (!IsSharedProgramFolder(programFolder) && IsFolderWritable(programFolder) &&
        std::strlen(programFolder) < static_cast<size_t>(size)) {
        std::strcpy(folder, programFolder);
        return 1;
    }
    if (GetUserStateFolder(folder, size, create)) return 1;
    std::snprintf(folder, static_cast<size_t>(size), "%s", programFolder);
    return 0;
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) { return a.volume == b.volume && a.file == b.file; }

bool SameFileIdentity(const FileIdentity& a, const FileIdentity& b) {
    return SameFile(a, b) && a.size == b.size && a.modified == b.modified;
}
