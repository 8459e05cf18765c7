// Why an image failed, in the user's words: a kind of reason with the place
// it names (host:port, or the proxy), and the HTTP status where there is one.
// The download sets it where it fills its message (which app.log keeps as
// it is); the front ends show the kind's sentence, and scripts read the
// kind's code, which never changes with the language.
#pragma once

#include <cstddef>

#include "http/url.h"

enum FailureKind {
    FAILURE_NONE = 0,               // no reason recorded (not failed, or before the first failure)
    FAILURE_HTTP_STATUS,            // the server answered a status that is not an image: `status`
    FAILURE_CONNECTION_REFUSED,     // nothing listens at `place`
    FAILURE_TIMED_OUT,              // `place` did not answer in time (connect or receive)
    FAILURE_NAME_NOT_FOUND,         // the host name `place` does not resolve
    FAILURE_CERTIFICATE_UNTRUSTED,  // `place`'s certificate is not trusted
    FAILURE_NOT_AN_IMAGE,           // the body is not a JPEG, PNG, GIF or BMP
    FAILURE_TOO_LARGE,              // the body is over the size limit
    FAILURE_COMPRESSED,             // the server sent a compressed body
    FAILURE_PROXY_REFUSED,          // the proxy `place` refused (`status`: its answer, 0 none)
    FAILURE_PROXY_UNREACHABLE,      // the proxy `place` cannot be reached
    FAILURE_REDIRECT_REFUSED,       // a redirect that is not followed (a second one, too long, unusable)
    FAILURE_CUT_OFF,                // the connection to `place` ended before the image was whole
    FAILURE_FILE_NOT_WRITABLE,      // the image's file could not be created or written
    FAILURE_HOST_CUT_OFF,           // `place` is no longer tried after repeated connect failures
    FAILURE_TOO_SLOW,               // the download ran under the least rate, or over the longest time
    FAILURE_OTHER,                  // anything else (a broken response, an unusable address)
    FAILURE_KIND_COUNT,
};

struct FailureReason {
    FailureKind kind;
    int status;                       // the HTTP status (FAILURE_HTTP_STATUS, FAILURE_PROXY_REFUSED), else 0
    char place[HOST_PORT_BYTES + 1];  // "host:port" ("[::1]:80"), the proxy's for the proxy kinds; may be ""
    // FAILURE_TOO_SLOW: the least rate (KB/s) the download stayed under for
    // `seconds`; a rate of 0: it ran over the longest time, `seconds` long.
    int rate;
    int seconds;
};

// Records a reason, in the core's form; `place` may be null.
void SetFailureReason(FailureReason* reason, FailureKind kind, const char* place = nullptr, int status = 0);

// The same with the place made of `host` and `port` as FormatHostPort
// writes them ("[::1]:8080"); a negative port names the host alone.
void SetFailureAt(FailureReason* reason, FailureKind kind, const char* host, int port, int status = 0);

// The kind's stable code for scripts ("http_status", "connection_refused", ...).
const char* FailureCode(FailureKind kind);

// One short sentence for `reason` ("connection refused (127.0.0.1:9)",
// "404 Not Found"), in Chinese or (`english`) in English, in the core's
// form.  Always terminated; cut to `size`.
void FormatFailureSentence(const FailureReason* reason, bool english, char* out, size_t size);
