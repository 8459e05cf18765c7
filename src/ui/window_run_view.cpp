#include "ui/window_run_view.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>

#include "base/strings.h"
#include "http/failure_reason.h"
#include "platform/thread.h"
#include "relocate/run_view.h"
#include "ui/application_state.h"
#include "ui/main_window.h"
#include "ui/progress_view.h"
#include "ui/wide_text.h"

namespace {

const int PROGRESS_RANGE_LIMIT = 0xFFFF;

void ReadOptions(void*, RunOptions* options) { ReadRunOptions(options); }

void ItemStarted(void*, int row) {
    // Partial visibility is enough.
    SendMessageW(appState.itemList, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), TRUE);
}

void SetItemText(void*, int row, int subItem, const char* text) {
    SetSubItemText(appState.itemList, row, subItem, text);
}

void SetProgressPosition(void*, int position) {
    int itemCount = coreState.items != nullptr ? coreState.items->count : 0;
    SendMessageW(appState.progressBar, PBM_SETPOS, static_cast<WPARAM>(ProgressPositionForItems(position, itemCount)),
                 0);
}

void SetProgressText(void*, const char* text) { SetWindowCoreText(appState.progressText, text); }

int IsRowSelected(void*, int row) {
    return SendMessageW(appState.itemList, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_SELECTED) == LVIS_SELECTED;
}

// The same notification a click sends, so the failure text shows the
// finished row's failures without one.
void NotifyItemChanged(void*, int) {
    NMHDR header;
    header.hwndFrom = appState.itemList;
    header.idFrom = 0;
    header.code = LVN_ITEMCHANGED;
    SendMessageW(appState.mainWindow, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&header));
}

// On the run's thread, for each image tried: a failed one's sentence is
// kept for the list's info tip.  The sentence is made before the lock is
// taken; under it the map only takes the copies.
void ImageFinished(void*, const char* url, int, ImageOutcome outcome, const char*, const FailureReason* reason) {
    FailureSentences& store = appState.failureSentences;
    if (outcome != IMAGE_FAILED || reason == nullptr || store.byUrl == nullptr) return;
    char sentence[FAILURE_SENTENCE_BYTES];
    FormatFailureSentence(reason, /*english=*/false, sentence, sizeof sentence);
    char* key = CopyString(url);
    char* value = CopyString(sentence);
    LockMutex(store.lock);
    char* previous = static_cast<char*>(HashMapReplace(store.byUrl, key, value));
    UnlockMutex(store.lock);
    // A URL already there keeps its stored key.
    if (previous != nullptr) {
        std::free(key);
        std::free(previous);
    }
}

void RunFinished(void*) {
    EnableWindow(appState.previousButton, TRUE);
    EnableWindow(appState.closeButton, TRUE);
    EnableMenuItem(GetSystemMenu(appState.mainWindow, FALSE), SC_CLOSE, MF_ENABLED);
}

RunView windowRunView = {nullptr,         ReadOptions,   ItemStarted,       SetItemText,   SetProgressPosition,
                         SetProgressText, IsRowSelected, NotifyItemChanged, ImageFinished, RunFinished,
                         nullptr};

}  // namespace

void ReadRunOptions(RunOptions* options) {
    options->relocateImageSpace = IsDlgButtonChecked(appState.optionsPanel, ID_IMAGE_SPACE) == BST_CHECKED;
    options->relocateOutsideAlbums = IsDlgButtonChecked(appState.optionsPanel, ID_THIRD_PARTY) == BST_CHECKED;
    options->blankFailedImages = IsDlgButtonChecked(appState.optionsPanel, ID_BLANK_FAILED) == BST_CHECKED;
    // A destination that cannot be named in the core's form is none
    // (StartRun refuses it before a run starts).
    if (ReadWindowPath(appState.destinationEdit, options->destination, sizeof options->destination) != SYSTEM_PATH_OK) {
        options->destination[0] = '\0';
    }
    options->jobs = DEFAULT_RUN_JOBS;
    options->streams = DEFAULT_RUN_STREAMS;
}

int ProgressRangeForItems(int itemCount) { return itemCount > PROGRESS_RANGE_LIMIT ? PROGRESS_RANGE_LIMIT : itemCount; }

int ProgressPositionForItems(int processed, int itemCount) {
    if (itemCount <= PROGRESS_RANGE_LIMIT) return processed;
    return static_cast<int>(static_cast<long long>(processed) * PROGRESS_RANGE_LIMIT / itemCount);
}

RunView* WindowRunView() { return &windowRunView; }

void ForgetFailureSentences() {
    FailureSentences& store = appState.failureSentences;
    if (store.byUrl == nullptr) {
        store.lock = NewMutex();
        store.byUrl = NewStringHashMap(&STRING_KEYS_AND_VALUES);
        return;
    }
    LockMutex(store.lock);
    HashMapClear(store.byUrl, /*freeValues=*/true);
    UnlockMutex(store.lock);
}

bool CopyFailureSentence(const char* url, char* sentence, size_t size) {
    if (size > 0) sentence[0] = '\0';
    FailureSentences& store = appState.failureSentences;
    if (store.byUrl == nullptr || size == 0) return false;
    LockMutex(store.lock);
    const char* kept = static_cast<const char*>(HashMapGet(store.byUrl, url));
    if (kept != nullptr) std::snprintf(sentence, size, "%s", kept);
    UnlockMutex(store.lock);
    return kept != nullptr;
}
