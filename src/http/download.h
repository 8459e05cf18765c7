// Downloading one image over plain HTTP into a file.
#pragma once

#include "http/http_common.h"

// DownloadResult: what DownloadImage reports.
const int DOWNLOAD_STORED = 1;          // the image is in the file
const int DOWNLOAD_NOT_ACCEPTED = 0;    // received, but too large, inconsistent in size or not an image
const int DOWNLOAD_FAILED = -1;         // address, connection, protocol or status failure
const int DOWNLOAD_WRITE_FAILED = -2;   // writing the file failed
const int DOWNLOAD_CANNOT_CREATE = -3;  // the file cannot be created

// Fetches `url` into `filePath` (created with "wb" once the request is sent)
// and returns a DownloadResult; on failure `errorText` (HTTP_ERROR_TEXT_BYTES)
// holds the message, and no file is left at `filePath`.
//
// `useKeepAlive` 1: HTTP/1.1 over the connection pool; 0: HTTP/1.0 over a
// connection of its own that the server closes.  A keep-alive attempt that
// fails with 0 or -1 (other than for an address that cannot be used) is
// logged and repeated once without keep-alive.  One redirect (301/302) is
// followed, always with keep-alive, when `isRedirect` is 0.
//
// The body is streamed to the file through one HTTP_BUFFER_SIZE buffer; it is
// never held whole.  Bodies over HTTP_BODY_SIZE_LIMIT, compressed bodies and
// bodies that do not start with a JPEG, PNG, GIF or BMP signature are refused.
int DownloadImage(const char* url, const char* filePath, char* errorText, int useKeepAlive, int isRedirect);

// 1 for FF D8 (JPEG), 89 50 (PNG), 47 49 (GIF) or 42 4D (BMP), else 0.
int IsSupportedImageSignature(const unsigned char* signature);
