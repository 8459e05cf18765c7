#include "relocate/run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "http/connection.h"
#include "http/download.h"
#include "http/download_limits.h"
#include "http/failure_reason.h"
#include "http/h2_session.h"
#include "http/http_common.h"
#include "http/proxy_settings.h"
#include "package/extraction.h"
#include "package/item_record.h"
#include "package/writer.h"
#include "platform/fs.h"
#include "relocate/download_workers.h"
#include "relocate/known_images.h"
#include "relocate/local_files.h"
#include "relocate/rewrite.h"
#include "relocate/run_view.h"
#include "relocate/core_state.h"
#include "util/app_log.h"
#include "util/files.h"
#include "util/front_end.h"
#include "base/hash_map.h"
#include "base/memory.h"
#include "base/strings.h"
#include "texts/texts.h"

namespace {

// What the front end handed over for the runs (TakeRunProxySettings).
ProxySettings runProxySettings = {};

}  // namespace

void TakeRunProxySettings(ProxySettings* settings) {
    FreeProxySettings(&runProxySettings);
    runProxySettings = *settings;
    *settings = ProxySettings{};
}

namespace {

// urlMap's load factor; it starts with room for every URL of the package
// (distinct or not), so it never grows during a run.
const float URL_MAP_LOAD_FACTOR = 0.75f;
// How many downloads per worker the run hands out ahead of the URL it takes
// back next: enough that one slow image does not leave workers idle, few
// enough that memory stays flat.
const int LOOKAHEAD_PER_WORKER = 4;
// The most downloads handed out ahead, however many workers: each holds a
// few kilobytes until the run takes it back.
const int LOOKAHEAD_LIMIT = 1024;

// A place in the run's walk over the images: item row, phase (desktop,
// mobile, done) and the index in the phase's list.
enum WalkPhase { WALK_DESKTOP = 0, WALK_MOBILE = 1, WALK_ITEM_DONE = 2 };
struct Walk {
    int row;
    int phase;
    int32_t index;
};

struct Run {
    const RunView* view;
    const KnownImages* known;  // null: every address is downloaded
    RunOptions options;
    RunTimeStamp stamp;
    HashMap* urlMap;
    int itemCount;
    int processedCount;
    int failureCount;
    int relocatedCount;
    // Downloads handed out and not yet taken back, in hand-out order, at
    // most `window`; `pending` finds them by URL (not owning the jobs).
    Vector* handedOut;
    HashMap* pending;
    int window;
    int claimsHeld;  // the jobs ahead that keep their claimed file open (ClaimsToHold)
    Walk ahead;      // the next image to hand out
    // The connect failure counts as one download at a time would leave
    // them, from the results taken back so far (KeepRunOrder).
    HashMap* failureCounts;
    bool handOutEnded;  // a name could not be formed: nothing more is handed out
    // The last checkpoint (the run's start before the first one), and the
    // counts it covered.
    std::chrono::steady_clock::time_point checkpointTime;
    int checkpointRelocated;
    int checkpointFailures;
    const char* failure;  // a checkpoint's write failed with this message: nothing more is written
    bool stoppedByError;  // the run stopped itself after an error box
    bool packageChanged;  // a checkpoint found the package replaced: only the end writes, beside it
    int vanishedCount;    // images forgotten because their files had gone
    // Addresses the known images answered at the hand-out (KNOWN_FILE or
    // KNOWN_FAILED), each a heap KnownFile with its answer, until the walk
    // reaches them; null without `known`.
    HashMap* knownAhead;
    int knownAheadCount;
    int knownCount;
    long long knownBytes;
    int sameBytesCount;
    long long sameBytesBytes;
};

// A known answer kept until the walk reaches its address.
struct KnownAhead {
    int answer;
    KnownFile file;
};

int checkpointSeconds = DEFAULT_CHECKPOINT_SECONDS;

bool StopRequested() { return coreState.stopRequested.load() != 0; }

void ShowProgressText(const Run& run) {
    if (run.view->setProgressText == nullptr) return;
    char text[128];
    std::snprintf(text, sizeof text, FORMAT_PROGRESS, run.itemCount, run.processedCount);
    run.view->setProgressText(run.view->context, text);
}

// A failure without a recorded reason is reported as FAILURE_OTHER.
void ReportImage(const Run& run, const char* url, ImageKind kind, ImageOutcome outcome, const char* detail = "",
                 const FailureReason* reason = nullptr) {
    if (run.view->imageFinished == nullptr) return;
    FailureReason other = {};
    if (outcome != IMAGE_RELOCATED && (reason == nullptr || reason->kind == FAILURE_NONE)) {
        SetFailureReason(&other, FAILURE_OTHER);
        reason = &other;
    }
    run.view->imageFinished(run.view->context, url, kind == IMAGE_KIND_MOBILE, outcome, detail,
                            outcome == IMAGE_RELOCATED ? nullptr : reason);
}

// Adds `url` to the item's failed list of its kind, once.
void ListFailure(ItemRecord* item, ImageKind kind, const char* url) {
    ItemUrls* urls = UrlsOf(item);
    Vector** list = kind == IMAGE_KIND_MOBILE ? &urls->failedMobile : &urls->failedDesktop;
    if (*list == nullptr) *list = NewDefaultVector();
    if (!VectorContains(*list, url, StringEquals)) VectorPush(*list, CopyString(url));
}

void RemoveIfPresent(const char* path) {
    if (FileExists(path)) RemoveFileByPath(path);
}

void StopWithError(Run* run, const char* text) {
    ShowMessage(text, CAPTION_ERROR, MESSAGE_OK | MESSAGE_ICON_ERROR);
    run->stoppedByError = true;
    coreState.stopRequested = 1;
}

bool IsSelected(const Run& run, const char* url) {
    return IsImageSpaceUrl(url) ? run.options.relocateImageSpace != 0 : run.options.relocateOutsideAlbums != 0;
}

ItemRecord* ItemAt(int row) { return static_cast<ItemRecord*>(VectorGet(coreState.items, row)); }

// Buckets for every URL the items list, above the load factor's threshold.
int32_t UrlMapCapacity(int itemCount) {
    int64_t urls = 0;
    for (int row = 0; row < itemCount; ++row) {
        const ItemRecord* item = ItemAt(row);
        if (DesktopUrls(item) != nullptr) urls += DesktopUrls(item)->count;
        if (MobileUrls(item) != nullptr) urls += MobileUrls(item)->count;
    }
    int64_t buckets = static_cast<int64_t>(static_cast<double>(urls) / URL_MAP_LOAD_FACTOR) + 1;
    return buckets < INT32_MAX ? static_cast<int32_t>(buckets) : INT32_MAX;
}

// The next image of the walk's item that the options select, with its kind;
// null at the end of the item.  Desktop images first, then, when image-space
// images are relocated, every mobile image.  A record without a list is
// treated as empty.
const char* NextImage(const Run& run, Walk* walk, ImageKind* kind) {
    const ItemRecord* item = ItemAt(walk->row);
    if (walk->phase == WALK_DESKTOP) {
        const Vector* desktop = DesktopUrls(item);
        while (desktop != nullptr && walk->index < desktop->count) {
            const char* url = static_cast<const char*>(desktop->items[walk->index++]);
            if (IsSelected(run, url)) {
                *kind = IMAGE_KIND_DESKTOP;
                return url;
            }
        }
        walk->phase = WALK_MOBILE;
        walk->index = 0;
    }
    const Vector* mobile = MobileUrls(item);
    if (walk->phase == WALK_MOBILE && run.options.relocateImageSpace && mobile != nullptr &&
        walk->index < mobile->count) {
        *kind = IMAGE_KIND_MOBILE;
        return static_cast<const char*>(mobile->items[walk->index++]);
    }
    walk->phase = WALK_ITEM_DONE;
    return nullptr;
}

// A job whose file could not be made: done, as DownloadImage reports a
// file it cannot open.
void FailUncreatedJob(DownloadJob* job) {
    job->state = JOB_DONE;
    job->result = DOWNLOAD_CANNOT_CREATE;
    std::snprintf(job->errorText, sizeof job->errorText, "%s", MESSAGE_CANNOT_CREATE);
}

// What the run holds ahead of the address in hand: downloads handed out,
// and addresses known without one.
int Ahead(const Run& run) { return run.handedOut->count + run.knownAheadCount; }

// Hands out the downloads ahead, in the order the run will reach them, each
// with its local name taken now, so the counter is spent in that order
// whatever order the downloads finish in.  A URL known or already handed
// out is skipped.
void HandOutAhead(Run* run) {
    // With known images the window is refilled once half of it is taken
    // back, so their look-ups come in batches (one transaction each, for
    // the library) rather than one per image.  The address in hand is
    // ahead already then.
    const KnownImages* known = run->known;
    if (known != nullptr && run->window > 1 && Ahead(*run) > run->window / 2) return;
    bool batch = false;
    while (!run->handOutEnded && Ahead(*run) < run->window && run->ahead.row < run->itemCount && !StopRequested()) {
        ImageKind kind;
        const char* url = NextImage(*run, &run->ahead, &kind);
        if (url == nullptr) {
            run->ahead = Walk{run->ahead.row + 1, WALK_DESKTOP, 0};
            continue;
        }
        if (HashMapGet(run->urlMap, url) != nullptr || HashMapGet(run->pending, url) != nullptr) continue;
        if (run->knownAhead != nullptr && HashMapGet(run->knownAhead, url) != nullptr) continue;
        int answer = KNOWN_NONE;
        if (known != nullptr) {
            if (!batch && known->lookUpsBegin != nullptr) known->lookUpsBegin(known->context);
            batch = true;
            KnownAhead* answered = static_cast<KnownAhead*>(AllocateZeroed(1, sizeof(KnownAhead)));
            answer = answered->answer = known->lookUp(known->context, url, &answered->file);
            if (answer == KNOWN_FILE || answer == KNOWN_FAILED) {
                HashMapReplace(run->knownAhead, CopyString(url), answered);
                ++run->knownAheadCount;
                continue;
            }
            std::free(answered);
        }
        DownloadJob* job = NewDownloadJob(url, run->ahead.row, kind);
        job->wantsHash = known != nullptr && known->wantsHashes;
        if (answer == KNOWN_ELSEWHERE) {
            // Keeps its place in the order; named and fetched only if the
            // other process does not bring it.
            job->state = JOB_ELSEWHERE;
            VectorPush(run->handedOut, job);
            HashMapReplace(run->pending, CopyString(url), job);
            continue;
        }
        // The claim's open file is the one the download writes; past
        // claimsHeld jobs ahead a claim closes its file again, so a long
        // window never holds more files open than that.
        FILE** claimed = run->handedOut->count < run->claimsHeld ? &job->claimed : nullptr;
        int named = NextLocalImagePath(kind, ImageExtensionForUrl(url), run->options.destination, run->stamp, job->path,
                                       sizeof job->path, claimed);
        if (named == LOCAL_NAME_MADE) {
            QueueDownload(job);
        } else if (named == LOCAL_NAME_NOT_CREATED) {
            // Ends as a download that cannot create its file would, with
            // nothing fetched; the run stops there.
            FailUncreatedJob(job);
            run->handOutEnded = true;
        } else {
            job->state = JOB_NO_NAME;
            run->handOutEnded = true;
        }
        VectorPush(run->handedOut, job);
        HashMapReplace(run->pending, CopyString(url), job);
    }
    if (batch && known->lookUpsEnd != nullptr) known->lookUpsEnd(known->context);
}

// Waits for a job handed to the workers and makes its result the one the
// run's order gives, then logs what it logged.
void AwaitInOrder(Run* run, DownloadJob* job) {
    AwaitDownload(job);  // after it, the job's state is final and safe to read
    KeepRunOrder(job, run->failureCounts);
    LogCapturedLines(job->logLines);
}

// The oldest download handed out, once it has ended; the run owns it again.
DownloadJob* TakeBack(Run* run) {
    DownloadJob* job = static_cast<DownloadJob*>(VectorRemoveAt(run->handedOut, 0));
    HashMapRemove(run->pending, job->url);
    AwaitInOrder(run, job);
    return job;
}

// app.log's line for an image that failed.
void LogFailure(const char* url, const char* message) {
    size_t logBytes = std::strlen(url) + std::strlen(message) + (std::strlen(FORMAT_FAILURE_LOG) + 1);
    char* line = static_cast<char*>(Allocate(logBytes));
    std::snprintf(line, logBytes, FORMAT_FAILURE_LOG, url, message);
    LogLine(line);
    std::free(line);
}

// Tells the known images of a stored download; true when they name another
// file with the same bytes (`existing`).
bool TellStored(Run* run, const DownloadJob* job, KnownFile* existing) {
    if (run->known == nullptr || run->known->stored == nullptr || job->sha256[0] == '\0') return false;
    StoredFile stored = {};
    std::snprintf(stored.file, sizeof stored.file, "%s", job->path);
    stored.size = job->size;
    std::snprintf(stored.sha256, sizeof stored.sha256, "%s", job->sha256);
    return run->known->stored(run->known->context, job->url, &stored, existing) == 1 &&
           std::strcmp(existing->file, job->path) != 0;
}

// A download of this run that stored nothing: whatever the known images
// reserved for it is given back.
void TellFailed(const Run& run, const char* url) {
    if (run.known != nullptr && run.known->failed != nullptr) run.known->failed(run.known->context, url);
}

// The destination's files are synced: what the known images were told may
// be kept now.
void TellDurable(const Run& run) {
    if (run.known != nullptr && run.known->durable != nullptr) run.known->durable(run.known->context);
}

// Records how a download ended.  After a stop, an image that cannot be
// stored raises no message: the run is ending anyway.
void Settle(Run* run, ItemRecord* item, ImageKind kind, const DownloadJob* job, bool stopped) {
    const char* url = job->url;
    int result = job->result;
    if (result == DOWNLOAD_STORED) {
        const char* path = job->path;
        KnownFile existing = {};
        if (TellStored(run, job, &existing)) {
            // The destination holds these bytes already: the package refers
            // to that file, and this copy, named for this run alone, goes.
            RemoveFileByPath(job->path);
            path = existing.file;
            ++run->sameBytesCount;
            run->sameBytesBytes += job->size;
        }
        HashMapReplace(run->urlMap, CopyString(url), CopyString(path));
        ++run->relocatedCount;
        ReportImage(*run, url, kind, IMAGE_RELOCATED, path);
        return;
    }
    TellFailed(*run, url);
    if (result != DOWNLOAD_CANNOT_CREATE) RemoveIfPresent(job->path);
    // Given up for the stop: no failure of the image, which stays remote in
    // the package for the next run.
    if (result == DOWNLOAD_STOPPED) return;
    if (result == DOWNLOAD_CANNOT_CREATE || result == DOWNLOAD_WRITE_FAILED) {
        bool desktopCreate = result == DOWNLOAD_CANNOT_CREATE && kind == IMAGE_KIND_DESKTOP;
        if (!stopped) StopWithError(run, desktopCreate ? MESSAGE_CANNOT_CREATE_FILE : job->errorText);
        // The file was not made or not written, whoever met it (the claim
        // before the download, or the download).
        FailureReason notWritable = {};
        SetFailureReason(&notWritable, FAILURE_FILE_NOT_WRITABLE);
        ReportImage(*run, url, kind, IMAGE_FATAL, job->errorText, &notWritable);
        return;
    }
    HashMapReplace(run->urlMap, CopyString(url), CopyString(""));
    ListFailure(item, kind, url);
    ++run->failureCount;
    LogFailure(url, job->errorText);
    ReportImage(*run, url, kind, IMAGE_FAILED, job->errorText, &job->reason);
}

// Takes an address the known images answered without a request: its file,
// or the failure an earlier package met, which this package lists too.
void TakeKnown(Run* run, ItemRecord* item, ImageKind kind, const char* url, const KnownAhead& known) {
    if (known.answer == KNOWN_FILE) {
        HashMapReplace(run->urlMap, CopyString(url), CopyString(known.file.file));
        ++run->knownCount;
        run->knownBytes += known.file.size;
        ReportImage(*run, url, kind, IMAGE_KNOWN, known.file.file);
        return;
    }
    HashMapReplace(run->urlMap, CopyString(url), CopyString(""));
    ListFailure(item, kind, url);
    ++run->failureCount;
    LogFailure(url, known.file.file);
    ReportImage(*run, url, kind, IMAGE_FAILED, known.file.file, &known.file.reason);
}

// An address another process was downloading, once the walk reaches it:
// its file when that process brought it; otherwise this run names and
// fetches it now, on its own thread.  False when it took the file (or a
// stop left the address remote): nothing more to settle.
bool AwaitElsewhere(Run* run, ItemRecord* item, ImageKind kind, DownloadJob* job) {
    KnownAhead known = {KNOWN_NONE, {}};
    if (run->known->await != nullptr) {
        known.answer = run->known->await(run->known->context, job->url, &coreState.stopRequested, &known.file);
    }
    if (known.answer == KNOWN_FILE) {
        TakeKnown(run, item, kind, job->url, known);
        return false;
    }
    if (StopRequested()) return false;
    int named = NextLocalImagePath(kind, ImageExtensionForUrl(job->url), run->options.destination, run->stamp,
                                   job->path, sizeof job->path, &job->claimed);
    if (named == LOCAL_NAME_MADE) {
        QueueDownload(job);
        AwaitInOrder(run, job);
    } else if (named == LOCAL_NAME_NOT_CREATED) {
        FailUncreatedJob(job);
    } else {
        job->state = JOB_NO_NAME;
    }
    return true;
}

// Relocates one URL unless this run has seen it already.
void RelocateImage(Run* run, ItemRecord* item, const char* url, ImageKind kind) {
    HandOutAhead(run);
    const char* known = static_cast<const char*>(HashMapGet(run->urlMap, url));
    if (known != nullptr) {
        if (*known == '\0') ListFailure(item, kind, url);  // failed earlier in this run
        return;
    }
    if (run->knownAhead != nullptr) {
        KnownAhead* ahead = static_cast<KnownAhead*>(HashMapGet(run->knownAhead, url));
        if (ahead != nullptr) {
            TakeKnown(run, item, kind, url, *ahead);
            std::free(HashMapRemove(run->knownAhead, url));
            --run->knownAheadCount;
            return;
        }
    }
    if (run->handedOut->count == 0) return;  // not reached: the walk ahead hands every new URL out
    DownloadJob* job = TakeBack(run);
    if (job->state == JOB_ELSEWHERE && !AwaitElsewhere(run, item, kind, job)) {
        FreeDownloadJob(job);
        return;
    }
    if (job->state == JOB_NO_NAME) {
        TellFailed(*run, url);
        // The destination is too long for a file name: nothing can be created there.
        StopWithError(run, MESSAGE_CANNOT_CREATE_FILE);
        ReportImage(*run, url, kind, IMAGE_FATAL);
        FreeDownloadJob(job);
        return;
    }
    if (job->result == DOWNLOAD_CANNOT_CREATE && kind == IMAGE_KIND_DESKTOP) {
        // One more try under a new name.
        int named = NextLocalImagePath(kind, ImageExtensionForUrl(url), run->options.destination, run->stamp, job->path,
                                       sizeof job->path, &job->claimed);
        if (named == LOCAL_NAME_MADE) {
            QueueDownload(job);
            AwaitInOrder(run, job);
        }
    }
    Settle(run, item, kind, job, false);
    FreeDownloadJob(job);
}

// After a stop: what no worker started never starts; what is in flight
// ends, and every image that arrived is kept, so the package refers to each
// file left in the destination.
void SettleHandedOut(Run* run) {
    CancelWaitingDownloads();
    while (run->handedOut->count > 0) {
        DownloadJob* job = TakeBack(run);
        // After a failed checkpoint nothing more is recorded: the run ends
        // where the write failed.
        if (job->state == JOB_DONE && run->failure == nullptr) {
            Settle(run, ItemAt(job->row), job->kind, job, true);
        } else if (job->state != JOB_ELSEWHERE) {
            TellFailed(*run, job->url);
        }
        // Its name was taken with an empty file at the hand-out.
        if (job->state == JOB_CANCELLED) RemoveIfPresent(job->path);
        FreeDownloadJob(job);
    }
}

void CompleteItem(Run* run, int row, ItemRecord* item) {
    const RunView* view = run->view;
    char count[16];
    if (view->setItemText != nullptr) {
        view->setItemText(view->context, row, 1, TEXT_ITEM_DONE);
        if (FailedDesktopUrls(item) != nullptr) {
            std::snprintf(count, sizeof count, "%d", FailedDesktopUrls(item)->count);
            view->setItemText(view->context, row, 2, count);
        }
        if (FailedMobileUrls(item) != nullptr) {
            std::snprintf(count, sizeof count, "%d", FailedMobileUrls(item)->count);
            view->setItemText(view->context, row, 3, count);
        }
    }
    ++run->processedCount;
    if (view->setProgressPosition != nullptr) view->setProgressPosition(view->context, run->processedCount);
    ShowProgressText(*run);
    // The failed lists are final now; only then may the window read them.
    item->state = ITEM_STATE_DONE;
    bool hasFailures = FailedDesktopUrls(item) != nullptr || FailedMobileUrls(item) != nullptr;
    if (hasFailures && view->isRowSelected != nullptr && view->isRowSelected(view->context, row) &&
        view->notifyItemChanged != nullptr) {
        view->notifyItemChanged(view->context, row);
    }
}

// Before a write-back: an image whose file is no longer in the destination
// (the folder removed or emptied meanwhile, the file replaced by a link) is
// forgotten, so the package never names a missing file; its address stays
// remote and the next run fetches it again.  A failure stays a failure.
void ForgetVanishedImages(Run* run) {
    KeyList* keys = HashMapKeys(run->urlMap);
    for (KeyList* at = keys; at != nullptr; at = at->next) {
        const char* path = static_cast<const char*>(HashMapGet(run->urlMap, at->key));
        if (path == nullptr || *path == '\0' || IsPlainFileByPath(path)) continue;
        std::free(HashMapRemove(run->urlMap, at->key));  // the key goes with it; `at` is not read again
        ++run->vanishedCount;
    }
    FreeKeyList(keys);
}

// Between two results, on the run's thread: once the interval has passed
// and something arrived since the last checkpoint that changes the package,
// writes back what the end of the run would write if the run stopped here.
// Results not yet taken back are left out: their files stay unreferenced
// until the next write.  The package text itself is left as read, so the end
// of the run rewrites it exactly as it would without checkpoints.
void MaybeCheckpoint(Run* run) {
    bool changes = run->relocatedCount + run->knownCount != run->checkpointRelocated ||
                   (run->options.blankFailedImages && run->failureCount != run->checkpointFailures);
    // A stop writes back anyway.
    if (!changes || run->failure != nullptr || run->packageChanged || StopRequested()) return;
    if (std::chrono::steady_clock::now() - run->checkpointTime < std::chrono::seconds(checkpointSeconds)) return;
    run->checkpointRelocated = run->relocatedCount + run->knownCount;
    run->checkpointFailures = run->failureCount;
    SyncFolderFiles(run->options.destination);  // the names the package is about to refer to
    TellDurable(*run);
    ForgetVanishedImages(run);
    const char* failure = nullptr;
    int written = WriteCheckpoint(run->urlMap, coreState.packageText, run->options.blankFailedImages,
                                  coreState.packagePath, &coreState.packageFile, &failure);
    if (written == CHECKPOINT_CHANGED) {
        run->packageChanged = true;
    } else if (written < 0) {
        run->failure = failure;
        coreState.stopRequested = 1;
    } else if (written == CHECKPOINT_HELD) {
        // Another program holds the package now: the next checkpoint, or
        // the end of the run, tries again with everything since.
        run->checkpointRelocated = -1;
    }
    run->checkpointTime = std::chrono::steady_clock::now();
}

void RelocateItems(Run* run) {
    const RunView* view = run->view;
    while (run->processedCount < run->itemCount && !StopRequested()) {
        int row = run->processedCount;
        if (view->itemStarted != nullptr) view->itemStarted(view->context, row);
        if (view->setItemText != nullptr) view->setItemText(view->context, row, 1, TEXT_ITEM_RUNNING);
        ItemRecord* item = ItemAt(row);
        Walk walk = {row, WALK_DESKTOP, 0};
        ImageKind kind;
        const char* url;
        while (!StopRequested() && (url = NextImage(*run, &walk, &kind)) != nullptr) {
            RelocateImage(run, item, url, kind);
            MaybeCheckpoint(run);
        }
        if (StopRequested()) break;  // the item stays "搬家中", state 0
        CompleteItem(run, row, item);
    }
}

// How many jobs ahead keep their claimed file open: CLAIMED_FILES_HELD, or
// fewer where the process may not open that many beside the sockets its
// pools may hold, counted twice, since the demo's (and a test's) server
// holds the other ends in the same process.  A run under a low descriptor
// limit then opens its files twice rather than run out of descriptors.
int ClaimsToHold(int jobs) {
    const int left = OpenFilesLeftBeside(2 * jobs * POOL_CONNECTION_LIMIT);
    return left < CLAIMED_FILES_HELD ? left : CLAIMED_FILES_HELD;
}

// Runs the items with up to `jobs` HTTP/1.1 downloads and `streams` HTTP/2
// requests per server at once.  One download at a time hands out nothing
// ahead, so a stop leaves off exactly at the image in hand, which it gives
// up.
void RelocateItemsWithWorkers(Run* run, int jobs, int streams) {
    const int workers = jobs > streams ? jobs : streams;
    run->window = workers == 1 ? 1 : workers * LOOKAHEAD_PER_WORKER;
    if (run->window > LOOKAHEAD_LIMIT) run->window = LOOKAHEAD_LIMIT;
    run->claimsHeld = ClaimsToHold(jobs);
    run->handedOut = NewVector(run->window, run->window);
    run->pending = NewHashMap(&STRING_KEYS, run->window * 2, 0.75f);
    run->failureCounts = NewFailureCounts();
    if (run->known != nullptr) run->knownAhead = NewHashMap(&STRING_KEYS_AND_VALUES, run->window * 2, 0.75f);
    // A stop gives up the downloads in flight within a network wait slice.
    StartDownloadWorkers(workers, jobs, streams, &runProxySettings, &coreState.stopRequested);
    RelocateItems(run);
    SettleHandedOut(run);  // only a stop leaves any
    LeaveRunFailureCounts(run->failureCounts);
    StopDownloadWorkers();
    FreeHashMap(run->pending, 0);
    if (run->knownAhead != nullptr) FreeHashMap(run->knownAhead, 1);  // only a stop leaves any
    FreeHashMap(run->failureCounts, 0);
    FreeVector(run->handedOut, 0);
}

// Adds to a final message how many images went missing before a
// write-back could name them; nothing when none did.
void AddVanished(const Run& run, char* text, size_t size) {
    if (run.vanishedCount == 0) return;
    size_t length = std::strlen(text);
    std::snprintf(text + length, size - length, FORMAT_IMAGES_VANISHED, run.vanishedCount);
}

// The final message of a run that ended by itself.
void FormFinalMessage(const Run& run, bool changed, RunOutcome* outcome) {
    const char* name = FileNameOfPath(coreState.packagePath);
    char* text = outcome->message;
    const size_t size = sizeof outcome->message;
    const char* caption = CAPTION_NOTICE;
    unsigned icon = MESSAGE_ICON_WARNING;
    if (changed) {
        std::snprintf(text, size, FORMAT_DONE, name);
        if (run.failureCount == 0 || run.options.blankFailedImages) {
            caption = CAPTION_DONE;
            icon = MESSAGE_ICON_INFORMATION;
        } else {
            std::strncat(text, TEXT_SOME_FAILED, size - std::strlen(text) - 1);
        }
    } else if (run.failureCount > 0) {
        std::snprintf(text, size, "%s", MESSAGE_ALL_FAILED);
    } else {
        std::snprintf(text, size, "%s", MESSAGE_NOTHING_TO_DO);
        caption = CAPTION_DONE;
        icon = MESSAGE_ICON_INFORMATION;
    }
    AddVanished(run, text, size);
    outcome->caption = caption;
    outcome->style = MESSAGE_OK | icon;
}

// The package could not be replaced and is kept beside it: says where (and
// why: held, or no longer the file that was read), and, when the run ended
// by itself, what the final message would add.
void FormKeptBeside(const Run& run, bool stopped, bool packageChanged, RunOutcome* outcome) {
    char* text = outcome->message;
    const size_t size = sizeof outcome->message;
    std::snprintf(text, size, packageChanged ? FORMAT_CHANGED_KEPT_BESIDE : FORMAT_KEPT_BESIDE,
                  FileNameOfPath(coreState.packagePath), outcome->keptPath);
    if (!stopped && run.failureCount > 0 && !run.options.blankFailedImages) {
        std::strncat(text, TEXT_SOME_FAILED, size - std::strlen(text) - 1);
    }
    AddVanished(run, text, size);
    outcome->caption = CAPTION_NOTICE;
    outcome->style = MESSAGE_OK | MESSAGE_ICON_WARNING;
}

void CountInto(const Run& run, RunOutcome* outcome) {
    outcome->stoppedByError = run.stoppedByError ? 1 : 0;
    outcome->itemCount = run.itemCount;
    outcome->processedCount = run.processedCount;
    outcome->relocatedCount = run.relocatedCount;
    outcome->failureCount = run.failureCount;
    outcome->vanishedCount = run.vanishedCount;
    outcome->knownCount = run.knownCount;
    outcome->knownBytes = run.knownBytes;
    outcome->sameBytesCount = run.sameBytesCount;
    outcome->sameBytesBytes = run.sameBytesBytes;
}

// A step that failed: its message in the error box, and Karvelo.exe ends
// with 0, the package as the step found it.
void Fail(RunStep step, const char* failure, RunOutcome* outcome) {
    outcome->end = RUN_FAILED;
    outcome->failedStep = step;
    std::snprintf(outcome->message, sizeof outcome->message, "%s", failure != nullptr ? failure : "");
    outcome->caption = CAPTION_ERROR;
    outcome->style = MESSAGE_OK | MESSAGE_ICON_ERROR;
    outcome->endsProgram = 1;
    outcome->exitCode = 0;
}

// Ends a run that stopped: Karvelo.exe ends with 0 after the message, if
// there is one.
void EndStopped(RunOutcome* outcome) {
    outcome->end = RUN_STOPPED;
    outcome->endsProgram = 1;
    outcome->exitCode = 0;
}

}  // namespace

