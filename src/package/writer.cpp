#include "package/writer.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fs.h"
#include "platform/thread.h"
#include "base/memory.h"
#include "util/charset.h"
#include "util/files.h"
#include "texts/texts.h"

namespace {

const unsigned char UTF16LE_MARK[2] = {0xFF, 0xFE};

// A failed operation: 0, with its message for the caller to show.
int Fail(const char* message, const char** failure) {
    if (failure != nullptr) *failure = message;
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

// A name is taken by anything at all: FileExists alone misses a folder, an
// unreadable file or a link that leads nowhere, on which the exclusive
// create would then trip.
int PathTaken(const char* path) {
    char resolved[MAX_PATH_BYTES];
    return FileExists(path) || FileModeOfPath(path) >= 0 || !ResolveLinkedFile(path, resolved, sizeof resolved) ? 1 : 0;
}

// The first free "<folder><stem>(<label><n>)<extension>" for `name`, n
// counting from 1; `label` empty gives "(1)", "(2)", ..., a label gives
// "(<label>)", "(<label>2)", ...  0 when none fits.  `folder` ends with its
// separator (or is empty).  With `partner`, the number's backup-in-progress
// name (BackupPartPath) must be free as well, and it goes there.
int BackupPartPath(const char* path, char* part);
int PickNumberedPath(const char* folder, const char* name, const char* label, char* path, char* partner = nullptr) {
    // '.' is never part of a multi-byte character, so a byte search finds
    // the real last dot.
    const char* dot = std::strrchr(name, '.');
    int stemLength = static_cast<int>(dot != nullptr ? dot - name : std::strlen(name));
    const char* extension = dot != nullptr ? dot : "";
    for (int number = 1; number < INT_MAX; ++number) {
        char counter[16] = "";
        if (*label == '\0' || number > 1) std::snprintf(counter, sizeof counter, "%d", number);
        if (!FormatPath(path, "%s%.*s(%s%s)%s", folder, stemLength, name, label, counter, extension)) return 0;
        if (partner != nullptr && !BackupPartPath(path, partner)) return 0;
        if (!PathTaken(path) && (partner == nullptr || !PathTaken(partner))) return 1;
    }
    return 0;
}

// The backup folder, "<stateFolder>/bak"; 0 when it does not fit.
int FormBackupFolder(const char* stateFolder, char* folder) {
    return FormatPath(folder, "%s%s%s", stateFolder, PATH_SEPARATOR_TEXT, BACKUP_FOLDER_NAME);
}

// A backup is copied under "<bak>/~<name>" and moved to "<bak>/<name>"
// once whole, so a copy cut short (a crash, kill -9) never passes for a
// backup.  Such a left-over is never removed (another package's backup
// could bear that name) but passed over: its number is not used.
int BackupPartPath(const char* path, char* part) {
    const char* name = FileNameOfPath(path);
    return FormatPath(part, "%.*s%s%s", static_cast<int>(name - path), path, BACKUP_PART_PREFIX, name);
}

// The backup path the next backup of `packagePath` takes, and where it is
// copied first (`part`, may be null); 0 when none fits.
int PickBackupPath(const char* packagePath, const char* stateFolder, char* path, char* part = nullptr) {
    char folder[MAX_PATH_BYTES];
    char unused[MAX_PATH_BYTES];
    if (!FormBackupFolder(stateFolder, folder)) return 0;
    std::strncat(folder, PATH_SEPARATOR_TEXT, sizeof folder - std::strlen(folder) - 1);
    return PickNumberedPath(folder, FileNameOfPath(packagePath), "", path, part != nullptr ? part : unused);
}

// Where a package that cannot be replaced is kept: beside `target`.
int PickKeptPath(const char* target, char* path) {
    char folder[MAX_PATH_BYTES];
    const char* name = FileNameOfPath(target);
    std::snprintf(folder, sizeof folder, "%.*s", static_cast<int>(name - target), target);
    return PickNumberedPath(folder, name, TEXT_KEPT_PACKAGE_LABEL, path);
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

int replaceTries = PACKAGE_REPLACE_TRIES;

// The text is converted and written this many bytes of the core's form at a
// time; each byte becomes at most two of UTF-16 (a four-byte code becomes
// one unit or a pair).
const size_t SINK_BLOCK_BYTES = 64 * 1024;
const size_t SINK_CONVERTED_BYTES = SINK_BLOCK_BYTES * 2;
// The most bytes of a character a block's end can cut off.
const size_t MAX_CUT_CHARACTER_BYTES = 3;

}  // namespace

// One file being written from a PackageText: the bytes not converted yet
// (a character cut by the last block's end first), and why it stopped.
struct PackageTextSink {
    FILE* file;
    TextConverter* converter;
    size_t pendingLength;
    bool writeFailed;
    bool conversionFailed;
    char pending[SINK_BLOCK_BYTES];
    char converted[SINK_CONVERTED_BYTES];
};

namespace {

// Converts and writes what is pending; at the `last` block a cut character
// is a failure, as it is for the whole text at once.
bool FlushSink(PackageTextSink* sink, bool last) {
    const char* in = sink->pending;
    size_t inLeft = sink->pendingLength;
    char* out = sink->converted;
    size_t outLeft = sizeof sink->converted;
    ConversionStop stop = ConvertTextPiece(sink->converter, &in, &inLeft, &out, &outLeft, nullptr);
    if (stop != CONVERSION_DONE && (last || stop != CONVERSION_INPUT_CUT || inLeft > MAX_CUT_CHARACTER_BYTES)) {
        sink->conversionFailed = true;
        return false;
    }
    const size_t produced = static_cast<size_t>(out - sink->converted);
    if (produced > 0 && WriteFileBytes(sink->file, sink->converted, produced) != produced) {
        sink->writeFailed = true;
        return false;
    }
    std::memmove(sink->pending, in, inLeft);
    sink->pendingLength = inLeft;
    return true;
}

// Writes the whole text into `file` through one conversion: 1, 0 when a
// write failed, -1 when the text cannot be converted.
int WriteTextInto(FILE* file, const PackageText& text) {
    PackageTextSink* sink = static_cast<PackageTextSink*>(Allocate(sizeof(PackageTextSink)));
    sink->file = file;
    sink->converter = OpenCharsetStream(CORE_CHARSET, PACKAGE_WRITE_CHARSET);
    sink->pendingLength = 0;
    sink->writeFailed = false;
    sink->conversionFailed = sink->converter == nullptr;
    if (!sink->conversionFailed) {
        text.produce(text.context, sink);
        if (!sink->writeFailed && !sink->conversionFailed) FlushSink(sink, true);
    }
    int result = sink->conversionFailed ? -1 : sink->writeFailed ? 0 : 1;
    if (sink->converter != nullptr) CloseTextConverter(sink->converter);
    std::free(sink);
    return result;
}

// A whole NUL-terminated text as one piece.
void ProduceWholeText(void* context, PackageTextSink* sink) {
    const char* text = static_cast<const char*>(context);
    PutPackageText(sink, text, std::strlen(text));
}
int replaceDelayMs = PACKAGE_REPLACE_DELAY_MS;

// Creates `path`, exclusively and never through a link, with the mark and
// the converted text, on the disk before it returns; the new file's
// identity into *made (may be null).  A temporary file left by a crash
// (or a link planted at its name) is removed first when `temporary`: the
// name is ours.  1 when written; 0 when it cannot be created; -1 when the
// bytes could not all be written (a full disk), -2 when the text cannot be
// converted, the file removed again.
const int NEW_FILE_NOT_CONVERTED = -2;
int WriteNewFile(const char* path, const PackageText& text, bool temporary, FileIdentity* made) {
    int taken = 0;
    FILE* file = CreateNewFileByPath(path, &taken);
    if (file == nullptr && taken && temporary && RemoveFileByPath(path)) file = CreateNewFileByPath(path, nullptr);
    if (file == nullptr) return 0;
    bool ok = WriteFileBytes(file, UTF16LE_MARK, sizeof UTF16LE_MARK) == sizeof UTF16LE_MARK;
    bool converted = true;
    if (ok) {
        int written = WriteTextInto(file, text);
        converted = written >= 0;
        ok = written == 1;
    }
    // The bytes reach the disk before a name points at them, so a crash
    // at any instant leaves the old package or the whole new one.
    if (ok) ok = SyncFile(file) == 1;
    if (ok && made != nullptr) IdentifyOpenFile(file, made);
    // Buffered bytes meet a full disk only here, so the close counts too.
    if (!CloseFile(file)) ok = false;
    if (ok) return 1;
    RemoveFileByPath(path);
    return converted ? -1 : NEW_FILE_NOT_CONVERTED;
}

// Whether the package is still the file the run read (or last wrote).
bool StillTheFileRead(const PackageFile* file) {
    FileIdentity now;
    return IdentifyFileByPath(file->target, &now) && SameFileIdentity(now, file->identity);
}

// The new name is made durable too.  The file is in place already, so a
// folder that cannot be synced is no failure of the write.
void SyncFolderOf(const char* path) {
    char folder[MAX_PATH_BYTES];
    size_t folderLength = static_cast<size_t>(FileNameOfPath(path) - path);
    if (folderLength <= 1 || folderLength > sizeof folder) return;
    std::memcpy(folder, path, folderLength - 1);
    folder[folderLength - 1] = '\0';
    SyncFolder(folder);
}

// Writes the new package to the temporary file and moves it over the
// package, `tries` times while the package cannot be replaced; with
// `keepBeside`, then keeps it beside the package (its path into
// `keptPath`).  With `watched`, the package is replaced only while it is
// still the file the run read: one that was replaced, removed or turned
// into a link meanwhile is left as it is and the new one kept beside it
// (or, without `keepBeside`, nothing written); after a replacement
// `watched` names the file just written.  Returns PACKAGE_WRITTEN,
// PACKAGE_KEPT_BESIDE, PACKAGE_HELD, PACKAGE_CHANGED_KEPT_BESIDE or
// PACKAGE_CHANGED, or 0 with the failure message in *failure; the package
// is untouched unless written, and the temporary file is gone either way.
int ReplacePackage(const char* packagePath, const PackageText& text, int tries, bool keepBeside, char* keptPath,
                   PackageFile* watched, const char** failure) {
    // A package that is a symbolic link is replaced where the link leads, so
    // the link stays a link: the temporary file is written beside that file
    // and moved over it.  A link that leads nowhere is not replaced at all,
    // and neither is a folder.  A watched package was resolved when read.
    char target[MAX_PATH_BYTES];
    char tempPath[MAX_PATH_BYTES];
    *failure = MESSAGE_OPEN_FAILED;
    // A package that could not be noted is no file known to be ours: it is
    // never replaced.
    bool noted = watched != nullptr && watched->path[0] != '\0';
    bool resolved =
        noted ? FormatPath(target, "%s", watched->target) : ResolveLinkedFile(packagePath, target, sizeof target) != 0;
    if (!resolved || IsDirectory(target) || !FormatPath(tempPath, "%s%s", target, PACKAGE_TEMP_SUFFIX)) {
        return 0;
    }
    bool tempWritten = false;
    bool changed = watched != nullptr && !noted;
    FileIdentity written = {};
    for (int attempt = 1; attempt <= tries && !changed; ++attempt) {
        if (attempt > 1) SleepMilliseconds(static_cast<unsigned>(replaceDelayMs));
        if (!tempWritten) {
            int made = WriteNewFile(tempPath, text, true, &written);
            if (made < 0) {
                *failure = made == NEW_FILE_NOT_CONVERTED ? MESSAGE_CONVERSION_FAILED : MESSAGE_PACKAGE_WRITE_FAILED;
                return 0;
            }
            tempWritten = made == 1;
        }
        // Checked last before the move, so that a new export saved over the
        // package, or a package moved away, is never overwritten.
        changed = watched != nullptr && !StillTheFileRead(watched);
        // The package is replaced, not rewritten in place, and a rename
        // passes over a read-only package (and, under some systems, one
        // held open); so ask first whether it could be written.
        if (!changed && tempWritten && ProbeReplace(target, nullptr) == REPLACE_ALLOWED &&
            ReplaceFileByPath(tempPath, target)) {
            SyncFolderOf(target);
            if (watched != nullptr) {
                // The file now at the name, unless another took it at once.
                FileIdentity now;
                watched->identity = IdentifyFileByPath(target, &now) && SameFile(now, written) ? now : written;
            }
            return PACKAGE_WRITTEN;
        }
    }
    if (keepBeside) {
        // Nothing is lost: the new package goes beside the old one, moved
        // there or, when not even the temporary file could be made (a held
        // name), written there.
        char kept[MAX_PATH_BYTES];
        int made = 0;
        if (PickKeptPath(target, kept)) {
            made = tempWritten ? MoveFileByPath(tempPath, kept) : WriteNewFile(kept, text, false, nullptr);
        }
        if (made == 1) {
            SyncFolderOf(kept);
            if (keptPath != nullptr) std::memcpy(keptPath, kept, std::strlen(kept) + 1);
            return changed ? PACKAGE_CHANGED_KEPT_BESIDE : PACKAGE_KEPT_BESIDE;
        }
        if (made < 0) *failure = made == NEW_FILE_NOT_CONVERTED ? MESSAGE_CONVERSION_FAILED : MESSAGE_PACKAGE_WRITE_FAILED;
    }
    if (tempWritten) RemoveFileByPath(tempPath);
    if (keepBeside) return 0;
    return changed ? PACKAGE_CHANGED : PACKAGE_HELD;
}

int WriteText(const char* packagePath, const PackageText& text, int tries, bool keepBeside, char* keptPath,
              PackageFile* watched, const char** failure) {
    const char* replaceFailure = nullptr;
    int result = ReplacePackage(packagePath, text, tries, keepBeside, keptPath, watched, &replaceFailure);
    return result != 0 ? result : Fail(replaceFailure, failure);
}

}  // namespace

int BackupPackage(const char* packagePath, const char* stateFolder, char* backupPathOut, const char** failureOut) {
    char folder[MAX_PATH_BYTES];
    if (!FormBackupFolder(stateFolder, folder) ||
        (!IsDirectory(folder) && !MakeDirectory(folder) && !IsDirectory(folder))) {
        return Fail(MESSAGE_BAK_FOLDER_FAILED, failureOut);
    }
    FILE* source = OpenFileByPath(packagePath, "rb");
    if (source == nullptr) return Fail(MESSAGE_BACKUP_SOURCE_FAILED, failureOut);
    char backupPath[MAX_PATH_BYTES];
    char partPath[MAX_PATH_BYTES];
    FILE* backup = nullptr;
    // Another run may take the same number at the same moment: the
    // exclusive create tells, and the next number is tried.
    for (int tries = 0; backup == nullptr && tries < BACKUP_NAME_TRIES; ++tries) {
        int taken = 0;
        if (!PickBackupPath(packagePath, stateFolder, backupPath, partPath)) break;
        backup = CreateNewFileByPath(partPath, &taken);
        if (!taken) break;
    }
    if (backup == nullptr) {
        CloseFile(source);
        return Fail(MESSAGE_BACKUP_CREATE_FAILED, failureOut);
    }

    const char* failure = CopyBlocks(source, backup);
    CloseFile(source);
    if (failure == nullptr && !SyncFile(backup)) failure = MESSAGE_BACKUP_WRITE_FAILED;
    if (!CloseFile(backup) && failure == nullptr) failure = MESSAGE_BACKUP_WRITE_FAILED;
    // Whole: under its own name, never over another file.
    if (failure == nullptr && !MoveFileByPath(partPath, backupPath)) failure = MESSAGE_BACKUP_CREATE_FAILED;
    if (failure != nullptr) {
        // An incomplete copy must not pass for a good backup in a later run.
        RemoveFileByPath(partPath);
        return Fail(failure, failureOut);
    }
    if (backupPathOut != nullptr) std::strcpy(backupPathOut, backupPath);
    return 1;
}

bool PutPackageText(PackageTextSink* sink, const char* bytes, size_t length) {
    while (length > 0) {
        if (sink->writeFailed || sink->conversionFailed) return false;
        size_t room = sizeof sink->pending - sink->pendingLength;
        size_t taken = length < room ? length : room;
        std::memcpy(sink->pending + sink->pendingLength, bytes, taken);
        sink->pendingLength += taken;
        bytes += taken;
        length -= taken;
        if (sink->pendingLength == sizeof sink->pending && !FlushSink(sink, false)) return false;
    }
    return !sink->writeFailed && !sink->conversionFailed;
}

int WritePackageText(const char* packagePath, const PackageText& text, char* keptPath, PackageFile* watched,
                     const char** failure) {
    return WriteText(packagePath, text, replaceTries, true, keptPath, watched, failure);
}

int WritePackageTextIfFree(const char* packagePath, const PackageText& text, PackageFile* watched,
                           const char** failure) {
    return WriteText(packagePath, text, 1, false, nullptr, watched, failure);
}

int WritePackage(const char* packagePath, const char* packageText, char* keptPath, PackageFile* watched,
                 const char** failure) {
    if (packageText == nullptr) return Fail(MESSAGE_CONVERSION_FAILED, failure);
    return WritePackageText(packagePath, PackageText{ProduceWholeText, const_cast<char*>(packageText)}, keptPath,
                            watched, failure);
}

int WritePackageIfFree(const char* packagePath, const char* packageText, PackageFile* watched, const char** failure) {
    if (packageText == nullptr) return Fail(MESSAGE_CONVERSION_FAILED, failure);
    return WritePackageTextIfFree(packagePath, PackageText{ProduceWholeText, const_cast<char*>(packageText)}, watched,
                                  failure);
}

int NotePackageFile(const char* packagePath, PackageFile* file) {
    *file = PackageFile{};
    if (!ResolveLinkedFile(packagePath, file->target, sizeof file->target) ||
        !IdentifyFileByPath(file->target, &file->identity) || !FormatPath(file->path, "%s", packagePath)) {
        file->path[0] = '\0';
        return 0;
    }
    return 1;
}

int CheckPackageWritable(const char* packagePath, const char* stateFolder) {
    char target[MAX_PATH_BYTES];
    if (!ResolveLinkedFile(packagePath, target, sizeof target)) return PACKAGE_READ_ONLY;
    char path[MAX_PATH_BYTES];
    // Every path the run forms: the backup and its copy in progress, the
    // kept copy, and the temporary file last, whose path the probe below uses.
    char part[MAX_PATH_BYTES];
    if (!PathFitsSystem(packagePath) || !PickBackupPath(packagePath, stateFolder, path, part) ||
        !PathFitsSystem(path) || !PathFitsSystem(part) || !PickKeptPath(target, path) || !PathFitsSystem(path) ||
        !FormatPath(path, "%s%s", target, PACKAGE_TEMP_SUFFIX) || !PathFitsSystem(path)) {
        return PACKAGE_PATH_TOO_LONG;
    }
    switch (ProbeReplace(target, path)) {
        case REPLACE_ALLOWED: return PACKAGE_WRITABLE;
        case REPLACE_HELD: return PACKAGE_IN_USE;
        default: return PACKAGE_READ_ONLY;
    }
}

void SetPackageReplaceWait(int tries, int delayMilliseconds) {
    replaceTries = tries > 0 ? tries : PACKAGE_REPLACE_TRIES;
    replaceDelayMs = delayMilliseconds >= 0 ? delayMilliseconds : PACKAGE_REPLACE_DELAY_MS;
}
