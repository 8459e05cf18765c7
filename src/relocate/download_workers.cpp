#include "relocate/download_workers.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/connection.h"
#include "http/download.h"
#include "http/download_limits.h"
#include "http/h2_session.h"
#include "http/http_client.h"
#include "http/transfer.h"
#include "platform/thread.h"
#include "relocate/run_view.h"
#include "util/app_log.h"
#include "base/memory.h"
#include "base/strings.h"
#include "base/vector.h"

namespace {

// Everything below `lock` is shared between the run and its workers.  The
// lock lives for the process; the semaphores live for one run, so that no
// wake-up left over from one run reaches the workers of the next.
Mutex* lock = nullptr;
Semaphore* queued = nullptr;    // one post per queued job, and one per worker at the stop
Semaphore* finished = nullptr;  // posted when the awaited job finishes, and per ended worker
DownloadJob* waitingHead = nullptr;
DownloadJob* waitingTail = nullptr;
int liveWorkers = 0;
int stopping = 0;
int workerTarget = 0;    // the workers the run may have
int workersStarted = 0;  // started so far
// The run's HTTP client: its pools (one per HTTP/1.1 slot), failure
// counts and HTTP/2 sessions live from StartDownloadWorkers to
// StopDownloadWorkers.
HttpClient* client = nullptr;

// The HTTP/1.1 slots: a download takes one before it uses an HTTP/1.1
// connection, with the slot's pool; the transfer holds its number.
// `freeSlots` holds the free slots' numbers, under `lock`.
Semaphore* slotsFree = nullptr;
int freeSlots[MAX_RUN_JOBS];
int freeSlotCount = 0;

// A pool note in a captured log: this byte, the use, the pool key.  No log
// message begins with it.
const char POOL_NOTE = '\x01';
const char NOTE_TAKEN = 'A';
const char NOTE_NOT_OPENED = 'F';
const char NOTE_RELEASED = 'R';

// The keys one shared pool would hold, replayed from the notes, each with
// the stamp of its last use; emptied when a run starts, as its client's
// pools start empty.  Run thread only.
HashMap* sharedPoolKeys = nullptr;
uintptr_t replayClock = 0;

// The workers' pool observer: the use goes into the captured log as a note.
void NotePoolUse(Transfer* transfer, PoolUse use, const char* key) {
    char note[POOL_KEY_BYTES + 2];
    const char kind = use == POOL_TAKEN ? NOTE_TAKEN : use == POOL_NOT_OPENED ? NOTE_NOT_OPENED : NOTE_RELEASED;
    std::snprintf(note, sizeof note, "%c%c%s", POOL_NOTE, kind, key);
    TransferLog(transfer, note);  // captured
}

// A failure-count note in a captured log: this byte, the use (FailureUse
// as a letter), the failure key.  No log message begins with it.
const char FAILURE_NOTE = '\x02';
const char FAILURE_USE_LETTERS[] = "PRCA";  // passed, reached, counted, answered: FailureUse's order

// The workers' failure observer: the use goes into the captured log as a
// note, for the run to check against its own order (KeepRunOrder).
void NoteFailureUse(Transfer* transfer, FailureUse use, const char* failureKey) {
    char note[FAILURE_KEY_BYTES + 2];
    std::snprintf(note, sizeof note, "%c%c%s", FAILURE_NOTE, FAILURE_USE_LETTERS[use], failureKey);
    TransferLog(transfer, note);  // captured
}

uint64_t ReplayStamp(const void* value) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(value)); }

DownloadJob* TakeWaiting() {
    DownloadJob* job = waitingHead;
    if (job != nullptr) {
        waitingHead = job->next;
        if (waitingHead == nullptr) waitingTail = nullptr;
        job->next = nullptr;
    }
    return job;
}

void Unlink(DownloadJob* job) {
    DownloadJob* previous = nullptr;
    for (DownloadJob* at = waitingHead; at != nullptr; previous = at, at = at->next) {
        if (at != job) continue;
        if (previous != nullptr)
            previous->next = job->next;
        else
            waitingHead = job->next;
        if (waitingTail == job) waitingTail = previous;
        job->next = nullptr;
        return;
    }
}

