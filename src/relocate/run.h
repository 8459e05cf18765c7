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

// The run's thread procedure.  `argument` is the front end's RunView, which
// must outlive the run.  It reads packagePath, items and packageText of
// coreState, backs the package up, downloads every selected image once into
// the destination, rewrites and writes the package back, and shows the final
// message.  Between results it writes checkpoints (SetCheckpointInterval).
// Up to options.jobs downloads run at once on worker threads; the
// results are taken back in the order the run visits the URLs, so nothing
// it leaves depends on which download finishes first.  When a stop is
// requested (coreState.stopRequested) no new download starts, those in
// flight are given up within a network wait slice (their partial files
// removed, their addresses left for the next run) and every image that
// arrived is kept; the run writes back what it did and ends the process with
// code 0 through EndProcess.  A stop requested before the run began ends it
// before its backup.  A package that cannot be replaced at the end is kept
// beside it, and the message (instead of the final one) says where; so is
// one that is no longer the file that was read (coreState.packageFile):
// saved over, renamed over, removed or made a link meanwhile.  Before each
// write-back, an image whose file has gone from the destination is
// forgotten: its address stays remote, and the final message counts it.
// Returns 0.
unsigned RunRelocation(void* argument);

// What the last run did, for front ends that summarise it (the command line
// prints it and picks its exit code from it).
struct RunSummary {
    int itemCount;
    int processedCount;
    int relocatedCount;  // images downloaded in this run
    int failureCount;    // distinct URLs that failed in this run
    int textChanged;     // the run changed the package's text
    int written;         // the package itself was written back with it
    int stopped;         // the run ended by a stop
    int keptBeside;      // the package could not be replaced: the rewritten one is kept beside it
    int vanishedCount;   // images gone from the destination before a write-back named them
    char backupPath[MAX_PATH_BYTES];  // the copy the run made of the package; "" until it is complete
    char keptPath[MAX_PATH_BYTES];    // where the rewritten package is kept when keptBeside
};
extern RunSummary lastRunSummary;
