#include "platform/thread.h"

#include <pthread.h>
#include <time.h>

#include <cstdlib>

struct Mutex {
    pthread_mutex_t handle;
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
    Mutex* mutex = static_cast<Mutex*>(std::malloc(sizeof(Mutex)));
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

void SleepMilliseconds(unsigned milliseconds) {
    struct timespec wait;
    wait.tv_sec = milliseconds / 1000;
    wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&wait, &wait) != 0) {
    }
}
