// The image library: DEST's index of the images relocated into it, so a
// later run of any package finds an address's file instead of downloading it
// again, and an image whose bytes are already there is kept once.
//
// It lives in DEST/.karvelo/library.sqlite3, an SQLite database in WAL mode
// with a busy timeout, so several processes relocating into one DEST share
// it: readers never wait, a writer waits its turn.  Each row names an
// address, its file, the file's size and SHA-256 and when it was stored.
// A row is only a hint: every answer checks the file is still there with
// that size (and, when asked, that hash), and a row whose file has gone or
// changed is dropped.
//
// Rows recorded are pending until CommitImageLibrary: they are kept in the
// connection's own temporary table, visible to this library value's look-ups
// at once, and moved into the shared table in one short write transaction
// at commit, so no process holds the database's write lock between its
// commits.  Closing without a commit (or a crash) loses the pending rows,
// never the files.
//
// Two processes relocating into one DEST at once download each address
// once: before downloading one, a process claims it (ClaimImage); the other,
// finding it claimed, waits for its row (AwaitClaimedImage) instead of
// downloading it too.  A claim ends with the commit of its row, a release
// (the download failed) or the close; one that a crashed process left, or
// that is too old, is stale and taken over.
//
// Paths and addresses are in the core's form; the database keeps them as
// UTF-8 (the form SQLite's texts and file names take on every system).  One
// library value belongs to one thread at a time; each holds its own
// connection and statements, nothing is shared through globals.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/fs.h"
#include "platform/sha256.h"
#include "util/files.h"

struct ImageLibrary;

// The library's folder inside DEST and its database's name there.
#define IMAGE_LIBRARY_FOLDER ".karvelo"
#define IMAGE_LIBRARY_FILE "library.sqlite3"
// PRAGMA user_version of the schema this program writes.
// Version 2 added the claims; a version-1 library gains them when opened.
const int IMAGE_LIBRARY_SCHEMA_VERSION = 2;

// One row: a file in the core's form, its size and hash, and when it was
// stored (seconds since 1970).
struct ImageEntry {
    char file[MAX_PATH_BYTES];
    long long size;
    char sha256[SHA256_HEX_SIZE];
    long long stored;
};

// Opens DEST/.karvelo/library.sqlite3 of `destination` (core form), making
// the folder and the database as needed.  A file there that is not an
// SQLite database or fails its quick check is set aside, renamed
// library.sqlite3.damaged-N with its -wal and -shm files (never deleted),
// `message` says so, and a new library is begun.  Rows whose file is missing
// are dropped.  Null on failure, with the reason in `message`; otherwise
// `message` is empty unless something was set aside.
ImageLibrary* OpenImageLibrary(const char* destination, char* message, size_t size);

// What a look-up found.
enum ImageLookUp {
    IMAGE_LOOKUP_ERROR = -1,  // the database failed: ImageLibraryError says why
    IMAGE_ABSENT = 0,         // no usable row (a stale one was dropped)
    IMAGE_PRESENT = 1,        // *out holds the row; its file is there as recorded
};
// How closely a look-up checks a row's file.
enum ImageCheck {
    CHECK_SIZE,           // there, a regular file, of the recorded size
    CHECK_SIZE_AND_HASH,  // and its bytes still have the recorded SHA-256
};

// The row of `address`, pending or committed, when its file is still there
// as `check` asks; a row whose file has gone or changed is dropped.
int LookUpImage(ImageLibrary* library, const char* address, ImageEntry* out, ImageCheck check = CHECK_SIZE);

// A file of the library with exactly these bytes (`size` and SHA-256 `sha256`
// in hex), its hash checked again; stale rows met on the way are dropped.
int FindImageByContent(ImageLibrary* library, long long size, const char* sha256, ImageEntry* out);

// Records `address` -> `file` (its `size` and `sha256`), pending until the
// next commit; a later record of the same address replaces it.  1 on
// success, 0 with ImageLibraryError.
int RecordImage(ImageLibrary* library, const char* address, const char* file, long long size, const char* sha256);

// Makes the pending rows the library's, in one transaction that also ends
// this value's claims of their addresses (a waiter sees the row and no claim
// together): call it once the files they name are whole and durable.  1 on success (nothing pending is
// success too); 0 with ImageLibraryError, the rows staying pending.
int CommitImageLibrary(ImageLibrary* library);

// What a claim found.
enum ImageClaim {
    IMAGE_CLAIM_ERROR = -1,          // the database failed: ImageLibraryError says why
    IMAGE_CLAIM_TAKEN = 0,           // the address is this library value's to download now
    IMAGE_CLAIM_PRESENT = 1,         // a committed row with a file of its size is there: LookUpImage it
    IMAGE_CLAIM_HELD_ELSEWHERE = 2,  // another running process (or library value) is downloading it
};
// How long a claim of a running process holds: older ones are taken over,
// so a process that hangs delays the others this long at most.
const long long IMAGE_CLAIM_LIFETIME_SECONDS = 15 * 60;
// AwaitClaimedImage's pause between looks, and how often it calls its
// beforeWait again while it waits.
const unsigned IMAGE_AWAIT_POLL_MILLISECONDS = 25;
const unsigned IMAGE_AWAIT_SYNC_MILLISECONDS = 1000;

// Claims `address` for this library value in one short transaction: TAKEN
// when there is no claim, a stale one (its process ended, or older than the
// lifetime) or this value's own, which is then renewed.  A committed row
// whose file has gone or changed size is dropped on the way.
int ClaimImage(ImageLibrary* library, const char* address);

// Claims made between these two are one transaction: a run claims the
// addresses it hands out in a batch at the cost of one commit.  The
// database's write lock is held in between, so nothing else may come
// between them but ClaimImage and LookUpImage.  1 on success, 0 with
// ImageLibraryError (claims of a failed batch are not kept; their
// downloads go on unclaimed).
int BeginImageClaims(ImageLibrary* library);
int EndImageClaims(ImageLibrary* library);

// Gives up this value's claim of `address` (its download failed or was given
// up), so another process may take it.  1 on success, 0 with
// ImageLibraryError.
int ReleaseClaim(ImageLibrary* library, const char* address);

// Waits for the address another process claimed, without holding the
// database between looks: IMAGE_PRESENT with *out once its committed row
// names a file of that size and hash; IMAGE_ABSENT when the claim has gone
// without a row, went stale, is this value's own, or `stop` (null: none) is
// raised: the caller claims and downloads it itself.  IMAGE_LOOKUP_ERROR
// when the database failed.
//
// Rows become visible to others only at commits, so two processes each
// waiting for the other's claim would wait for ever: `beforeWait(context)`
// (null: none) is called before the first pause and again every
// IMAGE_AWAIT_SYNC_MILLISECONDS, for the caller to make its files durable
// and commit its pending rows: it may commit this very library value, since
// the wait has no statement or transaction open while it runs.
int AwaitClaimedImage(ImageLibrary* library, const char* address, const std::atomic<int>* stop,
                      void (*beforeWait)(void* context), void* context, ImageEntry* out);

// Closes the database; pending rows are dropped and this value's claims
// released.  Null does nothing.
void CloseImageLibrary(ImageLibrary* library);

// Why the last call failed, in the core's form ("" when none did).
const char* ImageLibraryError(const ImageLibrary* library);
