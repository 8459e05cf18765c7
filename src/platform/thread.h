// Threads and the one lock type the core uses.
#pragma once

typedef unsigned (*ThreadFn)(void* argument);

// Starts `fn(argument)` on a new detached thread; 1 on success.
int StartDetachedThread(ThreadFn fn, void* argument);

struct Mutex;
Mutex* NewMutex();
void LockMutex(Mutex* mutex);
void UnlockMutex(Mutex* mutex);
void FreeMutex(Mutex* mutex);

void SleepMilliseconds(unsigned milliseconds);
