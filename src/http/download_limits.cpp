#include "http/download_limits.h"

#include <chrono>
#include <climits>
#include <cstdio>

#include "http/transfer.h"
#include "texts/texts.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> slowOverride{0};  // milliseconds
std::atomic<int> maxOverride{0};

int64_t SlowMilliseconds() {
    int shortened = slowOverride.load();
    return shortened > 0 ? shortened : int64_t{DOWNLOAD_SLOW_SECONDS} * 1000;
}

int64_t MaxMilliseconds() {
    int shortened = maxOverride.load();
    return shortened > 0 ? shortened : int64_t{DOWNLOAD_MAX_SECONDS} * 1000;
}

}  // namespace

bool StopFlagRaised(const std::atomic<int>* flag) { return flag != nullptr && flag->load() != 0; }

void StartTransferLimits(Transfer* transfer) {
    transfer->limited = true;
    transfer->start = Clock::now();
    transfer->received = 0;
    transfer->reached = DOWNLOAD_WITHIN_LIMITS;
}

void CountReceivedBytes(Transfer* transfer, int32_t count) {
    if (transfer != nullptr && transfer->limited && count > 0) transfer->received += count;
}

DownloadLimit DownloadLimitReached(Transfer* transfer) {
    if (transfer == nullptr || !transfer->limited) return DOWNLOAD_WITHIN_LIMITS;
    if (transfer->reached != DOWNLOAD_WITHIN_LIMITS) return transfer->reached;
    if (StopFlagRaised(transfer->stopFlag)) return transfer->reached = DOWNLOAD_STOP_REQUESTED;
    int64_t elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - transfer->start).count();
    if (elapsed >= MaxMilliseconds()) return transfer->reached = DOWNLOAD_TOO_LONG;
    // The average since the start, in bytes per second, against the floor.
    if (elapsed >= SlowMilliseconds() && transfer->received * 1000 < int64_t{DOWNLOAD_MIN_BYTES_PER_SECOND} * elapsed) {
        return transfer->reached = DOWNLOAD_TOO_SLOW;
    }
    return DOWNLOAD_WITHIN_LIMITS;
}

unsigned DownloadLimitMillisecondsLeft(Transfer* transfer) {
    if (transfer == nullptr || !transfer->limited) return UINT_MAX;
    if (DownloadLimitReached(transfer) != DOWNLOAD_WITHIN_LIMITS) return 0;
    int64_t elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - transfer->start).count();
    int64_t left = MaxMilliseconds() - elapsed;
    // The average falls under the floor once elapsed > received * 1000 / rate.
    int64_t slowAt = transfer->received * 1000 / DOWNLOAD_MIN_BYTES_PER_SECOND + 1;
    if (slowAt < SlowMilliseconds()) slowAt = SlowMilliseconds();
    if (slowAt - elapsed < left) left = slowAt - elapsed;
    if (left < 1) return 1;
    return left > UINT_MAX ? UINT_MAX : static_cast<unsigned>(left);
}

void DescribeDownloadLimit(DownloadLimit limit, ErrorText error, FailureReason* reason) {
    const int slowSeconds = static_cast<int>((SlowMilliseconds() + 999) / 1000);
    const int rate = DOWNLOAD_MIN_BYTES_PER_SECOND / 1024;
    switch (limit) {
        case DOWNLOAD_TOO_SLOW:
            PutError(error, FORMAT_TOO_SLOW, slowSeconds, rate);
            SetFailureReason(reason, FAILURE_TOO_SLOW);
            if (reason != nullptr) {
                reason->rate = rate;
                reason->seconds = slowSeconds;
            }
            return;
        case DOWNLOAD_TOO_LONG:
            PutError(error, FORMAT_TOO_LONG, static_cast<int>((MaxMilliseconds() + 59999) / 60000));
            SetFailureReason(reason, FAILURE_TOO_SLOW);
            if (reason != nullptr) reason->seconds = static_cast<int>((MaxMilliseconds() + 999) / 1000);
            return;
        case DOWNLOAD_STOP_REQUESTED: PutError(error, "%s", MESSAGE_STOPPED); return;
        default: return;
    }
}

void SetDownloadLimitsForTests(int slowMilliseconds, int maxMilliseconds) {
    slowOverride.store(slowMilliseconds > 0 ? slowMilliseconds : 0);
    maxOverride.store(maxMilliseconds > 0 ? maxMilliseconds : 0);
}
