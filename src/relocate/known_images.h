// KnownImages: what a run may already know of an address before it asks a
// server for it.
//
// The command line relocates several packages in one go and keeps an index
// of what each destination holds (the image library).  Both are sources of
// files a run can use without a request; a run that is given none (the
// wizard's, or `--no-library` with one package) downloads every address as
// it always has.  The run calls a source on its own thread only, in the
// order it visits the addresses:
//
//   lookUpsBegin()       before a batch of look-ups (the hand-out refills its
//                        window in batches), lookUpsEnd() after it
//   lookUp(url)          at hand-out, once per address the run has not met yet
//   await(url)           when the walk reaches an address lookUp answered
//                        KNOWN_ELSEWHERE (another process is downloading it)
//   stored(url, file)    a download of an address lookUp answered KNOWN_NONE
//                        is whole in `file`; the source may name another file
//                        with the same bytes, and the run removes its copy
//   failed(url)          such a download failed or was given up
//   durable()            every file named so far is synced (a checkpoint, the
//                        run's end): what stored() was told may be committed
//
// Every callback may be null except lookUp.
#pragma once

#include <atomic>
#include <cstddef>

#include "http/failure_reason.h"
#include "platform/fs.h"
#include "platform/sha256.h"

enum KnownAnswer {
    KNOWN_NONE = 0,       // nothing known: the run downloads it (and may be the one that does, for others too)
    KNOWN_FILE = 1,       // a file in the destination holds it: `file` names it, `size` its bytes
    KNOWN_FAILED = 2,     // an earlier package of this command failed on it: it fails here too, without a request
                          // (`file` holds the failure's message as app.log has it, `reason` why)
    KNOWN_ELSEWHERE = 3,  // another process is downloading it now: ask await() when the walk reaches it
};

struct KnownFile {
    char file[MAX_PATH_BYTES];
    long long size;
    FailureReason reason;  // KNOWN_FAILED only
};

// A downloaded file, as stored() sees it: its bytes' count and SHA-256 (hex),
// which the download worker computed when wantsHashes is set.
struct StoredFile {
    char file[MAX_PATH_BYTES];
    long long size;
    char sha256[SHA256_HEX_SIZE];
};

struct KnownImages {
    void* context;
    // Whether the workers hash what they store (stored() then has sha256).
    int wantsHashes;
    int (*lookUp)(void* context, const char* url, KnownFile* out);
    void (*lookUpsBegin)(void* context);
    void (*lookUpsEnd)(void* context);
    // Waits, stop-aware, until the other process's download of `url` ends:
    // KNOWN_FILE with its file, or KNOWN_NONE when this run must fetch it
    // itself (the other gave up, failed or died; a stop).
    int (*await)(void* context, const char* url, const std::atomic<int>* stop, KnownFile* out);
    // 1 when `file` holds bytes the destination already has in another
    // file: `existing` names it, and the run uses it and removes `file`.
    int (*stored)(void* context, const char* url, const StoredFile* file, KnownFile* existing);
    void (*failed)(void* context, const char* url);
    void (*durable)(void* context);
};
