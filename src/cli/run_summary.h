// The numbers of a run, as the command line's summary and its --json
// document give them: one record, taken once the run has ended (or
// stopped), so the text and the document cannot disagree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/terminal_view.h"

struct RunSummary {
    int items = 0;
    int imageTotal = 0;    // distinct addresses the run was to visit
    int relocated = 0;     // downloaded and kept by this run
    int alreadyLocal = 0;  // addresses that were local paths before the run
    int failed = 0;        // distinct addresses that failed in this run
    int failedItems = 0;   // items with at least one failed address
    int blanked = 0;       // failed addresses the package now points at the blank image for
    int left = 0;          // not tried (a stop): the next run takes them
    int vanished = 0;      // relocated, but the file went before the write-back named it
    int known = 0;         // addresses whose file DEST held already (an earlier package, its library)
    int requestsSaved = 0;     // requests those files spared
    int64_t bytesSaved = 0;    // disk they spared: the known files' bytes and the downloads kept once
    int64_t bytes = 0;     // of the relocated images' files
    double seconds = 0;    // the run's wall time
    bool stopped = false;
    bool runFailed = false;   // a step (backup, checkpoint, write-back) failed: nothing of the run is in the package
    bool written = false;     // the package itself was written back
    bool keptBeside = false;  // the rewritten package is kept beside it (keptPath)
    std::string packagePath;  // the core's form, as every path here
    std::string destination;
    std::string backupPath;  // "" when no backup was made
    std::string keptPath;    // "" unless keptBeside
    std::string logPath;
};

// The summary of the run `terminal` shows, from its outcome and counts and
// the items' records (their local paths counted as the package was read:
// ItemList::countLocalPaths).
RunSummary SummarizeRun(const TerminalView& terminal, bool runFailed);

// Whether the run found nothing new to relocate in a package that holds
// relocated images already: the core's "no image was relocated" would
// mislead, and the summary says what is so instead.
bool NothingNewToRelocate(const RunSummary& summary);

// The summary's lines in the chosen language (the core's form, each ending
// in a line feed): the images' numbers; the package and its backup; what to
// do next, when anything is left to do.
std::vector<std::string> SummaryLines(const RunSummary& summary);

// Prints the summary on stderr: its first line alone under -q.
void PrintRunSummary(const RunSummary& summary);

// What the packages of one command did together, when it was given several.
struct BatchSummary {
    int packages = 0;    // in the command, each once
    int done = 0;        // relocated and written back
    int keptBeside = 0;  // relocated, the rewritten package kept beside it
    int refused = 0;     // refused, or their run failed
    int notStarted = 0;  // after a stop
    int relocated = 0;
    int failed = 0;
    int known = 0;
    int requestsSaved = 0;
    int64_t bytesSaved = 0;
    int64_t bytes = 0;
    bool stopped = false;
};
// Adds a package's run to the total (not its refusal: the caller counts that).
void AddToBatch(BatchSummary* batch, const RunSummary& summary);
// The total's lines (the core's form): the images, then the packages.
std::vector<std::string> BatchSummaryLines(const BatchSummary& batch);
// Prints them on stderr: the first alone under -q.
void PrintBatchSummary(const BatchSummary& batch);
