// Downloading one image over HTTP, or HTTPS, into a file.
#pragma once

#include <cstdio>

#include "http/http_common.h"

// DownloadResult: what DownloadImage reports.  The values are the ones the
// callers have always relied on.
enum DownloadResult {
    DOWNLOAD_STORED = 1,          // the image is in the file
    DOWNLOAD_NOT_ACCEPTED = 0,    // received, but too large, inconsistent in size or not an image
    DOWNLOAD_FAILED = -1,         // address, connection, protocol or status failure
    DOWNLOAD_WRITE_FAILED = -2,   // writing the file failed
    DOWNLOAD_CANNOT_CREATE = -3,  // the file cannot be created
    DOWNLOAD_STOPPED = -4,        // given up for a stop request: nothing is known about the image
};

// Fetches `url` into the file at `filePath`, which the caller made
// (CreateNewFileByPath), and returns a DownloadResult.  The file is opened
// once the request is sent, emptied, never through a symbolic link and never
// made anew (DOWNLOAD_CANNOT_CREATE when it is gone or is something else
// now).  On failure the transfer's error holds the message,
// and the file is removed, except after DOWNLOAD_CANNOT_CREATE, when what
// stands there is left alone.  A stored image is synced to the disk where
// SyncFolderFiles does not cover it (FOLDER_SYNC_COVERS_FILES false).
//
// `useKeepAlive`: HTTP/1.1 over the connection pool, or HTTP/2 where an https
// server picks it (h2_session.h: one connection per host and proxy, many
// requests at once, with the same rules; a request the server did not
// process goes again on a new connection); otherwise HTTP/1.0 over
// a connection of its own that the server closes.  A keep-alive attempt that
// fails with DOWNLOAD_NOT_ACCEPTED or DOWNLOAD_FAILED (other than for an
// address that cannot be used) is logged and repeated once without
// keep-alive.  One redirect (301/302) is followed, always with keep-alive,
// unless `isRedirect` says this call follows one already.
//
// An "https:" address (or redirect) goes over TLS to its port, 443 unless
// written, with the certificate checked against the system's trust store.
// Where nothing speaks TLS there (refused, timed out, or no TLS byte back),
// it is fetched as plain HTTP, port 443 becoming 80.  A refused certificate
// fails the image (DOWNLOAD_FAILED) and is not repeated in any form.
//
// Through a proxy (the client's settings), an http address is asked for
// in absolute form over a kept-alive connection to the proxy, an https one
// through the proxy's CONNECT tunnel with TLS to the image's host.  A proxy
// that cannot be reached or refuses the tunnel fails the image with a
// message naming it; nothing is then fetched direct or in plain text.
//
// Bounded in time (http/download_limits.h), counted in `transfer` from the
// call on, over the repetition and the redirect together: too slow or too long fails the image with
// DOWNLOAD_FAILED and a message saying which; a stop request gives it up
// with DOWNLOAD_STOPPED.  Either way within a wait slice, with no file left.
//
// The body is streamed to the file through one HTTP_BUFFER_SIZE buffer; it is
// never held whole.  Bodies over HTTP_BODY_SIZE_LIMIT, compressed bodies and
// bodies that do not start with a JPEG, PNG, GIF or BMP signature are refused.
//
// `transfer` (InitTransfer) names the client, the message buffer and the
// log capture; the HTTP/1.1 slot it takes on the way is given back before
// the call returns.
struct Transfer;
DownloadResult DownloadImage(Transfer* transfer, const char* url, const char* filePath, bool useKeepAlive,
                             bool isRedirect);

// DownloadImage into the file the caller made at `filePath` and still holds
// open (`claimed`, from CreateNewFileByPath, never written): the first
// attempt writes through that stream instead of opening the name again; a
// repetition, a redirect or a second HTTP/2 try opens it by path as
// DownloadImage does.  The call owns `claimed` and closes it, before the
// file is removed on failure.
DownloadResult DownloadImageInto(Transfer* transfer, const char* url, const char* filePath, FILE* claimed,
                                 bool useKeepAlive, bool isRedirect);

// True for FF D8 (JPEG), 89 50 (PNG), 47 49 (GIF) or 42 4D (BMP).
bool IsSupportedImageSignature(const unsigned char* signature);
