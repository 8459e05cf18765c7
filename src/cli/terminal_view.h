// The command line's RunView: a progress bar on a terminal, plain lines
// otherwise.
#pragma once

#include "relocate/run_view.h"

struct TerminalView {
    RunView view;
    RunOptions options;  // what readOptions hands the run
    bool interactive;    // stderr is a terminal: redraw one status line
    int itemCount;
    int itemsDone;
    int relocated;
    int failed;
    int currentRow;
};

// Fills `terminal` for a run over `itemCount` items with these options.
void InitTerminalView(TerminalView* terminal, const RunOptions& options, int itemCount);
// Ends the status line, if one is drawn.
void FinishTerminalView(TerminalView* terminal);