// Waits for a free slot until the download's next bound (a stop leaves the
// downloads that wait for a slot unsent).  Nothing polls: a slot given back
// wakes one waiter, and the stop reaches the waiters the same way, since
// every slot's holder gives its slot up within a network wait slice of a
// stop; a waiter that wakes into a stop passes the slot on to the next
// waiter, which gives up as well.
bool EnterSlot(void*, Transfer* transfer) {
    if (!WaitSemaphoreFor(slotsFree, 0)) {  // a free slot is taken at once
        for (;;) {
            if (DownloadLimitReached(transfer) != DOWNLOAD_WITHIN_LIMITS) return false;
            if (!WaitSemaphoreFor(slotsFree, DownloadLimitMillisecondsLeft(transfer))) continue;
            if (!StopFlagRaised(transfer->stopFlag)) break;
            PostSemaphore(slotsFree);
            DownloadLimitReached(transfer);  // records the stop as the download's limit
            return false;
        }
    }
    LockMutex(lock);
    transfer->slot = freeSlots[--freeSlotCount];
    UnlockMutex(lock);
    transfer->pool = HttpClientPool(transfer->client, transfer->slot);
    return true;
}

void LeaveSlot(void*, Transfer* transfer) {
    // No pool of its own until the next slot: an HTTP/2 download uses none.
    transfer->pool = nullptr;
    LockMutex(lock);
    freeSlots[freeSlotCount++] = transfer->slot;
    UnlockMutex(lock);
    transfer->slot = -1;
    PostSemaphore(slotsFree);
}

// Fetches the job on the calling thread, keeping what it logs in the job;
// an HTTP/1.1 connection comes from a slot's pool.  With `failureCounts`
// its connects go by those counts, not the client's.
void Fetch(DownloadJob* job, HashMap* failureCounts = nullptr) {
    std::memset(job->errorText, 0, sizeof job->errorText);
    Transfer transfer;
    InitTransfer(&transfer, client, ErrorText{job->errorText, sizeof job->errorText}, job->logLines);
    transfer.failureCounts = failureCounts;
    BodyHash hash = {};
    if (job->wantsHash) transfer.bodyHash = &hash;
    // DownloadImage puts a stored image on the disk where no sync of the
    // folder before the write-back covers it (FOLDER_SYNC_COVERS_FILES).
    FILE* claimed = job->claimed;
    job->claimed = nullptr;  // the download closes it
    job->result =
        DownloadImageInto(&transfer, job->url, job->path, claimed, /*useKeepAlive=*/true, /*isRedirect=*/false);
    job->reason = transfer.reason;
    job->sha256[0] = '\0';
    unsigned char digest[SHA256_DIGEST_BYTES];
    if (job->result == DOWNLOAD_STORED && hash.hasher != nullptr && FinalSha256(hash.hasher, digest) == 1) {
        Sha256Hex(digest, job->sha256);
        job->size = hash.bytes;
    }
    FreeSha256(hash.hasher);
}

unsigned Work(void*) {
    // A worker woken when its download ends leaves the processor to the
    // thread that woke it until the next turn.
    RunCallingThreadAsBatchWork();
    for (;;) {
        WaitSemaphore(queued);
        LockMutex(lock);
        DownloadJob* job = TakeWaiting();
        if (job == nullptr) {
            if (!stopping) {  // the post of a cancelled job
                UnlockMutex(lock);
                continue;
            }
            --liveWorkers;
            // Posted under the lock: once the run sees no worker left, none
            // touches the semaphores again.
            PostSemaphore(finished);
            UnlockMutex(lock);
            return 0;
        }
        job->state = JOB_RUNNING;
        UnlockMutex(lock);
        Fetch(job);
        LockMutex(lock);
        job->state = JOB_DONE;
        // Only the run's wait for this very job needs waking (the others it
        // finds done when it comes to them), and after the lock, which the
        // woken run takes at once.  This worker still counts as live, so the
        // semaphore is still there.
        const bool wake = job->awaited;
        UnlockMutex(lock);
        if (wake) PostSemaphore(finished);
    }
}

}  // namespace

DownloadJob* NewDownloadJob(const char* url, int row, ImageKind kind) {
    DownloadJob* job = static_cast<DownloadJob*>(AllocateZeroed(1, sizeof(DownloadJob)));
    job->url = CopyString(url);
    job->row = row;
    job->kind = kind;
    job->logLines = NewDefaultVector();
    return job;
}

void FreeDownloadJob(DownloadJob* job) {
    if (job->claimed != nullptr) CloseFile(job->claimed);
    FreeVector(job->logLines, 1);
    std::free(job->url);
    std::free(job);
}

