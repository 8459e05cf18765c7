// The bounds on one image download, counted from its start over every
// attempt it makes (the repetition without keep-alive and the redirect):
// a download whose average rate is still under DOWNLOAD_MIN_BYTES_PER_SECOND
// after DOWNLOAD_SLOW_SECONDS, or that has run DOWNLOAD_MAX_SECONDS, is
// given up, and so is every download in flight once a stop is requested.
//
// The bounds belong to the download's Transfer: every network wait asks
// them between slices (its WaitBudget), and every receive asks them first,
// so a peer that trickles bytes cannot keep a download alive.
#pragma once

#include <atomic>
#include <cstdint>

#include "http/failure_reason.h"
#include "base/error_text.h"

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

struct Transfer;

// Whether `flag` (the run's stopRequested; null: none) says stop.
bool StopFlagRaised(const std::atomic<int>* flag);

// Starts the transfer's bounds from now.
void StartTransferLimits(Transfer* transfer);

// Counts body and head bytes toward the average rate (no-op for a null
// transfer or one without limits).
void CountReceivedBytes(Transfer* transfer, int32_t count);

// Where the transfer stands; once a limit is reached it stays reached.
// DOWNLOAD_WITHIN_LIMITS for a null transfer or one without limits.
DownloadLimit DownloadLimitReached(Transfer* transfer);

// Milliseconds until DownloadLimitReached would next find a limit reached
// if no more bytes were counted (0: one is reached now), so a wait can
// sleep until then instead of asking in slices.  A stop is not a time: a
// waiter that sleeps this long needs someone who sees the stop to wake it.
// UINT_MAX for a null transfer or one without limits.
unsigned DownloadLimitMillisecondsLeft(Transfer* transfer);

// The message for a reached limit into `error`, and for a limit that fails
// the download its reason (FAILURE_TOO_SLOW) into `reason` (null: none).
void DescribeDownloadLimit(DownloadLimit limit, ErrorText error, FailureReason* reason);

// Test seam: the slow window and the overall bound in milliseconds (0
// restores DOWNLOAD_SLOW_SECONDS or DOWNLOAD_MAX_SECONDS), so a test or a
// benchmark reaches them quickly.  Production code never calls it.
void SetDownloadLimitsForTests(int slowMilliseconds, int maxMilliseconds);
