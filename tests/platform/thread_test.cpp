#include "platform/thread.h"

#include <gtest/gtest.h>

namespace {

const int THREADS = 4;
const int ROUNDS = 1000;
const int LONGEST_WAIT_MILLISECONDS = 10000;

// Static: the threads are detached, so nothing they touch may end with the test.
struct Shared {
    Mutex* mutex;
    int counter;
    int finished;
    int arguments;  // sum of the arguments the threads received
};
Shared shared;
int argumentValues[THREADS] = {1, 10, 100, 1000};

unsigned Count(void* argument) {
    for (int i = 0; i < ROUNDS; ++i) {
        LockMutex(shared.mutex);
        int seen = shared.counter;
        SleepMilliseconds(0);  // invites a switch inside the locked section
        shared.counter = seen + 1;
        UnlockMutex(shared.mutex);
    }
    LockMutex(shared.mutex);
    shared.arguments += *static_cast<int*>(argument);
    ++shared.finished;
    UnlockMutex(shared.mutex);
    return 0;
}

int Finished() {
    LockMutex(shared.mutex);
    int finished = shared.finished;
    UnlockMutex(shared.mutex);
    return finished;
}

}  // namespace

TEST(Threads, DetachedThreadsGetTheirArgumentAndTheMutexExcludes) {
    if (shared.mutex == nullptr) shared.mutex = NewMutex();  // kept for the process
    shared.counter = shared.finished = shared.arguments = 0;
    for (int i = 0; i < THREADS; ++i) ASSERT_EQ(1, StartDetachedThread(Count, &argumentValues[i]));
    for (int waited = 0; Finished() < THREADS && waited < LONGEST_WAIT_MILLISECONDS; waited += 10) {
        SleepMilliseconds(10);
    }
    ASSERT_EQ(THREADS, Finished());
    EXPECT_EQ(THREADS * ROUNDS, shared.counter);
    EXPECT_EQ(1111, shared.arguments);
}
