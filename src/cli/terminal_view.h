// The command line's RunView: a progress bar on a terminal, plain lines
// otherwise.
#pragma once

#include <map>
#include <string>

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
    // Per address, in the core's form: the local file of each image this
    // run relocated, the reason of each that failed (as app.log has it).
    std::map<std::string, std::string> files;
    std::map<std::string, std::string> reasons;
};

// Fills `terminal` for a run over `itemCount` items with these options.
void InitTerminalView(TerminalView* terminal, const RunOptions& options, int itemCount);
// Ends the status line, if one is drawn.
void FinishTerminalView(TerminalView* terminal);

// A reason may run over lines; where it follows an address it keeps to one.
std::string OneLine(const std::string& text);
