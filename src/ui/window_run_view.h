// The relocation run shown in the main window: the RunView whose calls,
// made on the run's thread, become messages sent to page 2's controls.
// SendMessage makes the run wait while the window's own thread carries each
// one out, so the controls are only ever touched on that thread.
#pragma once

#include <cstddef>

#include "http/url.h"

struct RunOptions;
struct RunView;

// Room for one failure's sentence: the longest place it names and its words.
const size_t FAILURE_SENTENCE_BYTES = HOST_PORT_BYTES + 256;

// The three options and the destination as page 2 shows them.
void ReadRunOptions(RunOptions* options);

// The progress bar's range for `itemCount` items.  Its bounds are 16-bit:
// a larger package gets the range 0..65535 and scaled positions, so the bar
// still reaches its end.
int ProgressRangeForItems(int itemCount);
int ProgressPositionForItems(int processed, int itemCount);

// The view for RunRelocation; lives for the whole process.  Its
// imageFinished keeps each failed image's sentence (Chinese) in
// appState.failureSentences.
RunView* WindowRunView();

// Before a run, on the user-interface thread: the sentences of the last run
// are freed (the store is made on the first run).
void ForgetFailureSentences();

// The sentence kept for the failed `url` into `sentence` (`size` bytes with
// the NUL); false, with an empty sentence, when none is kept.  The lock is
// held only for the copy.
bool CopyFailureSentence(const char* url, char* sentence, size_t size);
