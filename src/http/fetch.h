// Fetching a short text (the update notice) in one HTTP/1.0 GET.
#pragma once

#include <cstdint>

struct FetchResult {
    int32_t ok;          // 1 on success, 0 on failure
    char* headerText;    // owned copy of the head once a 200 head was read, else null
    char* text;          // owned: the body (length + 1 bytes, NUL-terminated) or the failure message
    int32_t length;      // body length on success, 0 on failure
    int32_t errorStage;  // 0 success, 1 request not made, 2 response not acceptable
};

// Always returns a record, never null; the caller frees it with
// FreeFetchResult.  One fresh connection that the server closes, no pool,
// no redirects, no chunked bodies; the body must announce its length and
// stay within HTTP_BODY_SIZE_LIMIT.  Any thread.
FetchResult* FetchText(const char* url);

void FreeFetchResult(FetchResult* result);
