// The portable half of fs.h: the stream calls, the injected-fault seam and
// the choice of the folder for backups and the log.
#include <cstdio>
#include <cstring>

#include "platform/charset.h"
#include "platform/file_fault.h"
#include "platform/fs.h"

namespace {

// Streams opened at a path that matches the installed fault.  A stale entry
// (a stream closed with fclose rather than CloseFile) is harmless: a later
// stream at the same address is re-judged when OpenFileByPath hands it out.
const int TRACKED_STREAMS = 8;

struct FaultState {
    bool installed;
    FileFault fault;
    int matchingCalls;  // matching calls seen since the fault was installed
    int strikes;        // of which failed
    FILE* tracked[TRACKED_STREAMS];
    int nextSlot;
};

FaultState state;

bool PathMatches(const char* path) {
    const char* end = state.fault.pathEnd;
    if (end == nullptr || end[0] == '\0') return true;
    if (path == nullptr) return false;
    size_t pathLength = std::strlen(path), endLength = std::strlen(end);
    return pathLength >= endLength && std::memcmp(path + pathLength - endLength, end, endLength) == 0;
}

bool IsTracked(FILE* file) {
    for (int i = 0; i < TRACKED_STREAMS; ++i) {
        if (state.tracked[i] == file) return true;
    }
    return false;
}

void Untrack(FILE* file) {
    for (int i = 0; i < TRACKED_STREAMS; ++i) {
        if (state.tracked[i] == file) state.tracked[i] = nullptr;
    }
}

// Counts a matching call and decides whether it fails.
bool Strike() {
    ++state.matchingCalls;
    int first = state.fault.nth > 0 ? state.fault.nth : 1;
    if (state.matchingCalls < first) return false;
    ++state.strikes;
    return true;
}

}  // namespace

int FileFaultStrikesStream(FileFaultOperation operation, FILE* file) {
    if (!state.installed || state.fault.operation != operation || !IsTracked(file)) return 0;
    return Strike() ? 1 : 0;
}

void SetFileFaultInjection(const FileFault* fault) {
    std::memset(&state, 0, sizeof state);
    if (fault == nullptr) return;
    state.installed = true;
    state.fault = *fault;
}

int FileFaultStrikes() { return state.strikes; }

int FileFaultStrikesPath(FileFaultOperation operation, const char* path, const char* otherPath) {
    if (!state.installed || state.fault.operation != operation) return 0;
    if (!PathMatches(path) && (otherPath == nullptr || !PathMatches(otherPath))) return 0;
    return Strike() ? 1 : 0;
}

void FileFaultNoteOpen(FILE* file, const char* path) {
    if (!state.installed || file == nullptr) return;
    Untrack(file);
    if (!PathMatches(path)) return;
    state.tracked[state.nextSlot] = file;
    state.nextSlot = (state.nextSlot + 1) % TRACKED_STREAMS;
}

size_t WriteFileBytes(FILE* file, const void* bytes, size_t size) {
    if (file == nullptr) return 0;
    if (FileFaultStrikesStream(FILE_FAULT_WRITE, file)) return std::fwrite(bytes, 1, size / 2, file);
    return std::fwrite(bytes, 1, size, file);
}

size_t ReadFileBytes(FILE* file, void* buffer, size_t size) {
    if (file == nullptr) return 0;
    // A failed read leaves the stream short of its end, which is how callers
    // tell a read error from the end of the file.
    if (FileFaultStrikesStream(FILE_FAULT_READ, file)) return 0;
    return std::fread(buffer, 1, size, file);
}

int CloseFile(FILE* file) {
    if (file == nullptr) return 0;
    bool fail = FileFaultStrikesStream(FILE_FAULT_CLOSE, file);
    if (state.installed) Untrack(file);
    int closed = std::fclose(file) == 0 ? 1 : 0;
    return fail ? 0 : closed;
}

bool ConvertPathBytes(TextEncoding toCharset, TextEncoding fromCharset, const char* input, size_t length,
                      char* output, size_t size, size_t* written) {
    TextConversion converted;
    bool ok = ConvertText(fromCharset, toCharset, MISSING_STOP, input, length, output, size, &converted) ==
              CONVERSION_DONE;
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
