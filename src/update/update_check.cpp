#include "update/update_check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/fetch.h"
#include "http/http_client.h"
#include "relocate/core_state.h"
#include "util/charset.h"
#include "util/front_end.h"
#include "base/memory.h"
#include "base/strings.h"
#include "util/version.h"
#include "texts/texts.h"

namespace {

// "http://update.karvelo.example/check?v=%0.1f", every byte + 3: the
// address is not in the program as plain text.
const char SCRAMBLED_UPDATE_TEMPLATE[] =
    "\x6b\x77\x77\x73\x3d\x32\x32\x78\x73\x67\x64\x77\x68\x31\x6e\x64\x75\x79\x68\x6f\x72\x31\x68\x7b\x64\x70\x73"
    "\x6f\x68\x32\x66\x6b\x68\x66\x6e\x42\x79\x40\x28\x33\x31\x34\x69";
// "http://www.karvelo.example/download", every byte + 3.
const char SCRAMBLED_DOWNLOAD_PAGE[] =
    "\x6b\x77\x77\x73\x3d\x32\x32\x7a\x7a\x7a\x31\x6e\x64\x75\x79\x68\x6f\x72\x31\x68\x7b\x64\x70\x73\x6f\x68\x32"
    "\x67\x72\x7a\x71\x6f\x72\x64\x67";
const char SCRAMBLE_OFFSET = 3;

const int ADDRESS_BYTES = 512;
const int NOTICE_BYTES = 8192;             // the notice message with its terminator
const int UNRECOGNISED_REPLY_BYTES = 386;  // of a reply shown as unrecognised

void Unscramble(const char* scrambled, char* buffer, int size) {
    int i = 0;
    for (; scrambled[i] != '\0' && i < size - 1; ++i) buffer[i] = static_cast<char>(scrambled[i] - SCRAMBLE_OFFSET);
    buffer[i] = '\0';
}

void OpenDownloadPage(const UpdateView* view) {
    char page[ADDRESS_BYTES];
    RestoreDownloadPageAddress(page, sizeof page);
    if (view->openInBrowser != nullptr) view->openInBrowser(view->context, page);
}

void ShowNotice(const UpdateView* view, const char* message) {
    // A message longer than the notice buffer is cut to it.
    size_t length = std::strlen(message);
    if (length > static_cast<size_t>(NOTICE_BYTES - 1)) length = NOTICE_BYTES - 1;
    // A two-byte UTF-8 character can take four bytes in the core's form.
    const int room = static_cast<int>(length) * 2 + 1;
    char* converted = static_cast<char*>(Allocate(static_cast<size_t>(room)));
    int written = 0;
    if (ConvertCharset(ENCODING_UTF8, CORE_CHARSET, message, static_cast<int>(length), converted, room, &written) ==
            -1 &&
        written == 0) {
        converted[0] = '\0';
    }
    // What the conversion produced is shown, terminated, even after a failure.
    converted[written < room ? written : room - 1] = '\0';
    if (view->setNoticeText != nullptr) view->setNoticeText(view->context, converted);
    std::free(converted);
}

void ShowUnrecognised(const FetchResult* result) {
    int shown = result->length < UNRECOGNISED_REPLY_BYTES ? result->length : UNRECOGNISED_REPLY_BYTES;
    size_t lead = std::strlen(MESSAGE_UNRECOGNISED);
    char* text = static_cast<char*>(Allocate(lead + static_cast<size_t>(shown) + 1));
    std::memcpy(text, MESSAGE_UNRECOGNISED, lead);
    std::memcpy(text + lead, result->text, static_cast<size_t>(shown));
    text[lead + static_cast<size_t>(shown)] = '\0';
    ShowMessage(text, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_WARNING);
    std::free(text);
}

}  // namespace

void RestoreUpdateAddressTemplate(char* buffer, int size) { Unscramble(SCRAMBLED_UPDATE_TEMPLATE, buffer, size); }

void RestoreDownloadPageAddress(char* buffer, int size) { Unscramble(SCRAMBLED_DOWNLOAD_PAGE, buffer, size); }

UpdateFinding UpdateCheck(const UpdateView* view) {
    char addressTemplate[ADDRESS_BYTES];
    char address[ADDRESS_BYTES];
    RestoreUpdateAddressTemplate(addressTemplate, sizeof addressTemplate);
    std::snprintf(address, sizeof address, addressTemplate, PROGRAM_VERSION);
    return UpdateCheckAt(address, view);
}

UpdateFinding UpdateCheckAt(const char* url, const UpdateView* view) {
    // A client of its own for the one request: nothing is shared with a run.
    const HttpClientSettings settings = {};
    HttpClient* client = NewHttpClient(&settings);
    FetchResult* result = FetchText(client, url);
    FreeHttpClient(client);
    if (!result->ok) {
        FreeFetchResult(result);
        return UPDATE_UNREACHABLE;
    }
    // Tokenize a copy: the reply as received is what an unrecognised status shows.
    char* copy = CopyBytes(result->text, static_cast<size_t>(result->length));
    char* cursor = copy;
    const char* status = NextToken(&cursor, "^");
    const char* message = NextToken(&cursor, "^");
    if (status == nullptr) status = "";
    if (message != nullptr && *message != '\0') ShowNotice(view, message);

    UpdateFinding found = UPDATE_UNRECOGNISED;
    if (std::strcmp(status, "false") == 0) {
        found = UPDATE_CURRENT;  // nothing more to say
    } else if (std::strcmp(status, "true") == 0) {
        found = UPDATE_OFFERED;
        if (ShowMessage(MESSAGE_NEW_VERSION, CAPTION_NOTICE, MESSAGE_YES_NO | MESSAGE_ICON_QUESTION) == ANSWER_YES) {
            OpenDownloadPage(view);
        }
    } else if (std::strcmp(status, "must") == 0) {
        found = UPDATE_REQUIRED;
        ShowMessage(MESSAGE_MUST_UPGRADE, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_INFORMATION);
        OpenDownloadPage(view);
        // The stop before the caller's look at `running`
        // (UpdateEndsProgramNow): a run that starts after the look sees the
        // stop before its backup and ends without one.
        coreState.stopRequested = 1;
    } else {
        ShowUnrecognised(result);
    }
    std::free(copy);
    FreeFetchResult(result);
    return found;
}

bool UpdateEndsProgramNow(UpdateFinding found) {
    // A run already going writes its package back and then the program
    // ends, as after a confirmed close.
    return found == UPDATE_REQUIRED && coreState.running.load() == 0;
}
