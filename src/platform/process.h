// Processes: this one's id, and whether another is still running, so what a
// process left behind (an image library's claims) can be told apart from
// what a running one still holds.
#pragma once

// The calling process's id, as the system numbers processes.
long CurrentProcessId();

// 1 while the process `pid` exists, also when it belongs to another user
// (it cannot be signalled or opened, but it runs); 0 once it has ended or
// for an id no process can have.  An id is reused after a while, so a "1"
// may name a newer process: callers bound how long they trust it.
int IsProcessRunning(long pid);
