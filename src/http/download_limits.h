// The bounds on one image download, counted from its start over every
// attempt it makes (the repetition without keep-alive and the redirect):
// a download whose average rate is still under DOWNLOAD_MIN_BYTES_PER_SECOND
// after DOWNLOAD_SLOW_SECONDS, or that has run DOWNLOAD_MAX_SECONDS, is
// given up, and so is every download in flight once a stop is requested.
//
// The bounds belong to the thread that downloads: every network wait on it
// asks them between slices (SetNetworkWaitCheck), and every receive asks
// them first, so a peer that trickles bytes cannot keep a download alive.
#pragma once

#include <atomic>
#include <cstdint>

#include "http/transport.h"

const int DOWNLOAD_MIN_BYTES_PER_SECOND = 1024;
const int DOWNLOAD_SLOW_SECONDS = 30;
const int DOWNLOAD_MAX_SECONDS = 600;

// Why a download is given up.
enum DownloadLimit {
    DOWNLOAD_WITHIN_LIMITS = 0,
    DOWNLOAD_TOO_SLOW,
    DOWNLOAD_TOO_LONG,
    DOWNLOAD_STOP_REQUESTED,
};

// The flag a stop request sets (the run's stopRequested); null: none.
void SetDownloadStopFlag(const std::atomic<int>* flag);

// Whether a stop was requested, on any thread.
bool DownloadStopRequested();

// Starts the bounds for a download on this thread; false (and nothing
// changes) when one is already under way here, so a nested attempt runs
// within the outer one's bounds.  Each true is followed by EndDownloadLimits.
bool BeginDownloadLimits();
void EndDownloadLimits();

// Counts body and head bytes toward the average rate (no-op outside a
// download).
void CountReceivedBytes(int32_t count);

// Where this thread's download stands; once a limit is reached it stays
// reached until EndDownloadLimits.  DOWNLOAD_WITHIN_LIMITS outside a download.
DownloadLimit DownloadLimitReached();

// The message for a reached limit into `error`.
void DescribeDownloadLimit(DownloadLimit limit, ErrorText error);

// Test seam: the slow window and the overall bound in milliseconds (0
// restores DOWNLOAD_SLOW_SECONDS or DOWNLOAD_MAX_SECONDS), so a test or a
// benchmark reaches them quickly.  Production code never calls it.
void SetDownloadLimitsForTests(int slowMilliseconds, int maxMilliseconds);
