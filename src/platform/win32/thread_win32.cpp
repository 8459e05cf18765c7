#include "platform/thread.h"

#include <windows.h>
#include <process.h>

#include <cstdlib>

#include "base/memory.h"  // a mutex or semaphore the process cannot have ends it

struct Mutex {
    CRITICAL_SECTION section;
};

// A kernel semaphore: unlike condition variables it exists on every Windows
// the program runs on.
struct Semaphore {
    HANDLE handle;
};

namespace {

struct ThreadStart {
    ThreadFn fn;
    void* argument;
};

// _beginthreadex wants a __stdcall entry; ThreadFn is the core's plain one.
unsigned __stdcall RunThread(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    std::free(raw);
    return start.fn(start.argument);
}

}  // namespace

int StartDetachedThread(ThreadFn fn, void* argument) {
    ThreadStart* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
    if (start == nullptr) return 0;  // no memory for the start: the thread cannot start
    start->fn = fn;
    start->argument = argument;
    // _beginthreadex rather than CreateThread: the thread uses the C runtime.
    uintptr_t handle = _beginthreadex(nullptr, 0, RunThread, start, 0, nullptr);
    if (handle == 0) {
        std::free(start);
        return 0;
    }
    // Detached: nobody joins it, so its handle is not kept.
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    return 1;
}

Mutex* NewMutex() {
    Mutex* mutex = static_cast<Mutex*>(Allocate(sizeof(Mutex)));
    InitializeCriticalSection(&mutex->section);
    return mutex;
}

void LockMutex(Mutex* mutex) { EnterCriticalSection(&mutex->section); }
void UnlockMutex(Mutex* mutex) { LeaveCriticalSection(&mutex->section); }

void FreeMutex(Mutex* mutex) {
    if (mutex == nullptr) return;
    DeleteCriticalSection(&mutex->section);
    std::free(mutex);
}

Semaphore* NewSemaphore(int initialCount) {
    Semaphore* semaphore = static_cast<Semaphore*>(Allocate(sizeof(Semaphore)));
    semaphore->handle = CreateSemaphoreA(nullptr, initialCount, 0x7FFFFFFF, nullptr);
    return semaphore;
}

void WaitSemaphore(Semaphore* semaphore) { WaitForSingleObject(semaphore->handle, INFINITE); }
void PostSemaphore(Semaphore* semaphore) { ReleaseSemaphore(semaphore->handle, 1, nullptr); }

bool WaitSemaphoreFor(Semaphore* semaphore, unsigned milliseconds) {
    return WaitForSingleObject(semaphore->handle, milliseconds) == WAIT_OBJECT_0;
}

void FreeSemaphore(Semaphore* semaphore) {
    if (semaphore == nullptr) return;
    CloseHandle(semaphore->handle);
    std::free(semaphore);
}

void SleepMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }

// Windows has no batch class; its scheduler decides as it always does.
void RunCallingThreadAsBatchWork() {}