namespace {

// Starts workers until `count` have been started this run.
void StartWorkers(int count) {
    for (;;) {
        LockMutex(lock);
        if (stopping || workersStarted >= count) {
            UnlockMutex(lock);
            return;
        }
        ++workersStarted;
        ++liveWorkers;
        UnlockMutex(lock);
        if (!StartDetachedThread(Work, nullptr)) {
            LockMutex(lock);
            --liveWorkers;
            workerTarget = workersStarted;  // no more: with none, AwaitDownload fetches itself
            UnlockMutex(lock);
            return;
        }
    }
}

// A server speaks HTTP/2: the run may now keep all its streams busy.
void GrowForHttp2(void*) {
    LockMutex(lock);
    const int target = workerTarget;
    UnlockMutex(lock);
    StartWorkers(target);
}

}  // namespace

void StartDownloadWorkers(int count, int http1Slots, int streams, const ProxySettings* proxy,
                          const std::atomic<int>* stopFlag) {
    if (lock == nullptr) lock = NewMutex();
    if (count > MAX_RUN_STREAMS) count = MAX_RUN_STREAMS;
    if (http1Slots > MAX_RUN_JOBS) http1Slots = MAX_RUN_JOBS;
    if (http1Slots < 1) http1Slots = 1;
    queued = NewSemaphore(0);
    finished = NewSemaphore(0);
    slotsFree = NewSemaphore(http1Slots);
    stopping = 0;
    liveWorkers = 0;
    // Taken from the end: slot 0 goes first.
    freeSlotCount = http1Slots;
    for (int i = 0; i < http1Slots; ++i) freeSlots[i] = http1Slots - 1 - i;
    HttpClientSettings settings = {};
    settings.proxy = proxy;
    settings.stopFlag = stopFlag;
    settings.pools = http1Slots;
    settings.h2Streams = streams;
    settings.gate = Http1Gate{EnterSlot, LeaveSlot, nullptr};
    settings.poolObserver = PoolUseObserver{NotePoolUse};
    settings.failureObserver = FailureCountObserver{NoteFailureUse};
    settings.h2SessionStarted = GrowForHttp2;
    client = NewHttpClient(&settings);
    if (sharedPoolKeys != nullptr) HashMapClear(sharedPoolKeys, /*freeValues=*/false);
    // As many workers as HTTP/1.1 slots to begin with; the rest only once a
    // server speaks HTTP/2, so a run over HTTP/1.1 alone keeps a few threads
    // that take the downloads in order.
    workerTarget = count;
    workersStarted = 0;
    StartWorkers(count < http1Slots ? count : http1Slots);
}

void QueueDownload(DownloadJob* job) {
    LockMutex(lock);
    job->state = JOB_WAITING;
    job->next = nullptr;
    if (waitingTail != nullptr)
        waitingTail->next = job;
    else
        waitingHead = job;
    waitingTail = job;
    UnlockMutex(lock);
    PostSemaphore(queued);  // after the lock: the woken worker takes it at once
}

int AwaitDownload(DownloadJob* job) {
    LockMutex(lock);
    while (job->state == JOB_WAITING || job->state == JOB_RUNNING) {
        if (liveWorkers == 0 && job->state == JOB_WAITING) {
            Unlink(job);
            job->state = JOB_RUNNING;
            UnlockMutex(lock);
            Fetch(job);
            LockMutex(lock);
            job->state = JOB_DONE;
            break;
        }
        job->awaited = true;
        UnlockMutex(lock);
        WaitSemaphore(finished);
        LockMutex(lock);
        job->awaited = false;
    }
    int state = job->state;
    UnlockMutex(lock);
    return state;
}

void CancelWaitingDownloads() {
    LockMutex(lock);
    for (DownloadJob* job = TakeWaiting(); job != nullptr; job = TakeWaiting()) {
        job->state = JOB_CANCELLED;
        if (job->claimed != nullptr) CloseFile(job->claimed);
        job->claimed = nullptr;
    }
    UnlockMutex(lock);
}

