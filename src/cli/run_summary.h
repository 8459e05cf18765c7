// The numbers of a run, as the command line's summary and its --json
// document give them: one record, taken once the run has ended (or
// stopped), so the text and the document cannot disagree.
#pragma once

#include <cstdint>
#include <string>

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
    bool written = false;     // the package itself was written back
    bool keptBeside = false;  // the rewritten package is kept beside it (keptPath)
    std::string packagePath;  // the core's form, as every path here
    std::string destination;
    std::string backupPath;  // "" when no backup was made
    std::string keptPath;    // "" unless keptBeside
    std::string logPath;
};

// The summary of the run `terminal` shows, from its outcome and counts and
// the items' records.
RunSummary SummarizeRun(const TerminalView& terminal);
