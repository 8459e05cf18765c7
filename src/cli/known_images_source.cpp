#include "cli/known_images_source.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "cli/console.h"
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
                    source->destination.c_str(), ImageLibraryError(source->library)));
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
                        source->destination.c_str(), message));
        return;
    }
    if (message[0] != '\0') PrintError("karvelo relocate: " + std::string(message) + "\n");
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
        struct stat file;
        if (IsPlainFileByPath(settled.file.c_str()) && stat(settled.file.c_str(), &file) == 0) {
            CopyPath(out->file, settled.file);
            out->size = file.st_size;
            return KNOWN_FILE;
        }
    }
    if (source->library == nullptr) return KNOWN_NONE;
    ImageEntry entry;
    const int looked = LookUpImage(source->library, url, &entry, CHECK_SIZE_AND_HASH);
    if (looked == IMAGE_LOOKUP_ERROR) WarnOfLibrary(source);
    if (looked != IMAGE_PRESENT) return KNOWN_NONE;
    CopyPath(out->file, entry.file);
    out->size = entry.size;
    return KNOWN_FILE;
}

// Another process's download of `url`, once cross-process claims are kept:
// this is where ClaimImage / AwaitClaimedImage / ReleaseClaim answer.  Until
// then nothing is ever claimed elsewhere, and the run fetches it itself.
int Await(void*, const char*, const std::atomic<int>*, KnownFile*) { return KNOWN_NONE; }

int Stored(void* context, const char* url, const StoredFile* file, KnownFile* existing) {
    KnownImagesSource* source = Of(context);
    OpenLibrary(source);  // the first image stored makes the library
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
    const std::string database = source->destination + PATH_SEPARATOR_TEXT IMAGE_LIBRARY_FOLDER PATH_SEPARATOR_TEXT
        IMAGE_LIBRARY_FILE;
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
        if (failure != reasons.end()) source->settled[url] = {std::string(), failure->second.text, failure->second.reason};
    }
}

void CloseKnownImagesSource(KnownImagesSource* source) {
    CloseImageLibrary(source->library);
    source->library = nullptr;
}
