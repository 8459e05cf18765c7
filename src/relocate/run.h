// The relocation run: one package from backup to write-back.
#pragma once

struct RunView;

// The run's thread procedure.  `argument` is the front end's RunView, which
// must outlive the run.  It reads packagePath, items and packageText of
// appState, backs the package up, downloads every selected image once into
// the destination, rewrites and writes the package back, and shows the final
// message.  Up to options.jobs downloads run at once on worker threads; the
// results are taken back in the order the run visits the URLs, so nothing
// it leaves depends on which download finishes first.  When a stop is
// requested (appState.stopRequested) no new download starts, those in
// flight finish and every image that arrived is kept; the run writes back
// what it did and ends the process with code 0 through EndProcess.  Returns 0.
unsigned RunRelocation(void* argument);

// What the last run did, for front ends that summarise it (the command line
// prints it and picks its exit code from it).
struct RunSummary {
    int itemCount;
    int processedCount;
    int relocatedCount;  // images downloaded in this run
    int failureCount;    // distinct URLs that failed in this run
    int textChanged;     // the package was written back
    int stopped;         // the run ended by a stop
};
extern RunSummary lastRunSummary;
