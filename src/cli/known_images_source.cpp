#include "cli/known_images_source.h"

#include <cstdio>
#include <cstring>

#include "cli/console.h"
#include "cli/core_english.h"
#include "cli/language.h"
#include "base/hash_map.h"
#include "library/image_library.h"
#include "platform/fs.h"

namespace {

KnownImagesSource* Of(void* context) { return static_cast<KnownImagesSource*>(context); }

void CopyPath(char* to, const std::string& path) { std::snprintf(to, MAX_PATH_BYTES, "%s", path.c_str()); }

// A failure of the library's database is said once; the runs go on with
// what they can do without it (each address is then downloaded).
void WarnOfLibrary(KnownImagesSource* source) {
    if (source->libraryWarned) return;
    source->libraryWarned = true;
    PrintError(Said(N_("karvelo relocate: warning: the image library in %s failed (%s); the run goes on without "
                       "it\n"),
                    source->destination.c_str(), ShownCoreText(ImageLibraryError(source->library)).c_str()));
}

// Opens DEST's library, once: what it says on the way (a damaged library
// set aside, one that cannot be opened) goes to stderr, and without a
// library the runs go on with the earlier packages alone.
void OpenLibrary(KnownImagesSource* source) {
    if (!source->libraryWanted || source->libraryTried) return;
    source->libraryTried = true;
    char message[MAX_PATH_BYTES + 1024] = "";
    source->library = OpenImageLibrary(source->destination.c_str(), message, sizeof message);
    if (source->library == nullptr) {
        source->libraryWarned = true;
        PrintError(Said(N_("karvelo relocate: warning: the image library in %s cannot be opened (%s); every image is "
                           "downloaded as if it were not there\n"),
                        source->destination.c_str(), ShownCoreText(message).c_str()));
        return;
    }
    if (message[0] != '\0') PrintError("karvelo relocate: " + ShownCoreText(message) + "\n");
}

void Durable(void* context);

// What the library says of an address nobody in this command settled: the
// file a row names (its size and hash checked), another process's
// download under way, or nothing, which claims it for this run.
int ClaimOrFind(KnownImagesSource* source, const char* url, KnownFile* out) {
    for (int tries = 0; tries < 2; ++tries) {
        const int claim = ClaimImage(source->library, url);
        if (claim == IMAGE_CLAIM_TAKEN) return KNOWN_NONE;
        if (claim == IMAGE_CLAIM_HELD_ELSEWHERE) return KNOWN_ELSEWHERE;
        if (claim == IMAGE_CLAIM_ERROR) {
            WarnOfLibrary(source);
            return KNOWN_NONE;
        }
        // A row of that size: its bytes are checked too, and a row whose
        // bytes changed is dropped, so the second claim takes it.
        ImageEntry entry;
        const int looked = LookUpImage(source->library, url, &entry, CHECK_SIZE_AND_HASH);
        if (looked == IMAGE_PRESENT) {
            CopyPath(out->file, entry.file);
            out->size = entry.size;
            return KNOWN_FILE;
        }
        if (looked == IMAGE_LOOKUP_ERROR) {
            WarnOfLibrary(source);
            return KNOWN_NONE;
        }
    }
    return KNOWN_NONE;
}

int LookUp(void* context, const char* url, KnownFile* out) {
    KnownImagesSource* source = Of(context);
    auto found = source->settled.find(url);
    if (found != source->settled.end()) {
        const KnownImagesSource::Settled& settled = found->second;
        if (settled.file.empty()) {
            CopyPath(out->file, settled.message);
            out->reason = settled.reason;
            return KNOWN_FAILED;
        }
        // A file the user removed (or replaced by something else) meanwhile
        // is fetched again.
        FileIdentity file;
        if (IdentifyFileByPath(settled.file.c_str(), &file)) {
            CopyPath(out->file, settled.file);
            out->size = file.size;
            return KNOWN_FILE;
        }
    }
    if (source->library == nullptr) return KNOWN_NONE;
    return ClaimOrFind(source, url, out);
}

// A batch of look-ups claims what it finds nobody holds in one transaction.
// The first batch makes the library: its claims are what keep another
// process from fetching the same addresses.
void LookUpsBegin(void* context) {
    KnownImagesSource* source = Of(context);
    OpenLibrary(source);
    if (source->library != nullptr && !BeginImageClaims(source->library)) WarnOfLibrary(source);
}

void LookUpsEnd(void* context) {
    KnownImagesSource* source = Of(context);
    if (source->library != nullptr && !EndImageClaims(source->library)) WarnOfLibrary(source);
}

// Sync the files stored so far and commit their rows, so a process waiting
// for one of them (while this one waits for one of its) sees it.
void CommitWhileWaiting(void* context) {
    KnownImagesSource* source = Of(context);
    SyncFolderFiles(source->destination.c_str());
    Durable(context);
}

// Waits for another process's download of `url`; when it gave up (or
// died), the address is claimed here and the run fetches it.
int Await(void* context, const char* url, const std::atomic<int>* stop, KnownFile* out) {
    KnownImagesSource* source = Of(context);
    for (;;) {
        ImageEntry entry;
        const int awaited = AwaitClaimedImage(source->library, url, stop, CommitWhileWaiting, source, &entry);
        if (awaited == IMAGE_PRESENT) {
            CopyPath(out->file, entry.file);
            out->size = entry.size;
            return KNOWN_FILE;
        }
        if (awaited == IMAGE_LOOKUP_ERROR) WarnOfLibrary(source);
        if (awaited == IMAGE_LOOKUP_ERROR || stop->load() != 0) return KNOWN_NONE;
        const int answer = ClaimOrFind(source, url, out);
        if (answer != KNOWN_ELSEWHERE) return answer;  // a third process may have taken it meanwhile
    }
}

// A download of this run that stored nothing gives its claim back, so a
// process waiting for it fetches it itself.
void Failed(void* context, const char* url) {
    KnownImagesSource* source = Of(context);
    if (source->library != nullptr && !ReleaseClaim(source->library, url)) WarnOfLibrary(source);
}

int Stored(void* context, const char* url, const StoredFile* file, KnownFile* existing) {
    KnownImagesSource* source = Of(context);
    if (source->library == nullptr) return 0;
    ImageEntry same;
    const int found = FindImageByContent(source->library, file->size, file->sha256, &same);
    if (found == IMAGE_LOOKUP_ERROR) WarnOfLibrary(source);
    const bool elsewhere = found == IMAGE_PRESENT && std::strcmp(same.file, file->file) != 0;
    const char* kept = elsewhere ? same.file : file->file;
    if (!RecordImage(source->library, url, kept, file->size, file->sha256)) WarnOfLibrary(source);
    if (!elsewhere) return 0;
    CopyPath(existing->file, same.file);
    existing->size = same.size;
    return 1;
}

void Durable(void* context) {
    KnownImagesSource* source = Of(context);
    if (source->library != nullptr && !CommitImageLibrary(source->library)) WarnOfLibrary(source);
}

}  // namespace

