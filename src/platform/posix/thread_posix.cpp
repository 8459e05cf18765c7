#include "platform/thread.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <time.h>

#include <cstdlib>

#include "base/memory.h"  // a mutex or semaphore the process cannot have ends it

struct Mutex {
    pthread_mutex_t handle;
};

struct Semaphore {
    sem_t handle;
};

namespace {

struct ThreadStart {
    ThreadFn fn;
    void* argument;
};

void* RunThread(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    std::free(raw);
    start.fn(start.argument);
    return nullptr;
}

}  // namespace

int StartDetachedThread(ThreadFn fn, void* argument) {
    ThreadStart* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
    if (start == nullptr) return 0;  // no memory for the start: the thread cannot start
    start->fn = fn;
    start->argument = argument;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, RunThread, start) != 0) {
        std::free(start);
        return 0;
    }
    pthread_detach(thread);
    return 1;
}

Mutex* NewMutex() {
    Mutex* mutex = static_cast<Mutex*>(Allocate(sizeof(Mutex)));
    pthread_mutex_init(&mutex->handle, nullptr);
    return mutex;
}

void LockMutex(Mutex* mutex) { pthread_mutex_lock(&mutex->handle); }
void UnlockMutex(Mutex* mutex) { pthread_mutex_unlock(&mutex->handle); }

void FreeMutex(Mutex* mutex) {
    if (mutex == nullptr) return;
    pthread_mutex_destroy(&mutex->handle);
    std::free(mutex);
}

Semaphore* NewSemaphore(int initialCount) {
    Semaphore* semaphore = static_cast<Semaphore*>(Allocate(sizeof(Semaphore)));
    sem_init(&semaphore->handle, 0, static_cast<unsigned>(initialCount));
    return semaphore;
}

void WaitSemaphore(Semaphore* semaphore) {
    // A signal handler may interrupt the wait; it is not a post.
    while (sem_wait(&semaphore->handle) != 0 && errno == EINTR) {}
}

void PostSemaphore(Semaphore* semaphore) { sem_post(&semaphore->handle); }

bool WaitSemaphoreFor(Semaphore* semaphore, unsigned milliseconds) {
    // Waits may last until a download's own limit, so the deadline is on
    // the monotonic clock where the C library offers it: a step of the
    // wall clock neither cuts such a wait short nor stretches it.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 30))
    const clockid_t clock = CLOCK_MONOTONIC;
#else
    const clockid_t clock = CLOCK_REALTIME;
#endif
    struct timespec deadline;
    clock_gettime(clock, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 30))
        if (sem_clockwait(&semaphore->handle, clock, &deadline) == 0) return true;
#else
        if (sem_timedwait(&semaphore->handle, &deadline) == 0) return true;
#endif
        if (errno != EINTR) return false;
    }
}

void FreeSemaphore(Semaphore* semaphore) {
    if (semaphore == nullptr) return;
    sem_destroy(&semaphore->handle);
    std::free(semaphore);
}

void SleepMilliseconds(unsigned milliseconds) {
    struct timespec wait;
    wait.tv_sec = milliseconds / 1000;
    wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&wait, &wait) != 0) {}
}

void RunCallingThreadAsBatchWork() {
#if defined(SCHED_BATCH)
    // Any thread may lower itself to this class; a refusal leaves it as it was.
    sched_param parameters = {};
    sched_setscheduler(0, SCHED_BATCH, &parameters);
#endif
}