void SetCheckpointInterval(int seconds) { checkpointSeconds = seconds >= 0 ? seconds : DEFAULT_CHECKPOINT_SECONDS; }

int WriteCheckpoint(const HashMap* urlMap, const char* packageText, int blankFailedImages, const char* packagePath,
                    PackageFile* watched, const char** failure) {
    if (packageText == nullptr) return 0;
    // Rewritten straight into the file: the text stays as read.
    PackageRewrite* rewrite = PreparePackageRewrite(urlMap, packageText, blankFailedImages, 0, 0, nullptr);
    int written = 0;
    if (rewrite != nullptr) {
        switch (WritePackageTextIfFree(packagePath, RewrittenPackageText(rewrite), watched, failure)) {
            case PACKAGE_WRITTEN: written = 1; break;
            case PACKAGE_HELD: written = CHECKPOINT_HELD; break;
            case PACKAGE_CHANGED: written = CHECKPOINT_CHANGED; break;
            default: written = -1; break;
        }
    }
    FreePackageRewrite(rewrite);
    return written;
}

int CountRunImages(const RunOptions& options) {
    Run run = {};
    run.options = options;
    run.itemCount = coreState.items != nullptr ? coreState.items->count : 0;
    // The addresses in one block, sorted so a repeat stands beside its
    // first: a map would leave an entry per address behind in the front
    // end's heap, which the run, on a thread of its own, never reuses.
    std::vector<const char*> urls;
    for (int row = 0; row < run.itemCount; ++row) {
        Walk walk = {row, WALK_DESKTOP, 0};
        ImageKind kind;
        while (const char* url = NextImage(run, &walk, &kind)) urls.push_back(url);
    }
    std::sort(urls.begin(), urls.end(), [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
    auto end =
        std::unique(urls.begin(), urls.end(), [](const char* a, const char* b) { return std::strcmp(a, b) == 0; });
    return static_cast<int>(end - urls.begin());
}

RunOutcome RunRelocation(const RunView* view, const KnownImages* known) {
    Run run = {};
    run.view = view;
    run.known = known;
    RunOutcome outcome = {};
    outcome.caption = "";
    // The front end has set it already, before this thread started, so that
    // a close in between waits for the run; set here for callers that start
    // the run directly.
    coreState.running = 1;
    // The last run's map has served its views; this run starts without one.
    FreeHashMap(coreState.urlMap, 1);
    coreState.urlMap = nullptr;
    if (StopRequested()) {
        // Stopped before it began (a close, an update that must be taken):
        // nothing was backed up or changed, so there is nothing to write.
        EndStopped(&outcome);
        return outcome;
    }
    // A front end that did not note the package as it read it (LoadPackageIntoState) notes it now.
    if (std::strcmp(coreState.packageFile.path, coreState.packagePath) != 0) {
        NotePackageFile(coreState.packagePath, &coreState.packageFile);
    }
    const char* failure = nullptr;
    if (!BackupPackage(coreState.packagePath, coreState.stateFolder, outcome.backupPath, &failure)) {
        Fail(RUN_STEP_BACKUP, failure, &outcome);
        return outcome;
    }
    if (view->backupMade != nullptr) view->backupMade(view->context, outcome.backupPath);
    run.stamp = CurrentRunTimeStamp();
    run.checkpointTime = std::chrono::steady_clock::now();
    run.view->readOptions(run.view->context, &run.options);
    run.itemCount = coreState.items != nullptr ? coreState.items->count : 0;
    run.urlMap = NewHashMap(&STRING_KEYS_AND_VALUES, UrlMapCapacity(run.itemCount), URL_MAP_LOAD_FACTOR);
    coreState.urlMap = run.urlMap;

    int jobs = run.options.jobs >= 1 && run.options.jobs <= MAX_RUN_JOBS ? run.options.jobs : DEFAULT_RUN_JOBS;
    int streams =
        run.options.streams >= 1 && run.options.streams <= MAX_RUN_STREAMS ? run.options.streams : DEFAULT_RUN_STREAMS;
    if (run.itemCount > 0 && !StopRequested()) RelocateItemsWithWorkers(&run, jobs, streams);
    CountInto(run, &outcome);

    int changed = 0;
    bool packageChanged = false;
    PackageRewrite* rewrite = nullptr;
    if (run.failure != nullptr) {
        // A checkpoint could not be written: the run ends there.
        Fail(RUN_STEP_CHECKPOINT, run.failure, &outcome);
    } else {
        SyncFolderFiles(run.options.destination);  // the names the package is about to refer to
        TellDurable(run);
        ForgetVanishedImages(&run);
        outcome.vanishedCount = run.vanishedCount;
        // The package is rewritten as it is written, never held twice.
        rewrite = PreparePackageRewrite(run.urlMap, coreState.packageText, run.options.blankFailedImages, run.itemCount,
                                        run.processedCount, run.view);
        changed = rewrite != nullptr ? 1 : 0;
        outcome.textChanged = changed;
    }
    if (changed) {
        int written = WritePackageText(coreState.packagePath, RewrittenPackageText(rewrite), outcome.keptPath,
                                       &coreState.packageFile, &failure);
        packageChanged = written == PACKAGE_CHANGED_KEPT_BESIDE;
        outcome.keptBeside = written == PACKAGE_KEPT_BESIDE || packageChanged ? 1 : 0;
        outcome.written = written != 0 && !outcome.keptBeside ? 1 : 0;
        if (written == 0) Fail(RUN_STEP_WRITE_BACK, failure, &outcome);
    }
    FreePackageRewrite(rewrite);
    std::free(coreState.packageText);
    coreState.packageText = nullptr;

    if (outcome.end != RUN_FAILED) {
        const bool stopped = StopRequested();
        // Said even at the end of a stopped run: the package on disk does
        // not hold this run's work, the kept copy does.
        if (outcome.keptBeside) {
            FormKeptBeside(run, stopped, packageChanged, &outcome);
        } else if (!stopped) {
            FormFinalMessage(run, changed != 0, &outcome);
        }
        if (stopped) {
            EndStopped(&outcome);
        } else {
            ShowProgressText(run);
        }
    }
    // The map stays in coreState until the next run: what it holds then is
    // what the package names, which the front end's report reads.
    return outcome;
}

int PresentRunOutcome(const RunView* view, const RunOutcome& outcome) {
    if (!outcome.endsProgram) coreState.running = 0;
    if (outcome.message[0] != '\0') ShowMessage(outcome.message, outcome.caption, outcome.style);
    if (!outcome.endsProgram && view->runFinished != nullptr) view->runFinished(view->context);
    return outcome.endsProgram;
}
