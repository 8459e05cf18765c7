// The portable half of net.h: the network time-out and its test seam.
#include <atomic>

#include "platform/net.h"

namespace {

// Read by the worker and the start-up thread; written only by tests.
std::atomic<int> timeoutOverride{0};

}  // namespace

int NetworkTimeoutMilliseconds() {
    int shortened = timeoutOverride.load();
    return shortened > 0 ? shortened : NETWORK_TIMEOUT_MILLISECONDS;
}

void SetNetworkTimeoutForTests(int milliseconds) { timeoutOverride.store(milliseconds > 0 ? milliseconds : 0); }