void InitKnownImagesSource(KnownImagesSource* source, const std::string& destination, bool libraryWanted) {
    source->known = KnownImages{};
    source->known.context = source;
    source->known.lookUp = LookUp;
    source->known.await = Await;
    source->known.stored = Stored;
    source->known.durable = Durable;
    source->known.failed = Failed;
    source->known.lookUpsBegin = LookUpsBegin;
    source->known.lookUpsEnd = LookUpsEnd;
    source->destination = destination;
    source->libraryWanted = libraryWanted;
    source->libraryTried = false;
    source->library = nullptr;
    source->libraryWarned = false;
    // The downloads are hashed for the library even before it is made.
    source->known.wantsHashes = libraryWanted ? 1 : 0;
    source->settled.clear();
}

void OpenKnownImagesLibrary(KnownImagesSource* source) {
    const std::string database =
        source->destination + PATH_SEPARATOR_TEXT IMAGE_LIBRARY_FOLDER PATH_SEPARATOR_TEXT IMAGE_LIBRARY_FILE;
    if (source->libraryWanted && FileModeOfPath(database.c_str()) >= 0) OpenLibrary(source);
}

void NoteSettledImages(KnownImagesSource* source, const HashMap* urlMap,
                       const std::map<std::string, TerminalView::ImageFailure>& reasons) {
    for (const HashEntry* entry = urlMap != nullptr ? urlMap->oldest : nullptr; entry != nullptr;
         entry = entry->newer) {
        const char* url = static_cast<const char*>(entry->key);
        const char* file = static_cast<const char*>(entry->value);
        if (file != nullptr && *file != '\0') {
            source->settled[url] = {file, std::string(), FailureReason{}};
            continue;
        }
        // Only a failure this command saw is repeated; an address given up
        // by a stop is not one.
        auto failure = reasons.find(url);
        if (failure != reasons.end())
            source->settled[url] = {std::string(), failure->second.text, failure->second.reason};
    }
}

void CloseKnownImagesSource(KnownImagesSource* source) {
    CloseImageLibrary(source->library);
    source->library = nullptr;
}
