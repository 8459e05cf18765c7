// What the main window does when the user acts.
#pragma once

// WM_CLOSE: with no run the process ends at once (code 0); during a run the
// user confirms first and the run is told to stop, after which it writes the
// package back and ends the process itself.
void RequestClose();
