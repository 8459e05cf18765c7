// The relocation run: one package from backup to write-back.
#pragma once

#include "package/writer.h"
#include "platform/fs.h"

struct HashMap;
struct ProxySettings;
struct RunView;
struct RunOptions;

// Hands the run the proxy settings its downloads follow, which the front end
// read just before it started the run (ReadProxyEnvironment on the command
// line, ReadSystemProxySettings in the window), so a failure to read them is
// reported before the run begins.  The run takes what `settings` owns
// (leaving it empty) and frees the settings an earlier call gave.  A run
// that was given none connects direct.
void TakeRunProxySettings(ProxySettings* settings);

// During a run the package is written back with what is relocated so far (a
// checkpoint) once this many seconds have passed since the run's start or its
// last checkpoint and something that changes the package has arrived since,
// so a crash or a power cut costs at most that much work.
const int DEFAULT_CHECKPOINT_SECONDS = 30;
const int MAX_CHECKPOINT_SECONDS = 3600;

// The checkpoint interval of the runs that follow; 0 writes after every
// result that changes the package (tests), a negative value restores the
// default.  Set it only while no run is going.
void SetCheckpointInterval(int seconds);

// One checkpoint: rewrites a copy of `packageText` with `urlMap` exactly as
// the end of a run does and writes it back (WritePackageIfFree: temporary
// file, synced, moved over the package).  1 when written, 0 when the rewrite
// changes nothing, CHECKPOINT_HELD when another program holds the package
// (nothing written, nothing shown), -1 when the write failed (its message
// in `failure`, may be null).
// CHECKPOINT_CHANGED when the package is no longer the file `watched`
// notes (nothing written; WritePackageIfFree).
const int CHECKPOINT_HELD = 2;
const int CHECKPOINT_CHANGED = 3;
int WriteCheckpoint(const HashMap* urlMap, const char* packageText, int blankFailedImages, const char* packagePath,
                    PackageFile* watched = nullptr, const char** failure = nullptr);

// How many distinct image addresses a run with `options` would visit over
// coreState.items, in the order it visits them; what a front end counts
// progress against.
int CountRunImages(const RunOptions& options);

// How a run ended.
enum RunEnd {
    RUN_FINISHED,  // every item done; the program goes on
    RUN_STOPPED,   // a stop (asked for, or an error the run showed) ended it after its write-back
    RUN_FAILED,    // a step failed (failedStep); nothing more was written
};
enum RunStep { RUN_STEP_NONE, RUN_STEP_BACKUP, RUN_STEP_CHECKPOINT, RUN_STEP_WRITE_BACK };

// The longest final message a run forms: 3072 bytes with Windows' paths,
// and the room a longer system path takes beyond them.
const int RUN_MESSAGE_BYTES = 3072 + (MAX_PATH_BYTES - 260);

// What a run did, for the front end that shows it and decides how the
// program goes on.
struct RunOutcome {
    RunEnd end;
    RunStep failedStep;  // RUN_STEP_NONE unless RUN_FAILED
    int stoppedByError;  // RUN_STOPPED by a file the run could not create or write (it said so in an error box)
    int itemCount;
    int processedCount;
    int relocatedCount;  // images downloaded in this run
    int failureCount;    // distinct URLs that failed in this run
    int textChanged;     // the run changed the package's text
    int written;         // the package itself was written back with it
    int keptBeside;      // the package could not be replaced: the rewritten one is kept beside it
    int vanishedCount;   // images gone from the destination before a write-back named them
    // What the destination's known files saved (relocate/known_images.h):
    int knownCount;                   // addresses answered by a file it held, without a request
    long long knownBytes;             // their files' bytes, not stored again
    int sameBytesCount;               // downloads whose bytes it held in another file: the new copy removed
    long long sameBytesBytes;         // their bytes
    char backupPath[MAX_PATH_BYTES];  // the copy the run made of the package; "" until it is complete
    char keptPath[MAX_PATH_BYTES];    // where the rewritten package is kept when keptBeside
    // The box the front end shows last ("" for none): the final message, the
    // kept package's place, or a failed step's error.
    char message[RUN_MESSAGE_BYTES];
    const char* caption;
    unsigned style;
    // Whether Karvelo.exe ends after the message, and with which code: it
    // does after a stop or a failure, with 0.
    int endsProgram;
    int exitCode;
};

// The run itself.  `view` must outlive it.  It reads packagePath, items and
// packageText of coreState, backs the package up, downloads every selected
// image once into the destination, rewrites and writes the package back,
// and returns what happened; it shows no final message and never ends the
// process (PresentRunOutcome, then the front end).  Between results it
// writes checkpoints (SetCheckpointInterval).  Up to options.jobs downloads
// run at once on worker threads; the results are taken back in the order
// the run visits the URLs, so nothing it leaves depends on which download
// finishes first.  When a stop is requested (coreState.stopRequested) no
// new download starts, those in flight are given up within a network wait
// slice (their partial files removed, their addresses left for the next
// run) and every image that arrived is kept; the run writes back what it
// did and ends RUN_STOPPED.  A stop requested before the run began ends it
// before its backup.  A package that cannot be replaced at the end is kept
// beside it, and the message (instead of the final one) says where; so is
// one that is no longer the file that was read (coreState.packageFile):
// saved over, renamed over, removed or made a link meanwhile.  Before each
// write-back, an image whose file has gone from the destination is
// forgotten: its address stays remote, and the final message counts it.  A
// backup or write-back that fails ends it RUN_FAILED with the writer's
// message.  It sets coreState.running and leaves it set (PresentRunOutcome),
// and leaves its address map in coreState.urlMap until the next run.
// With `known` (relocate/known_images.h), an address it knows is taken
// from there without a request, in the walk's order, and what the run
// stores is told to it.
struct KnownImages;
RunOutcome RunRelocation(const RunView* view, const KnownImages* known = nullptr);

// What every front end does with an outcome on the run's thread, in this
// order: clears coreState.running unless the program ends with the outcome
// (a close meanwhile then still waits for the end), shows the outcome's
// message, and, when the program goes on, calls the view's runFinished.
// Returns outcome.endsProgram: the front end then ends the process.
int PresentRunOutcome(const RunView* view, const RunOutcome& outcome);
