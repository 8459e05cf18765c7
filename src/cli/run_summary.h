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
