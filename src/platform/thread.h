// Threads, the lock and the counting semaphore the core uses.
#pragma once

typedef unsigned (*ThreadFn)(void* argument);

// Starts `fn(argument)` on a new detached thread; 1 on success.
int StartDetachedThread(ThreadFn fn, void* argument);

struct Mutex;
Mutex* NewMutex();
void LockMutex(Mutex* mutex);
void UnlockMutex(Mutex* mutex);
void FreeMutex(Mutex* mutex);

// A counting semaphore: WaitSemaphore blocks until the count is above 0,
// then takes one; PostSemaphore adds one and wakes one waiter.
struct Semaphore;
Semaphore* NewSemaphore(int initialCount);
void WaitSemaphore(Semaphore* semaphore);
void PostSemaphore(Semaphore* semaphore);
// WaitSemaphore for at most `milliseconds`: true when it took one.
bool WaitSemaphoreFor(Semaphore* semaphore, unsigned milliseconds);
void FreeSemaphore(Semaphore* semaphore);

void SleepMilliseconds(unsigned milliseconds);

// Marks the calling thread as throughput work: woken from a wait, it runs
// at the scheduler's next turn instead of taking the processor from the
// thread that woke it, so a thread that wakes many others (an HTTP/2
// session's, the run's) goes on without being switched out at each wake.
// SCHED_BATCH on Linux; nothing where the system has no such class
// (Windows).
void RunCallingThreadAsBatchWork();
