// Message boxes of every thread, shown by the user-interface thread.
//
// A box raised on the run's or the start-up thread is posted to the main
// window and shown there, owned by it, while the raising thread waits for
// the answer; so no other thread's input queue is tied to the window's, and
// boxes from other threads come one after another in the order they were
// raised, never two modal boxes at once.
#pragma once

#include <windows.h>

// The private message that carries a box to the main window.
const UINT WM_SHOW_QUEUED_BOX = WM_APP + 1;

// Notes the calling thread as the user-interface thread.
void SetUserInterfaceThread();

// The front end's ShowMessage: texts and caption in the core's form, a
// MessageBox style; returns the answer.  Owned by the main window (none
// before it exists); from another thread, shown by the window's thread.
int ShowMessageBox(const char* text, const char* caption, unsigned style);

// WM_SHOW_QUEUED_BOX on the window's thread: queues the box and shows the
// queued ones unless a box is already open there.
void ServeQueuedBoxes(LPARAM request);
