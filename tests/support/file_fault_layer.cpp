#include "support/file_fault_layer.h"

#include <cerrno>
#include <cstring>

namespace {

// Streams opened at a path that matches the installed fault.  A stale entry
// (a stream closed with fclose rather than CloseFile) is harmless: a later
// stream at the same address is re-judged when an open hands it out.
const int TRACKED_STREAMS = 8;

struct FaultState {
    FileFault fault;
    int matchingCalls;  // matching calls seen since the fault was installed
    int strikes;        // of which failed
    FILE* tracked[TRACKED_STREAMS];
    int nextSlot;
};

FaultState state;

const FileOperations* Below() { return NativeFileOperations(); }

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

// Whether the fault makes this call fail: `operation` matches and `path` (or
// `otherPath`, when given) ends with the fault's path end, from its nth
// matching call on.
bool StrikesPath(FileFaultOperation operation, const char* path, const char* otherPath) {
    if (state.fault.operation != operation) return false;
    if (!PathMatches(path) && (otherPath == nullptr || !PathMatches(otherPath))) return false;
    return Strike();
}

// The same for a stream call: `file` was opened at a matching path.
bool StrikesStream(FileFaultOperation operation, FILE* file) {
    return state.fault.operation == operation && IsTracked(file) && Strike();
}

// Every stream an open hands out, so the later stream calls know whether
// their stream's path matches.
FILE* NoteOpen(FILE* file, const char* path) {
    if (file == nullptr) return nullptr;
    Untrack(file);
    if (!PathMatches(path)) return file;
    state.tracked[state.nextSlot] = file;
    state.nextSlot = (state.nextSlot + 1) % TRACKED_STREAMS;
    return file;
}

FILE* FaultyOpenByPath(const char* path, const char* mode) {
    bool writes = std::strpbrk(mode, "wa+") != nullptr;
    if (StrikesPath(writes ? FILE_FAULT_OPEN_WRITE : FILE_FAULT_OPEN_READ, path, nullptr)) {
        errno = EACCES;
        return nullptr;
    }
    return NoteOpen(Below()->openByPath(path, mode), path);
}

FILE* FaultyCreateNew(const char* path, int* taken) {
    if (StrikesPath(FILE_FAULT_OPEN_WRITE, path, nullptr)) {
        if (taken != nullptr) *taken = 0;
        errno = EACCES;
        return nullptr;
    }
    return NoteOpen(Below()->createNew(path, taken), path);
}

FILE* FaultyOpenCreated(const char* path) {
    if (StrikesPath(FILE_FAULT_OPEN_WRITE, path, nullptr)) {
        errno = EACCES;
        return nullptr;
    }
    return NoteOpen(Below()->openCreated(path), path);
}

size_t FaultyWrite(FILE* file, const void* bytes, size_t size) {
    if (StrikesStream(FILE_FAULT_WRITE, file)) return Below()->write(file, bytes, size / 2);
    return Below()->write(file, bytes, size);
}

size_t FaultyRead(FILE* file, void* buffer, size_t size) {
    // A failed read leaves the stream short of its end, which is how callers
    // tell a read error from the end of the file.
    if (StrikesStream(FILE_FAULT_READ, file)) return 0;
    return Below()->read(file, buffer, size);
}

int FaultyClose(FILE* file) {
    bool fail = StrikesStream(FILE_FAULT_CLOSE, file);
    Untrack(file);
    int closed = Below()->close(file);
    return fail ? 0 : closed;
}

int FaultyReplace(const char* from, const char* to) {
    return StrikesPath(FILE_FAULT_REPLACE, from, to) ? 0 : Below()->replace(from, to);
}

int FaultyMakeDirectory(const char* path) {
    return StrikesPath(FILE_FAULT_MKDIR, path, nullptr) ? 0 : Below()->makeDirectory(path);
}

int FaultySync(FILE* file) { return StrikesStream(FILE_FAULT_SYNC, file) ? 0 : Below()->sync(file); }

int FaultyProbeReplace(const char* target, const char* temporary) {
    if (StrikesPath(FILE_FAULT_HELD, target, temporary)) return REPLACE_HELD;
    return Below()->probeReplace(target, temporary);
}

int FaultyIsFolderWritable(const char* folder) {
    return StrikesPath(FILE_FAULT_FOLDER_WRITE, folder, nullptr) ? 0 : Below()->isFolderWritable(folder);
}

const FileOperations FAULTY_FILE_OPERATIONS = {
    FaultyOpenByPath, FaultyCreateNew,    FaultyOpenCreated,      FaultyWrite,
    FaultyRead,       FaultyClose,        FaultyReplace,          FaultyMakeDirectory,
    FaultySync,       FaultyProbeReplace, FaultyIsFolderWritable,
};

}  // namespace

void SetFileFaultInjection(const FileFault* fault) {
    std::memset(&state, 0, sizeof state);
    if (fault == nullptr) {
        UseFileOperations(nullptr);
        return;
    }
    state.fault = *fault;
    UseFileOperations(&FAULTY_FILE_OPERATIONS);
}

int FileFaultStrikes() { return state.strikes; }
