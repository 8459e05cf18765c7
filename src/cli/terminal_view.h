// The command line's RunView: a progress line on a terminal, plain lines
// otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <map>
#include <string>

#include "http/failure_reason.h"
#include "relocate/run.h"
#include "relocate/run_view.h"

struct TerminalView {
    RunView view;
    RunOptions options;  // what readOptions hands the run
    bool interactive;    // stderr is a terminal: redraw one status line
    int itemCount;
    int imageTotal;  // distinct addresses the run visits
    // Written by the run's thread and read by the main thread's ticks.
    std::mutex lock;
    int relocated;
    int failed;
    int known;          // addresses whose file DEST held already: neither relocated nor failed
    int64_t bytes;      // sizes of the relocated images' files
    int columns;        // the terminal's width, read again after SIGWINCH
    bool changed;       // counted since the last drawing
    bool ended;         // every item is done: the final message follows, nothing is redrawn
    size_t lastLength;  // columns of the line drawn last, which a shorter one overwrites with spaces
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point drawn;
    int currentRow;
    // Per address, in the core's form: why each image that failed did, as
    // app.log has it and as its reason record (whose kind and sentence the
    // user and scripts are shown).  The relocated ones' files are the run's
    // own (coreState.urlMap).
    struct ImageFailure {
        std::string text;
        FailureReason reason;
    };
    std::map<std::string, ImageFailure> reasons;
    // What the run did, for the report and the exit code: its backup as
    // soon as it is made, the rest once the run has ended by itself or by a
    // stop (a failed step leaves its counts at 0, as none of its work may
    // be in the package).
    RunOutcome outcome;
};

// Fills `terminal` for a run over `itemCount` items with these options.
void InitTerminalView(TerminalView* terminal, const RunOptions& options, int itemCount);
// On the main thread while the run goes, about ten times a second: redraws
// what changed, the rate and time left; `resized` after a SIGWINCH.
void TickTerminalView(TerminalView* terminal, bool resized);
// Ends the status line, if one is drawn.
void FinishTerminalView(TerminalView* terminal);

// A reason may run over lines; where it follows an address it keeps to one.
std::string OneLine(const std::string& text);
