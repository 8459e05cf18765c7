#include "http/download_limits.h"

#include <chrono>
#include <cstdio>

#include "http/http_common.h"
#include "platform/net.h"
#include "texts/texts.h"

namespace {


using Clock = std::chrono::steady_clock;

std::atomic<const std::atomic<int>*> stopFlag{nullptr};
std::atomic<int> slowOverride{0};  // milliseconds
std::atomic<int> maxOverride{0};

struct Limits {
    bool active;
    Clock::time_point start;
    int64_t received;
    DownloadLimit reached;
};

thread_local Limits limits = {false, Clock::time_point(), 0, DOWNLOAD_WITHIN_LIMITS};

int64_t SlowMilliseconds() {
    int shortened = slowOverride.load();
    return shortened > 0 ? shortened : int64_t{DOWNLOAD_SLOW_SECONDS} * 1000;
}

int64_t MaxMilliseconds() {
    int shortened = maxOverride.load();
    return shortened > 0 ? shortened : int64_t{DOWNLOAD_MAX_SECONDS} * 1000;
}

bool GiveUpWait(void*) { return DownloadLimitReached() != DOWNLOAD_WITHIN_LIMITS; }

}  // namespace

void SetDownloadStopFlag(const std::atomic<int>* flag) { stopFlag.store(flag); }

bool BeginDownloadLimits() {
    if (limits.active) return false;
    limits = Limits{true, Clock::now(), 0, DOWNLOAD_WITHIN_LIMITS};
    SetNetworkWaitCheck(GiveUpWait, nullptr);
    return true;
}

void EndDownloadLimits() {
    limits.active = false;
    SetNetworkWaitCheck(nullptr, nullptr);
}

void CountReceivedBytes(int32_t count) {
    if (limits.active && count > 0) limits.received += count;
}

bool DownloadStopRequested() {
    const std::atomic<int>* stop = stopFlag.load();
    return stop != nullptr && stop->load() != 0;
}

DownloadLimit DownloadLimitReached() {
    if (!limits.active || limits.reached != DOWNLOAD_WITHIN_LIMITS) return limits.reached;
    const std::atomic<int>* stop = stopFlag.load();
    if (stop != nullptr && stop->load() != 0) return limits.reached = DOWNLOAD_STOP_REQUESTED;
    int64_t elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - limits.start).count();
    if (elapsed >= MaxMilliseconds()) return limits.reached = DOWNLOAD_TOO_LONG;
    // The average since the start, in bytes per second, against the floor.
    if (elapsed >= SlowMilliseconds() && limits.received * 1000 < int64_t{DOWNLOAD_MIN_BYTES_PER_SECOND} * elapsed) {
        return limits.reached = DOWNLOAD_TOO_SLOW;
    }
    return DOWNLOAD_WITHIN_LIMITS;
}

void DescribeDownloadLimit(DownloadLimit limit, ErrorText error) {
    switch (limit) {
        case DOWNLOAD_TOO_SLOW:
            PutError(error, FORMAT_TOO_SLOW, static_cast<int>((SlowMilliseconds() + 999) / 1000),
                     DOWNLOAD_MIN_BYTES_PER_SECOND / 1024);
            return;
        case DOWNLOAD_TOO_LONG:
            PutError(error, FORMAT_TOO_LONG, static_cast<int>((MaxMilliseconds() + 59999) / 60000));
            return;
        case DOWNLOAD_STOP_REQUESTED:
            PutError(error, "%s", MESSAGE_STOPPED);
            return;
        default:
            return;
    }
}

void SetDownloadLimitsForTests(int slowMilliseconds, int maxMilliseconds) {
    slowOverride.store(slowMilliseconds > 0 ? slowMilliseconds : 0);
    maxOverride.store(maxMilliseconds > 0 ? maxMilliseconds : 0);
}
