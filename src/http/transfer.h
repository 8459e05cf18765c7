// One download's record, passed as the first argument from DownloadImage
// through the connection and transport layers down to the platform's
// waits: the client it runs on, its limits and deadlines with the stop
// flag (as the WaitBudget the waits ask), the keep-alive pool of the
// HTTP/1.1 slot it holds, the log lines it keeps for the run, and its
// message buffer.  A transfer is used by one thread at a time; nothing of
// it lives in the thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "http/failure_reason.h"
#include "http/download_limits.h"
#include "base/error_text.h"
#include "platform/net.h"

struct HashMap;
struct HttpClient;
struct Vector;

struct BodyHash;

struct Transfer {
    HttpClient* client;
    ErrorText error;                   // the download's message buffer
    const std::atomic<int>* stopFlag;  // the client's: a stop gives the transfer up
    // The limits, counted from StartTransferLimits over every attempt:
    bool limited;  // false: no limit applies (a fetch outside a download)
    std::chrono::steady_clock::time_point start;
    int64_t received;       // head and body bytes, toward the average rate
    DownloadLimit reached;  // once reached it stays
    // The HTTP/1.1 slot: its keep-alive pool (null: the client's pool 0)
    // while it is held.
    HashMap* pool;
    bool holdsSlot;
    int slot;          // the gate's number for it
    Vector* logLines;  // what the download logs, kept for the run; null: written at once
    // The failure counts (connection.h) this transfer goes by and changes:
    // null, the client's; else a map of the caller's own that only this
    // transfer's thread touches meanwhile.
    HashMap* failureCounts;
    WaitBudget budget;  // InitTransfer's asks the limits; the platform's waits take it
    // Why the download failed, set where `error` is filled (the last
    // failure's, as the message is); FAILURE_NONE while nothing failed.
    FailureReason reason;
    // Set by the caller after InitTransfer: the stored body's hash (null,
    // the default: none is made).
    BodyHash* bodyHash;
};

// A transfer on `client` with `error` for its messages and `logLines` for
// its log (null: app.log); no limit applies until StartTransferLimits.
void InitTransfer(Transfer* transfer, HttpClient* client, ErrorText error, Vector* logLines);

// The transfer's budget for a platform wait; null for a null transfer.
const WaitBudget* TransferBudget(const Transfer* transfer);

// Whether the transfer's waits give up now (its budget: for a download, a
// limit reached or a stop); false for a null transfer.
bool TransferGivenUp(Transfer* transfer);

// Logs a line into the transfer's capture, or app.log; a null transfer
// writes to app.log.
void TransferLog(const Transfer* transfer, const char* message);
