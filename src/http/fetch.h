// Fetching a short text (the update notice) in one HTTP/1.0 GET.
#pragma once

#include <cstdint>

// FetchStage: how far a fetch got when it failed.
enum FetchStage : int32_t {
    FETCH_SUCCEEDED = 0,     // the body is in `text`
    FETCH_NOT_SENT = 1,      // the request was not made: address, connection or send
    FETCH_NOT_ACCEPTED = 2,  // the response was not acceptable
};

struct FetchResult {
    bool ok;
    char* headerText;       // owned copy of the head once a 200 head was read, else null
    char* text;             // owned: the body (length + 1 bytes, NUL-terminated) or the failure message
    int32_t length;         // body length on success, 0 on failure
    FetchStage errorStage;  // FETCH_SUCCEEDED on success
};

// Always returns a record, never null; the caller frees it with
// FreeFetchResult.  One fresh connection that the server closes, no pool,
// no redirects, no chunked bodies; the body must announce its length and
// stay within HTTP_BODY_SIZE_LIMIT.  Any thread.  The connection and its
// failure count are `client`'s (a caller with none makes a short-lived one).
struct HttpClient;
FetchResult* FetchText(HttpClient* client, const char* url);

void FreeFetchResult(FetchResult* result);