void StopDownloadWorkers() {
    LockMutex(lock);
    stopping = 1;
    for (int i = 0; i < liveWorkers; ++i) PostSemaphore(queued);
    while (liveWorkers > 0) {
        UnlockMutex(lock);
        WaitSemaphore(finished);
        LockMutex(lock);
    }
    UnlockMutex(lock);
    FreeHttpClient(client);  // its HTTP/2 sessions end first
    client = nullptr;
    FreeSemaphore(queued);
    FreeSemaphore(finished);
    FreeSemaphore(slotsFree);
    queued = finished = slotsFree = nullptr;
}

namespace {

// The most failure keys one download's notes are checked over; a download
// that touched more is fetched again (KeepRunOrder), which is always right.
const int CHECKED_FAILURE_KEYS = 16;

// Goes through the job's failure notes over the run's counts: true when
// each look the job took at a count found what the run's counts give at
// that point of the run's order, and then the run's counts have taken the
// job's changes; false, with the run's counts as they were, when one did
// not.
bool ReplayFailureNotes(const Vector* lines, HashMap* runCounts) {
    struct Checked {
        const char* key;
        int count;
    } checked[CHECKED_FAILURE_KEYS];
    int keys = 0;
    for (int32_t i = 0; i < lines->count; ++i) {
        const char* line = static_cast<const char*>(lines->items[i]);
        if (line[0] != FAILURE_NOTE) continue;
        const char* key = line + 2;
        int at = 0;
        while (at < keys && std::strcmp(checked[at].key, key) != 0) ++at;
        if (at == keys) {
            if (keys == CHECKED_FAILURE_KEYS) return false;
            checked[keys++] = Checked{key, FailureCountIn(runCounts, key)};
        }
        int* count = &checked[at].count;
        switch (std::strchr(FAILURE_USE_LETTERS, line[1]) - FAILURE_USE_LETTERS) {
            case FAILURE_LIMIT_PASSED:
                if (*count >= CONNECT_FAILURE_LIMIT) return false;
                break;
            case FAILURE_LIMIT_REACHED:
                if (*count < CONNECT_FAILURE_LIMIT) return false;
                break;
            case FAILURE_COUNTED: ++*count; break;
            default: *count = 0; break;
        }
    }
    for (int at = 0; at < keys; ++at) SetFailureCountIn(runCounts, checked[at].key, checked[at].count);
    return true;
}

}  // namespace

void KeepRunOrder(DownloadJob* job, HashMap* runCounts) {
    if (job->state != JOB_DONE) return;
    if (!ReplayFailureNotes(job->logLines, runCounts) && !StopFlagRaised(client->settings.stopFlag)) {
        // What the job did rests on a count the run's order does not give:
        // fetched again, here, by the run's counts, with the file its failure
        // removed made anew under the same name.  A stop keeps what arrived.
        VectorClear(job->logLines, 1);
        if (job->claimed == nullptr) job->claimed = CreateNewFileByPath(job->path, nullptr);
        Fetch(job, runCounts);
    }
}

void LeaveRunFailureCounts(const HashMap* runCounts) { ReplaceConnectFailureCounts(client, runCounts); }

void LogCapturedLines(Vector* lines) {
    if (sharedPoolKeys == nullptr) sharedPoolKeys = NewStringHashMap(&STRING_KEYS);
    for (int32_t i = 0; i < lines->count; ++i) {
        const char* line = static_cast<const char*>(lines->items[i]);
        if (line[0] == FAILURE_NOTE) continue;  // KeepRunOrder has read it
        if (line[0] != POOL_NOTE) {
            LogLine(line);
            continue;
        }
        const char* key = line + 2;
        bool held = HashMapGet(sharedPoolKeys, key) != nullptr;
        void* stamp = reinterpret_cast<void*>(++replayClock);  // never null
        if (line[1] == NOTE_TAKEN && !held) {
            // The shared pool is bounded like each real one.
            char oldest[POOL_KEY_BYTES];
            if (sharedPoolKeys->count >= POOL_CONNECTION_LIMIT && LeastRecentKey(sharedPoolKeys, ReplayStamp, oldest)) {
                HashMapRemove(sharedPoolKeys, oldest);
            }
            LogNewSocket(nullptr, key);
            HashMapAdd(sharedPoolKeys, CopyString(key), stamp);
        } else if (line[1] == NOTE_TAKEN) {
            HashMapReplace(sharedPoolKeys, const_cast<char*>(key), stamp);  // a present key keeps its stored copy
        } else if (held) {
            HashMapRemove(sharedPoolKeys, key);
        }
    }
    VectorClear(lines, 1);
}
