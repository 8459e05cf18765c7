// The run's download workers.  The run hands out downloads (URL and local
// name) in the order it visits the URLs; up to the run's number of worker
// threads fetch them, each over keep-alive connections of its own; the run
// takes each result back, on its own thread, when it reaches that URL.  One
// run at a time.
#pragma once

#include <atomic>

#include "http/download.h"
#include "http/failure_reason.h"
#include "http/http_common.h"
#include "platform/fs.h"
#include "platform/sha256.h"
#include "relocate/local_files.h"

struct Vector;

enum DownloadJobState {
    JOB_WAITING = 0,  // handed out, no worker has it yet
    JOB_RUNNING = 1,
    JOB_DONE = 2,       // `result` and `errorText` are final
    JOB_CANCELLED = 3,  // taken out before it started: nothing was fetched
    JOB_NO_NAME = 4,    // no local name could be formed; never handed to a worker
    JOB_ELSEWHERE = 5   // another process is downloading it (KNOWN_ELSEWHERE); not handed to a worker yet
};

struct DownloadJob {
    char* url;  // heap copy
    int row;    // the item and kind that first visited the URL
    ImageKind kind;
    char path[MAX_PATH_BYTES];
    FILE* claimed;  // the new, empty file at `path`, still open from its claim, for the download to write; or null
    int state;      // DownloadJobState, under the workers' lock
    bool awaited;   // under the workers' lock: the run waits for it (AwaitDownload), to be woken when it is done
    DownloadResult result;
    char errorText[HTTP_ERROR_TEXT_BYTES];
    FailureReason reason;  // why it failed, in the user's words (FAILURE_NONE: stored, or not fetched)
    Vector* logLines;      // what the download logged, for the run to write (LogCapturedLines)
    // Set at the hand-out: a stored image's bytes are counted and hashed by
    // the worker, so the run's own thread never reads the file back.
    bool wantsHash;
    long long size;                // of the stored file, when hashed
    char sha256[SHA256_HEX_SIZE];  // its SHA-256 in hex; "" when not hashed or unreadable
    DownloadJob* next;             // in the waiting list
};

// The most jobs ahead, counted from the oldest not yet taken back, that
// keep their claimed file open (`claimed`): the whole window of a run with
// the default streams, four ahead for each (run.cpp), fewer where the
// process may open fewer files (OpenFilesLeftBeside); a job further ahead
// closes its file and its download reopens it.
const int CLAIMED_FILES_HELD = 400;

DownloadJob* NewDownloadJob(const char* url, int row, ImageKind kind);
// Closes a claimed file the job still holds.
void FreeDownloadJob(DownloadJob* job);

// Starts worker threads, `http1Slots` (at most MAX_RUN_JOBS) at first and up
// to `count` (at most MAX_RUN_STREAMS) once a server speaks HTTP/2; at most
// `http1Slots` of them use HTTP/1.1 connections at once:
// each of those slots has a keep-alive pool of its own in the run's
// HttpClient, made here, which follows `proxy` (null: none), gives its
// downloads up once `stopFlag` is set, and keeps up to `streams` requests in
// flight on each HTTP/2 session.  The others wait for HTTP/2 answers
// (h2_session.h).
struct ProxySettings;
void StartDownloadWorkers(int count, int http1Slots, int streams, const ProxySettings* proxy,
                          const std::atomic<int>* stopFlag);

// Queues the job for the next free worker (also again, for a retry under a
// new name).
void QueueDownload(DownloadJob* job);

// Waits until the job is done or cancelled (at once for JOB_NO_NAME) and
// returns its state.  If no
// worker could be started, the calling thread fetches it itself.
int AwaitDownload(DownloadJob* job);

// Downloads that no worker has started yet never start (JOB_CANCELLED);
// their claimed files are closed, so the run can remove them.
void CancelWaitingDownloads();

// Lets the workers end once the queue is empty, waits until they have, and
// frees the run's HttpClient (its HTTP/2 sessions and connections end).
void StopDownloadWorkers();

// Makes a finished job's connects follow the run's order: its captured
// failure-count notes are checked against `runCounts` (NewFailureCounts),
// the counts a run of one download at a time would have when it reaches
// the job.  Where the job found a count that order would not give (a
// refusal where, in order, the address was already at the limit, or the
// limit where it was not yet), it is fetched again on this thread by
// `runCounts`, its earlier lines dropped.  Then `runCounts` holds the
// job's changes.  Meanwhile the workers go by the client's counts, as their
// connects end, so a host is cut off as soon as it fails; only the job the
// run takes back is measured by the run's.  Run thread only, before
// LogCapturedLines; a stop keeps the job as it is.
struct HashMap;
void KeepRunOrder(DownloadJob* job, HashMap* runCounts);

// Once every job is taken back: the client's counts become `runCounts`,
// the ones one download at a time would leave.
void LeaveRunFailureCounts(const HashMap* runCounts);

// Writes a download's captured lines to the log in order and frees them.
// The workers' pool notes become "new socket()" exactly where one pool
// shared by all downloads, used in this order, would have opened a
// connection, so the log does not depend on which worker fetched what.
// Run thread only.
void LogCapturedLines(Vector* lines);
