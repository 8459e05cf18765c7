// The relocation run shown in the main window: the RunView whose calls,
// made on the run's thread, become messages sent to page 2's controls.
// SendMessage makes the run wait while the window's own thread carries each
// one out, so the controls are only ever touched on that thread.
#pragma once

struct RunOptions;
struct RunView;

// The three options and the destination as page 2 shows them.
void ReadRunOptions(RunOptions* options);

// The progress bar's range for `itemCount` items.  Its bounds are 16-bit:
// a larger package gets the range 0..65535 and scaled positions, so the bar
// still reaches its end.
int ProgressRangeForItems(int itemCount);
int ProgressPositionForItems(int processed, int itemCount);

// The view for RunRelocation; lives for the whole process.
RunView* WindowRunView();
