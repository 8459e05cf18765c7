// The update notice: once per start, a background thread asks the update
// service for a short reply "status^message" and acts on it.
#pragma once

// What the check needs of the window.
struct UpdateView {
    void* context;
    // Replaces the text of the notice box with a GBK text.
    void (*setNoticeText)(void* context, const char* text);
    // Opens a page in the user's browser.
    void (*openInBrowser)(void* context, const char* url);
};

// What the reply said.
enum UpdateFinding {
    UPDATE_UNREACHABLE,   // the fetch failed: nothing shown
    UPDATE_CURRENT,       // "false"
    UPDATE_OFFERED,       // "true"
    UPDATE_REQUIRED,      // "must": the program has to end
    UPDATE_UNRECOGNISED,  // anything else
};

// Asks the service at its built-in address, acts on the reply and returns
// what it found: "false" nothing, "true" offers the download page, "must"
// shows a notice, opens the download page and asks a run to stop
// (coreState.stopRequested), anything else is reported as unrecognised.  A
// failed fetch is silent.
UpdateFinding UpdateCheck(const UpdateView* view);

// The same against another service address (tests).
UpdateFinding UpdateCheckAt(const char* url, const UpdateView* view);

// Whether the front end ends the process now after `found`, with code 0:
// after "must" with no run going.  A run that is going was stopped; it
// writes its package back and the program ends with it.
bool UpdateEndsProgramNow(UpdateFinding found);

// The addresses are kept scrambled (every byte + 3) and restored just before
// use; these restore them into `buffer`.
void RestoreUpdateAddressTemplate(char* buffer, int size);
void RestoreDownloadPageAddress(char* buffer, int size);
