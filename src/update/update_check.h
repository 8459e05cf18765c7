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

// Asks the service at its built-in address and acts on the reply:
// "false" nothing, "true" offers the download page, "must" shows a notice,
// opens the download page and ends the process (a run in progress is
// stopped first and writes its package back), anything else is reported as
// unrecognised.  A failed fetch is silent.
void UpdateCheck(const UpdateView* view);

// The same against another service address (tests).
void UpdateCheckAt(const char* url, const UpdateView* view);

// The addresses are kept scrambled (every byte + 3) and restored just before
// use; these restore them into `buffer`.
void RestoreUpdateAddressTemplate(char* buffer, int size);
void RestoreDownloadPageAddress(char* buffer, int size);
