// Writing the package back and keeping its numbered backups.
//
// Every run first copies the package byte for byte to
// "<stateFolder>/bak/<name>(n)<ext>" (the smallest free n from 1), and at
// its end writes the rewritten text back as FF FE + UCS-2LE.  When either
// fails it returns 0 with nothing half-done left behind and hands its
// message ("错误" box text) to the caller through `failure`, which decides
// what happens next.  A package that cannot be replaced is no such failure:
// the work is kept beside it (WritePackage).
#pragma once

#include <cstddef>

#include "platform/fs.h"

// The backup folder, in coreState.stateFolder: beside the program, or in the
// user's state folder where the program's folder cannot be written.
#define BACKUP_FOLDER_NAME "bak"
// The package is written to "<package>" PACKAGE_TEMP_SUFFIX first and then
// moved over the package, so a failed write never costs the old package.
// When the package path is a symbolic link, "<package>" is the file the link
// leads to, and the link stays.
#define PACKAGE_TEMP_SUFFIX ".karvelo-tmp"

// The backup is copied to "<bak>/" BACKUP_PART_PREFIX "<backup name>" and
// moved to its name once complete.
#define BACKUP_PART_PREFIX "~"
// Numbers tried when another run takes the backup's name at the same moment.
const int BACKUP_NAME_TRIES = 16;

// When the package cannot be replaced at the end of a run (another program
// holds it), the rewritten package is kept beside it as
// "<stem>(已搬家)<ext>", or "<stem>(已搬家n)<ext>" from n = 2 when that is
// taken (the label is TEXT_KEPT_PACKAGE_LABEL), in the folder of the file
// the package path leads to.

// The copy is streamed in blocks of this size, never held whole.
const int BACKUP_BLOCK_BYTES = 8192;

// A package another program holds (Excel, an antivirus scanner, an indexer)
// is tried this many times, this far apart, before the rewritten package is
// kept beside it.
const int PACKAGE_REPLACE_TRIES = 5;
const int PACKAGE_REPLACE_DELAY_MS = 1000;

// Copies the package into "<stateFolder>/bak" (ChooseStateFolder); 1 when
// the copy is complete.  `backupPath`, when given (MAX_PATH_BYTES), then
// receives the copy's path; on 0, `failure` (may be null) the message.
int BackupPackage(const char* packagePath, const char* stateFolder, char* backupPath = nullptr,
                  const char** failure = nullptr);

// Results of the writes below; 0 is a failure, its message in `failure`
// (may be null), and the package keeps its bytes.
const int PACKAGE_WRITTEN = 1;      // the package holds the new text
const int PACKAGE_KEPT_BESIDE = 2;  // it could not be replaced; the new text is kept beside it
const int PACKAGE_HELD = 3;         // it could not be replaced now; nothing was written
// The package is no longer the file that was read (another export saved
// over it, renamed over it, removed, or a link put in its place): it is
// never written over.
const int PACKAGE_CHANGED_KEPT_BESIDE = 4;  // the new text is kept beside it
const int PACKAGE_CHANGED = 5;              // nothing was written

// The package file a run works on: the file its path led to when it was
// read (a link resolved once, then) and that file's identity, which the
// run's own write-backs bring up to date.  The writes below replace only
// that file, and only while it is unchanged.
struct PackageFile {
    char path[MAX_PATH_BYTES];    // the package path it was noted for; "" when none
    char target[MAX_PATH_BYTES];  // the regular file the path led to
    FileIdentity identity;
};
// Notes the package at `packagePath` before it is read; 1 when it leads to
// a regular file, else 0 with `file->path` "".
int NotePackageFile(const char* packagePath, PackageFile* file);

// The text a package is written from, in the core's form, handed over in
// pieces so that no whole copy of it (nor of its UTF-16 form) is ever held:
// `produce` passes every piece, in order, to PutPackageText and stops when
// that returns false.  The writer may ask more than once (each file it
// writes asks from the start), and every time the pieces must be the same.
struct PackageTextSink;
struct PackageText {
    void (*produce)(void* context, PackageTextSink* sink);
    void* context;
};
// Converts and writes the next `length` bytes; false once the file cannot
// take more (the writer then says why).
bool PutPackageText(PackageTextSink* sink, const char* bytes, size_t length);

// Replaces the package with `packageText` (core form, NUL-terminated) in
// UTF-16LE with its mark.  A package that cannot be replaced is tried
// PACKAGE_REPLACE_TRIES times; then the new package is kept beside it and
// its path goes into `keptPath` (MAX_PATH_BYTES, may be null).  With
// `watched` (NotePackageFile), `watched->target` is replaced, and only when
// it is still that file; otherwise the new package is kept beside it at
// once.  Returns PACKAGE_WRITTEN, PACKAGE_KEPT_BESIDE,
// PACKAGE_CHANGED_KEPT_BESIDE or 0.
int WritePackage(const char* packagePath, const char* packageText, char* keptPath, PackageFile* watched = nullptr,
                 const char** failure = nullptr);

// The same with the text handed over in pieces.
int WritePackageText(const char* packagePath, const PackageText& text, char* keptPath, PackageFile* watched = nullptr,
                     const char** failure = nullptr);

// The same for a checkpoint in the middle of a run: one try, and a package
// that cannot be replaced now is left as it is (PACKAGE_HELD, nothing shown),
// since the run writes it again later; a changed one too (PACKAGE_CHANGED),
// for the end of the run to keep beside it.  PACKAGE_WRITTEN, PACKAGE_HELD,
// PACKAGE_CHANGED or 0.
int WritePackageIfFree(const char* packagePath, const char* packageText, PackageFile* watched = nullptr,
                       const char** failure = nullptr);
int WritePackageTextIfFree(const char* packagePath, const PackageText& text, PackageFile* watched = nullptr,
                           const char** failure = nullptr);

// How the writes above will fare, asked before a run starts so that a run
// never ends with work it cannot write: every path they form (the backup,
// the temporary file, the kept copy) fits the system, and the package can
// be replaced right now.
enum PackageWritability {
    PACKAGE_WRITABLE = 0,
    PACKAGE_PATH_TOO_LONG,  // a path the run forms does not fit
    PACKAGE_IN_USE,         // another program holds the package (ProbeReplace: REPLACE_HELD)
    PACKAGE_READ_ONLY,      // the package or its folder may not be written
};
int CheckPackageWritable(const char* packagePath, const char* stateFolder);

// Tests shorten the wait for a held package; a negative value restores the
// defaults above.
void SetPackageReplaceWait(int tries, int delayMilliseconds);
